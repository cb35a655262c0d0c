// The synchronous queries to the port driver: the adapter descriptor and
// the SCSI address.
#include <algorithm>
#include <cstring>
#include <thread>

#include "fixture.h"
#include "queries.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

constexpr ULONG kBulk = STILLSCSI_POOL_TAG;
const char* ModeName(sim::Completion mode) {
  switch (mode) {
    case sim::Completion::Immediate: return "Immediate";
    case sim::Completion::Pumped: return "Pending";
    case sim::Completion::Threaded: return "Threaded";
  }
  return "?";
}

// The 12 bytes of a standard query for the adapter property.
std::vector<uint8_t> AdapterQueryBytes() {
  std::vector<uint8_t> bytes(12, 0);
  bytes[0] = StorageAdapterProperty;
  return bytes;
}

class QueryTest : public DriverTest {
 protected:
  NTSTATUS QueryDescriptor(PSTORAGE_ADAPTER_DESCRIPTOR* descriptor) {
    STORAGE_PROPERTY_ID id = StorageAdapterProperty;
    *descriptor = (PSTORAGE_ADAPTER_DESCRIPTOR)(uintptr_t)0x1;  // must be overwritten on every path
    return GetAdapterDescriptor(port->Pdo(), &id, descriptor);
  }
  std::vector<sim::ReceivedRequest> Queries() {
    std::vector<sim::ReceivedRequest> found;
    for (const auto& request : port->Requests(IRP_MJ_DEVICE_CONTROL)) {
      if (request.ioControlCode == IOCTL_STORAGE_QUERY_PROPERTY) found.push_back(request);
    }
    return found;
  }
  void Release(PSTORAGE_ADAPTER_DESCRIPTOR descriptor) {
    if (descriptor != nullptr) ExFreePoolWithTag(descriptor, kBulk);
  }
};

}  // namespace

// ---------------------------------------------------------------- adapter descriptor

class AdapterDescriptorTest : public QueryTest, public ::testing::WithParamInterface<sim::Completion> {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.ioctl = GetParam();
    config.descriptorSize = 40;  // longer than the part the driver reads
    config.maximumTransferLength = 131072;
    config.maximumPhysicalPages = 33;
    return config;
  }
};

TEST_P(AdapterDescriptorTest, TwoPassesOfTheSameQueryGiveTheCallerADescriptorOfExactlyTheReportedSize) {
  PSTORAGE_ADAPTER_DESCRIPTOR descriptor;
  ASSERT_EQ(QueryDescriptor(&descriptor), STATUS_SUCCESS);
  ASSERT_NE(descriptor, nullptr);

  const host::PoolBlock* block = world.pool.Find(descriptor);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->size, 40u);
  EXPECT_EQ(block->tag, kBulk);
  EXPECT_EQ(block->type, NonPagedPoolNx);
  EXPECT_EQ(descriptor->MaximumTransferLength, 131072u);
  EXPECT_EQ(descriptor->MaximumPhysicalPages, 33u);
  EXPECT_EQ(world.pool.Count(kBulk), 1u) << "only the descriptor is left, for the caller";

  auto queries = Queries();
  ASSERT_THAT(queries, SizeIs(2));
  for (const auto& query : queries) {
    EXPECT_EQ(query.inputLength, 12u);
    EXPECT_EQ(query.input, AdapterQueryBytes());
  }
  EXPECT_EQ(queries[0].outputLength, 8u);
  EXPECT_EQ(queries[1].outputLength, 40u);
  Release(descriptor);
}

// Every row of the failure table: the status, a null descriptor, no "BulK"
// pool left, and how many queries reached the port driver.
// One row of a query's failure table: how to make it fail, the status, and
// how many requests reach the port driver.
struct QueryFailure {
  const char* name;
  std::function<void(host::World&, sim::PortDriver&)> arrange;
  NTSTATUS expected;
  size_t queriesSent;
};

void PrintTo(const QueryFailure& value, std::ostream* out) { *out << value.name; }

class AdapterQueryFailureTest
    : public QueryTest,
      public ::testing::WithParamInterface<std::tuple<QueryFailure, sim::Completion>> {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.ioctl = std::get<1>(GetParam());
    return config;
  }
};

TEST_P(AdapterQueryFailureTest, FailsWithNothingLeft) {
  const QueryFailure& failure = std::get<0>(GetParam());
  failure.arrange(world, *port);
  PSTORAGE_ADAPTER_DESCRIPTOR descriptor;
  EXPECT_EQ(QueryDescriptor(&descriptor), failure.expected);
  EXPECT_EQ(descriptor, nullptr);
  EXPECT_EQ(world.pool.Count(kBulk), 0u);
  EXPECT_THAT(Queries(), SizeIs(failure.queriesSent));
}

INSTANTIATE_TEST_SUITE_P(
    EachFailure, AdapterQueryFailureTest,
    ::testing::Combine(
        ::testing::Values(
            QueryFailure{"EventAllocation",
                              [](host::World& w, sim::PortDriver&) {
                                w.faults.Fail(host::Fault::PoolAllocation).Tag(kBulk);
                              },
                              STATUS_INSUFFICIENT_RESOURCES, 0},
            QueryFailure{"FirstRequestNotBuilt",
                              [](host::World& w, sim::PortDriver&) {
                                w.faults.Fail(host::Fault::BuildDeviceIoControl);
                              },
                              STATUS_INSUFFICIENT_RESOURCES, 0},
            QueryFailure{"PortFailsTheFirstPass",
                              [](host::World&, sim::PortDriver& p) {
                                p.ScriptIoctl(IOCTL_STORAGE_QUERY_PROPERTY, {STATUS_NOT_SUPPORTED});
                              },
                              STATUS_NOT_SUPPORTED, 1},
            QueryFailure{"DescriptorAllocation",
                              [](host::World& w, sim::PortDriver&) {
                                w.faults.Fail(host::Fault::PoolAllocation).Tag(kBulk).Nth(2);
                              },
                              STATUS_INSUFFICIENT_RESOURCES, 1},
            QueryFailure{"SizeLargerThanThePoolCanGive",
                              [](host::World&, sim::PortDriver& p) { p.Config().descriptorSize = 0x7FFFFFFF; },
                              STATUS_INSUFFICIENT_RESOURCES, 1},
            QueryFailure{"SecondRequestNotBuilt",
                              [](host::World& w, sim::PortDriver&) {
                                w.faults.Fail(host::Fault::BuildDeviceIoControl).Nth(2);
                              },
                              STATUS_INSUFFICIENT_RESOURCES, 1},
            QueryFailure{"PortFailsTheSecondPass",
                              [](host::World&, sim::PortDriver& p) {
                                p.ScriptIoctl(IOCTL_STORAGE_QUERY_PROPERTY, {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR});
                              },
                              STATUS_IO_DEVICE_ERROR, 2},
            QueryFailure{"DescriptorShorterThanItsLimits",
                              [](host::World&, sim::PortDriver& p) { p.Config().descriptorSize = 15; },
                              STATUS_DEVICE_PROTOCOL_ERROR, 1},
            QueryFailure{"HeaderOnlyPartlyWritten",
                              [](host::World&, sim::PortDriver& p) { p.Config().descriptorSize = 4; },
                              STATUS_DEVICE_PROTOCOL_ERROR, 1},
            QueryFailure{"DescriptorOfAHeaderAlone",
                              [](host::World&, sim::PortDriver& p) { p.Config().descriptorSize = 8; },
                              STATUS_DEVICE_PROTOCOL_ERROR, 1}),
        ::testing::Values(sim::Completion::Immediate, sim::Completion::Pumped)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + ModeName(std::get<1>(info.param));
    });

TEST_F(QueryTest, ADescriptorOfExactlySixteenBytesIsAccepted) {
  port->Config().descriptorSize = 16;
  port->Config().maximumTransferLength = 4096;
  PSTORAGE_ADAPTER_DESCRIPTOR descriptor;
  ASSERT_EQ(QueryDescriptor(&descriptor), STATUS_SUCCESS);
  EXPECT_EQ(world.pool.Find(descriptor)->size, 16u);
  EXPECT_EQ(descriptor->MaximumTransferLength, 4096u);
  Release(descriptor);
}

// The first pass completes at once, which leaves the synchronization event
// signalled; the second pends. The query must wait for the second pass's own
// completion, not stop on the first pass's signal and read a status block
// and descriptor that are not yet written.
TEST_F(QueryTest, ASecondPassThatPendsIsWaitedForAfterAFirstPassThatCompletedAtOnce) {
  port->ScriptIoctlCompletion({sim::Completion::Immediate, sim::Completion::Threaded});
  port->HoldThreaded(true);
  std::atomic<bool> sawWaiter{false};
  std::thread completer([&] {
    sawWaiter = world.events.AwaitBlockedWaiters(1);
    port->HoldThreaded(false);
  });
  PSTORAGE_ADAPTER_DESCRIPTOR descriptor;
  NTSTATUS status = QueryDescriptor(&descriptor);
  completer.join();
  EXPECT_TRUE(sawWaiter) << "the query never waited for its second pass";
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(descriptor->MaximumTransferLength, 65536u);
  EXPECT_EQ(descriptor->MaximumPhysicalPages, 17u);
  EXPECT_THAT(Queries(), SizeIs(2));
  Release(descriptor);
}

INSTANTIATE_TEST_SUITE_P(EachCompletion, AdapterDescriptorTest,
                         ::testing::Values(sim::Completion::Immediate, sim::Completion::Pumped,
                                           sim::Completion::Threaded),
                         [](const auto& info) { return std::string(ModeName(info.param)); });

// ---------------------------------------------------------------- SCSI address

namespace {

constexpr uint8_t kPattern = 0xA7;

class ScsiAddressTest : public QueryTest, public ::testing::WithParamInterface<sim::Completion> {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.ioctl = GetParam();
    config.portNumber = 4;
    config.pathId = 1;
    config.targetId = 6;
    config.lun = 2;
    return config;
  }
  void SetUp() override {
    QueryTest::SetUp();
    std::memset(&info, kPattern, sizeof(info));
  }
  std::vector<sim::ReceivedRequest> AddressQueries() {
    std::vector<sim::ReceivedRequest> found;
    for (const auto& request : port->Requests(IRP_MJ_DEVICE_CONTROL)) {
      if (request.ioControlCode == IOCTL_SCSI_GET_ADDRESS) found.push_back(request);
    }
    return found;
  }
  bool Untouched(size_t from, size_t to) {
    const uint8_t* bytes = (const uint8_t*)&info;
    return std::all_of(bytes + from, bytes + to, [](uint8_t b) { return b == kPattern; });
  }

  SCSISCAN_INFO info;
};

}  // namespace

TEST_P(ScsiAddressTest, WritesTheFourAddressBytesAndNothingElse) {
  ASSERT_EQ(GetScsiAddress(port->Pdo(), &info), STATUS_SUCCESS);
  EXPECT_EQ(info.PortNumber, 4);
  EXPECT_EQ(info.PathId, 1);
  EXPECT_EQ(info.TargetId, 6);
  EXPECT_EQ(info.Lun, 2);
  EXPECT_TRUE(Untouched(0, 8));
  EXPECT_TRUE(Untouched(12, sizeof(info)));
  auto queries = AddressQueries();
  ASSERT_THAT(queries, SizeIs(1));
  EXPECT_EQ(queries[0].inputLength, 0u);
  EXPECT_EQ(queries[0].outputLength, 8u);
  EXPECT_EQ(world.pool.Count(kBulk), 0u);
}

TEST_P(ScsiAddressTest, AsksThePortDriverEveryTime) {
  ASSERT_EQ(GetScsiAddress(port->Pdo(), &info), STATUS_SUCCESS);
  ASSERT_EQ(GetScsiAddress(port->Pdo(), &info), STATUS_SUCCESS);
  EXPECT_THAT(AddressQueries(), SizeIs(2));
}

INSTANTIATE_TEST_SUITE_P(EachCompletion, ScsiAddressTest,
                         ::testing::Values(sim::Completion::Immediate, sim::Completion::Pumped,
                                           sim::Completion::Threaded),
                         [](const auto& info) { return std::string(ModeName(info.param)); });


class ScsiAddressFailureTest : public ScsiAddressTest {};

TEST_P(ScsiAddressFailureTest, LeavesTheWholeRecordAsItWas) {
  for (const QueryFailure& failure : {
           QueryFailure{"event allocation",
                          [](host::World& w, sim::PortDriver&) { w.faults.Fail(host::Fault::PoolAllocation).Tag(kBulk); },
                          STATUS_INSUFFICIENT_RESOURCES, 0},
           QueryFailure{"address buffer allocation",
                          [](host::World& w, sim::PortDriver&) {
                            w.faults.Fail(host::Fault::PoolAllocation).Tag(kBulk).Nth(2);
                          },
                          STATUS_INSUFFICIENT_RESOURCES, 0},
           QueryFailure{"request not built",
                          [](host::World& w, sim::PortDriver&) { w.faults.Fail(host::Fault::BuildDeviceIoControl); },
                          STATUS_INSUFFICIENT_RESOURCES, 0},
           QueryFailure{"port driver fails",
                          [](host::World&, sim::PortDriver& p) {
                            p.ScriptIoctl(IOCTL_SCSI_GET_ADDRESS, {STATUS_INVALID_DEVICE_REQUEST});
                          },
                          STATUS_INVALID_DEVICE_REQUEST, 1},
       }) {
    SCOPED_TRACE(failure.name);
    world.faults.Clear();
    size_t before = AddressQueries().size();
    failure.arrange(world, *port);
    EXPECT_EQ(GetScsiAddress(port->Pdo(), &info), failure.expected);
    EXPECT_TRUE(Untouched(0, sizeof(info)));
    EXPECT_EQ(world.pool.Count(kBulk), 0u);
    EXPECT_EQ(AddressQueries().size() - before, failure.queriesSent);
  }
}

INSTANTIATE_TEST_SUITE_P(EachCompletion, ScsiAddressFailureTest,
                         ::testing::Values(sim::Completion::Immediate, sim::Completion::Pumped),
                         [](const auto& info) { return std::string(ModeName(info.param)); });
