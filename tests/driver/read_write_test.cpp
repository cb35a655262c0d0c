// Plain reads and writes: the 6-byte commands, their chunks, their retries
// as the sense interpreter advises, their refusals and what they cost.
#include "app_fixture.h"

using sim::ScsiOutcome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ReadWriteTest : public AppTest {
 protected:
  std::vector<sim::SentSrb> Executed() { return port->ExecuteSrbs(); }
  host::IoResult ReadBytes(const host::Handle& handle, ULONG length, void** buffer = nullptr) {
    void* data = world.user.Alloc(length ? length : 1);
    if (buffer != nullptr) *buffer = data;
    return world.app.Read(handle, data, length);
  }
};

TEST_F(ReadWriteTest, AReadIsOneCommand08PerChunkWithItsLengthInBytesTwoToFour) {
  void* data;
  host::IoResult result = ReadBytes(*a, 100000, &data);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 100000u);
  EXPECT_TRUE(IsPattern(data, 100000, 0));
  auto srbs = Executed();
  ASSERT_EQ(srbs.size(), 2u);
  EXPECT_THAT(srbs[0].cdb, ElementsAre(0x08, 0x00, 0x01, 0x00, 0x00, 0x00));
  EXPECT_THAT(srbs[1].cdb, ElementsAre(0x08, 0x00, 0x00, 0x86, 0xA0, 0x00));
  EXPECT_EQ(srbs[1].srb.DataTransferLength, 34464u);
  EXPECT_EQ(srbs[0].srb.SrbFlags, (ULONG)(SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_SYNCH_TRANSFER));
  EXPECT_EQ(srbs[0].srb.SenseInfoBufferLength, 18);
}

TEST_F(ReadWriteTest, AWriteIsCommand0AWithTheDataGoingOut) {
  auto* data = (uint8_t*)world.user.Alloc(5000);
  auto bytes = world.user.Bytes(data, 5000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (uint8_t)(i * 13);
  host::IoResult result = world.app.Write(*a, data, 5000);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 5000u);
  auto srbs = Executed();
  ASSERT_EQ(srbs.size(), 1u);
  EXPECT_THAT(srbs[0].cdb, ElementsAre(0x0A, 0x00, 0x00, 0x13, 0x88, 0x00));
  EXPECT_EQ(srbs[0].srb.SrbFlags, (ULONG)(SRB_FLAGS_DATA_OUT | SRB_FLAGS_DISABLE_SYNCH_TRANSFER));
  std::vector<uint8_t> written = port->Script().Written();
  EXPECT_TRUE(std::equal(written.begin(), written.end(), bytes.begin()) && written.size() == 5000u);
}

TEST_F(ReadWriteTest, RefusalsLeaveNothingSentOrHeld) {
  EXPECT_EQ(ReadBytes(*a, 0).status, STATUS_INSUFFICIENT_RESOURCES) << "a length of 0";
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  host::IoResult busy = ReadBytes(*b, 512);
  EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(busy.information, 0u);
  EXPECT_EQ(world.app.Write(*b, world.user.Alloc(512), 512).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(ReadBytes(*a, 512).status, STATUS_SUCCESS) << "the holder is served";
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(ReadBytes(*b, 512).status, STATUS_SUCCESS);
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(ReadBytes(*a, 512).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(Executed().size(), 2u);
  EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u);
}

TEST_F(ReadWriteTest, EachAllocationOfTheRequestFailingRefusesIt) {
  for (int nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE(nth);
    world.faults.Fail(host::Fault::PoolAllocation).Tag(host::kUntaggedPoolTag).Nth(nth);
    EXPECT_EQ(ReadBytes(*a, 512).status, STATUS_INSUFFICIENT_RESOURCES);
    world.faults.Clear();
    EXPECT_EQ(world.pool.Count(host::kUntaggedPoolTag), 0u);
  }
  EXPECT_THAT(Executed(), IsEmpty());
}

TEST_F(ReadWriteTest, AHardwareErrorIsTriedFiveTimesEachLoggedAndEachFreezeReleasedBeforeTheRetry) {
  port->Script().Then(ScsiOutcome::CheckCondition(0x4, 0x44), 5);
  host::IoResult result = ReadBytes(*a, 4096);
  EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(result.information, 0u);
  port->PumpAll();
  auto srbs = port->Srbs();
  std::vector<UCHAR> functions;
  for (const auto& sent : srbs) functions.push_back(sent.srb.Function);
  EXPECT_THAT(functions, ElementsAre(0, 4, 0, 4, 0, 4, 0, 4, 0, 4)) << "each release before the retry";
  EXPECT_EQ(srbs[2].srb.QueueTag, SP_UNTAGGED);
  const auto& entries = world.errorLog.Entries();
  ASSERT_EQ(entries.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    IO_ERROR_LOG_PACKET packet = entries[i].Packet();
    EXPECT_EQ(packet.RetryCount, i);
    EXPECT_EQ(packet.UniqueErrorValue, 257u);
    EXPECT_EQ(packet.MajorFunctionCode, IRP_MJ_SCSI);
    EXPECT_EQ(packet.FinalStatus, i < 4 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR) << "attempt " << i;
  }
}

TEST_F(ReadWriteTest, TheRetryBudgetIsSharedByTheChunksOfARequest) {
  auto hardware = ScsiOutcome::CheckCondition(0x4);
  port->Script().Then(hardware, 2).Then(ScsiOutcome::Good()).Then(ScsiOutcome::Good()).Then(hardware, 3);
  host::IoResult result = ReadBytes(*a, 3 * 65536);
  EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Executed().size(), 7u) << "first chunk 3 sends, second 1, third 1 plus the 2 retries left";
}

TEST_F(ReadWriteTest, AMediumErrorOnTheSecondOfThreeChunksFailsTheWholeRead) {
  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::CheckCondition(0x3, 0x11));
  host::IoResult result = ReadBytes(*a, 3 * 65536);
  EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(result.information, 0u) << "although the first chunk was moved";
  EXPECT_EQ(Executed().size(), 2u);
}

TEST_F(ReadWriteTest, ARecoveredErrorIsNotRetriedAndFailsTheRead) {
  port->Script().Then(ScsiOutcome::CheckCondition(0x1, 0x17));
  EXPECT_EQ(ReadBytes(*a, 4096).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Executed().size(), 1u);
}

TEST_F(ReadWriteTest, AShortReadEndsWithTheBytesMovedAndSendsNoMoreChunks) {
  ScsiOutcome shortRead = ScsiOutcome::Short(1000);
  port->Script().Then(shortRead);
  host::IoResult result = ReadBytes(*a, 200000);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 1000u);
  EXPECT_EQ(Executed().size(), 1u);
}

TEST_F(ReadWriteTest, ADataOverrunWithSenseIsDecidedByTheSenseAndStillSucceedsWithItsBytes) {
  ScsiOutcome overrun = ScsiOutcome::Short(500);
  overrun.sense = sim::FixedSense(0x3, 0x11, 0);  // MEDIUM ERROR: no retry
  port->Script().Then(overrun);
  host::IoResult result = ReadBytes(*a, 4096);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 500u);
  EXPECT_EQ(world.errorLog.Entries().size(), 1u);
}

TEST_F(ReadWriteTest, AnEntryWithoutSenseDataShowsZerosNotWhatThePoolHeld) {
  port->Script().Then(ScsiOutcome::Failed(SRB_STATUS_BUSY)).Then(ScsiOutcome::Good());
  ASSERT_EQ(ReadBytes(*a, 4096).status, STATUS_SUCCESS) << "retried once";
  ASSERT_EQ(world.errorLog.Entries().size(), 1u);
  EXPECT_EQ(world.errorLog.Entries()[0].DumpData()[5], 0u);
}

TEST_F(ReadWriteTest, AChunkThatSucceedsWithoutMovingAByteEndsTheRead) {
  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::Good(0));
  host::IoResult result = ReadBytes(*a, 3 * 65536);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 65536u);
  EXPECT_EQ(Executed().size(), 2u);
}

// A release that cannot be had leaves the unit's queue frozen, and the port
// holds every SRB of a frozen unit: a retry sent behind it would never end.
TEST_F(ReadWriteTest, WithoutTheReleaseTheChunkIsNotRetriedAndTheNextRequestSendsTheReleaseFirst) {
  port->Script().Then(ScsiOutcome::CheckCondition(0x4, 0x44));
  world.faults.Fail(host::Fault::PoolAllocation).Tag(STILLSCSI_POOL_TAG);
  host::IoResult failed = ReadBytes(*a, 4096);
  EXPECT_EQ(failed.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(failed.information, 0u);
  EXPECT_TRUE(port->Frozen());
  EXPECT_EQ(port->Releases(), 0);

  void* data;
  host::IoResult next = ReadBytes(*b, 4096, &data);
  EXPECT_EQ(next.status, STATUS_SUCCESS) << "another handle's read is served";
  EXPECT_TRUE(IsPattern(data, 4096, 4096));
  std::vector<UCHAR> functions;
  for (const auto& sent : port->Srbs()) functions.push_back(sent.srb.Function);
  EXPECT_THAT(functions, ElementsAre(SRB_FUNCTION_EXECUTE_SCSI, SRB_FUNCTION_RELEASE_QUEUE, SRB_FUNCTION_EXECUTE_SCSI));
  EXPECT_EQ(ReadBytes(*a, 4096).status, STATUS_SUCCESS);
  EXPECT_EQ(port->Releases(), 1) << "owed once, sent once";
}

TEST_F(ReadWriteTest, AReleaseStillOwedThatCannotBeSentRefusesTheRequestWithNothingSent) {
  port->Script().Then(ScsiOutcome::CheckCondition(0x4, 0x44));
  world.faults.Fail(host::Fault::IrpAllocation).Times(2);
  EXPECT_EQ(ReadBytes(*a, 4096).status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(ReadBytes(*a, 4096).status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Executed().size(), 1u);
  EXPECT_EQ(ReadBytes(*a, 4096).status, STATUS_SUCCESS) << "the third sends the release";
  EXPECT_FALSE(port->Frozen());
}

TEST_F(ReadWriteTest, AReadOrWriteCostsThreeAllocationsWhateverItsChunksAndRetries) {
  auto count = [&](auto request) {
    uint64_t before = world.pool.Allocations(host::kUntaggedPoolTag);
    request();
    return world.pool.Allocations(host::kUntaggedPoolTag) - before;
  };
  EXPECT_EQ(count([&] { ReadBytes(*a, 512); }), 3u);
  EXPECT_EQ(count([&] { ReadBytes(*a, 10 * 65536); }), 3u);
  port->Script().Then(ScsiOutcome::CheckCondition(0x4), 3);
  EXPECT_EQ(count([&] { ReadBytes(*a, 4 * 65536); }), 3u) << "three retries, no allocation for them";
  EXPECT_EQ(count([&] { world.app.Write(*a, world.user.Alloc(2 * 65536), 2 * 65536); }), 3u);
  EXPECT_EQ(world.mdls.MadeByDrivers(), 0u) << "the I/O manager's MDL carries the data";
}

// A chunk larger than bytes 2 to 4 can state is cut where they can.
class LargeTransferTest : public ReadWriteTest {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.maximumTransferLength = 32u << 20;
    config.maximumPhysicalPages = 100000;
    return config;
  }
};

TEST_F(LargeTransferTest, ChunksOfSixteenMebibytesOrMoreAreCutToWhatTheCdbStates) {
  host::IoResult result = ReadBytes(*a, 20u << 20);
  EXPECT_EQ(result.information, 20u << 20);
  auto srbs = Executed();
  ASSERT_EQ(srbs.size(), 2u);
  EXPECT_EQ(srbs[0].srb.DataTransferLength, 0xFFF000u);
  EXPECT_THAT(srbs[0].cdb, ElementsAre(0x08, 0, 0xFF, 0xF0, 0x00, 0));
  ULONG second = (20u << 20) - 0xFFF000u;
  EXPECT_EQ(srbs[1].srb.DataTransferLength, second);
  EXPECT_THAT(srbs[1].cdb, ElementsAre(0x08, 0, (UCHAR)(second >> 16), (UCHAR)(second >> 8), (UCHAR)second, 0));
}
