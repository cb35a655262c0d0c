// Opens and closes of the device, with the open numbers they carry, and
// power requests, passed down in every state.
#include <atomic>
#include <set>
#include <thread>

#include "fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class OpenTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
  }
  void Clean() override {
    for (host::Handle& handle : handles) {
      if (handle.file != nullptr) world.app.Close(handle);
    }
    DriverTest::Clean();
  }
  // Opens the device by its kernel name (the link exists only while started).
  NTSTATUS Open(host::Handle** opened = nullptr) {
    host::Handle& handle = handles.emplace_back();
    NTSTATUS status = world.app.Open("\\Device\\StillScsi0", &handle);
    if (opened != nullptr) *opened = &handle;
    return status;
  }
  // The open numbers the port saw arrive with each create, in order.
  std::vector<ULONG_PTR> CreateNumbers() {
    std::vector<ULONG_PTR> numbers;
    for (const auto& request : port->Requests(IRP_MJ_CREATE)) numbers.push_back((ULONG_PTR)request.fsContext);
    return numbers;
  }
  NTSTATUS Power(UCHAR minor = IRP_MN_SET_POWER) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    return world.pnp.SendPower(port->Pdo(), minor, DevicePowerState, state).status;
  }

  std::deque<host::Handle> handles;
};

TEST_F(OpenTest, BeforeTheFirstStartACreateIsRefusedButUsesUpItsNumber) {
  EXPECT_EQ(Open(), STATUS_DELETE_PENDING);
  EXPECT_EQ(extension->OpenCount, 1) << "the number went before the started test";
  EXPECT_THAT(port->Requests(IRP_MJ_CREATE), IsEmpty()) << "the lower device never sees it";
  EXPECT_EQ(extension->PendingIoCount, 1) << "the bias alone";
  EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent), 0) << "no event set before a drain";
  EXPECT_EQ(world.app.OpenFiles(), 0u);
}

TEST_F(OpenTest, OpensAreNumberedForTheDevicesLifeAndARefusalBelowStillUsesItsNumber) {
  ASSERT_EQ(Open(), STATUS_DELETE_PENDING);  // number 1, refused here
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  EXPECT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(Open(), STATUS_SUCCESS);
  port->Bus().createStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(Open(), STATUS_UNSUCCESSFUL) << "the lower device's answer is the answer";
  port->Bus().createStatus = STATUS_SUCCESS;
  EXPECT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_THAT(CreateNumbers(), ElementsAre(2u, 3u, 4u, 5u)) << "a start does not number again from 1";
  auto creates = port->Requests(IRP_MJ_CREATE);
  EXPECT_EQ(creates[0].presetStatus, STATUS_SUCCESS) << "success and no information set before passing down";
  EXPECT_EQ(extension->PendingIoCount, 1);
}

// Handles opened before a stop stay valid after the next start: a handle
// opened after it must not share a number with one of them.
TEST_F(OpenTest, AHandleOpenedAfterARestartNeverGetsTheNumberOfOneThatOutlivedTheStop) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  host::Handle* old;
  ASSERT_EQ(Open(&old), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  host::Handle* fresh;
  ASSERT_EQ(Open(&fresh), STATUS_SUCCESS);
  EXPECT_NE(fresh->file->FsContext, old->file->FsContext);
  EXPECT_EQ((ULONG_PTR)fresh->file->FsContext, 2u);
}

TEST_F(OpenTest, WhenTheNumbersWrapNoOpenIsGivenZero) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  extension->OpenCount = -1;  // the last number before the wrap was given
  host::Handle* handle;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  EXPECT_EQ((ULONG_PTR)handle->file->FsContext, 1u) << "0 means no open: it would pass an unlocked gate only";
}

TEST_F(OpenTest, OpensFromManyThreadsAtOnceGetNumbersOfTheirOwn) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  constexpr int kThreads = 4, kOpens = 50;
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kOpens; ++i) {
        host::Handle handle;
        if (world.app.Open("\\Device\\StillScsi0", &handle) != STATUS_SUCCESS) ++failed;
        world.app.Close(handle);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failed, 0);
  std::vector<ULONG_PTR> numbers = CreateNumbers();
  std::set<ULONG_PTR> distinct(numbers.begin(), numbers.end());
  EXPECT_EQ(distinct.size(), (size_t)kThreads * kOpens);
  EXPECT_EQ(*distinct.begin(), 1u);
  EXPECT_EQ(*distinct.rbegin(), (ULONG_PTR)kThreads * kOpens);
  EXPECT_EQ(extension->PendingIoCount, 1);
}

TEST_F(OpenTest, ACloseClearsItsFileObjectsNumberAndReleasesTheLockItHolds) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  host::Handle* handle;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  PFILE_OBJECT file = handle->file;
  EXPECT_EQ((ULONG_PTR)file->FsContext, 1u);
  extension->LockOwner = 1;  // this open holds the device lock
  EXPECT_EQ(world.app.Close(*handle), STATUS_SUCCESS);
  auto closes = port->Requests(IRP_MJ_CLOSE);
  ASSERT_THAT(closes, ::testing::SizeIs(1));
  EXPECT_EQ(closes[0].fsContext, nullptr) << "cleared before it went down";
  EXPECT_EQ(closes[0].presetStatus, STATUS_SUCCESS);
  EXPECT_EQ(extension->LockOwner, 0) << "the holder's close releases the lock";
  EXPECT_EQ(extension->OpenCount, 1) << "a close gives no number back";
  EXPECT_EQ(extension->PendingIoCount, 1);
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  EXPECT_EQ(extension->OpenCount, 1) << "nor does a start";
}

TEST_F(OpenTest, AClosePassesDownInEveryStateWithTheLowerDevicesAnswer) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  host::Handle* handle;
  ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  port->Bus().closeStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(world.app.Close(*handle), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(port->Requests(IRP_MJ_CLOSE), ::testing::SizeIs(1));
}

TEST_F(OpenTest, PowerRequestsPassDownInEveryStateAfterTheNextOneIsLetIn) {
  auto lastPower = [this] { return port->Requests(IRP_MJ_POWER).back(); };
  EXPECT_EQ(Power(), STATUS_SUCCESS);  // added, never started
  EXPECT_EQ(lastPower().powerStartsBefore, 1);
  EXPECT_EQ(extension->PendingIoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent), 0);

  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  port->Bus().powerStatus = STATUS_NOT_SUPPORTED;
  EXPECT_EQ(Power(IRP_MN_QUERY_POWER), STATUS_NOT_SUPPORTED) << "the lower device's answer";
  EXPECT_EQ(lastPower().minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(lastPower().powerStartsBefore, 1);
  port->Bus().powerStatus = STATUS_SUCCESS;

  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Power(), STATUS_SUCCESS);
  EXPECT_EQ(lastPower().powerStartsBefore, 1);
  EXPECT_EQ(port->Requests(IRP_MJ_POWER).size(), 3u);
  EXPECT_EQ(lastPower().irql, PASSIVE_LEVEL) << "DO_POWER_PAGABLE: power comes at PASSIVE_LEVEL";
}
