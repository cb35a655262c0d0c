// The device controls of applications: the two gates every code passes, the
// device lock, the SRB timeout and the SCSI address.
#include <atomic>
#include <thread>

#include "app_fixture.h"

using ::testing::IsEmpty;

namespace {

constexpr ULONG kOutsideTheTable = 0x00190026;
const ULONG kEveryCode[] = {IOCTL_SCSISCAN_CMD, IOCTL_SCSISCAN_LOCKDEVICE, IOCTL_SCSISCAN_UNLOCKDEVICE,
                            IOCTL_SCSISCAN_SET_TIMEOUT, IOCTL_SCSISCAN_GET_INFO, kOutsideTheTable};

}  // namespace

class DeviceControlTest : public AppTest {
 protected:
  // What a failure must leave alone.
  struct State {
    LONG64 lockOwner;
    LONG timeout;
    size_t entries;
    uint64_t srbs;
  };
  State Now() { return {extension->LockOwner, extension->TimeOutValue, world.errorLog.Entries().size(), port->SrbCount()}; }
  void ExpectUnchanged(const State& before) {
    State after = Now();
    EXPECT_EQ(after.lockOwner, before.lockOwner);
    EXPECT_EQ(after.timeout, before.timeout);
    EXPECT_EQ(after.entries, before.entries) << "no failure is logged";
    EXPECT_EQ(after.srbs, before.srbs);
  }
  // Sends Code with buffers that would serve it, with Information preset.
  host::IoResult Any(const host::Handle& handle, ULONG code) {
    ULONG* timeout = UserValue<ULONG>(30);
    if (code == IOCTL_SCSISCAN_SET_TIMEOUT) return Control(handle, code, timeout, 4, timeout, 4);
    if (code == IOCTL_SCSISCAN_GET_INFO) return Control(handle, code, nullptr, 0, world.user.Alloc(144), 144);
    if (code == IOCTL_SCSISCAN_CMD) {
      UserCommand command = CommandBuilder().Cdb({0x00, 0, 0, 0, 0, 0}).Build(world);
      return PassThrough(handle, command);
    }
    return Control(handle, code);
  }
};

TEST_F(DeviceControlTest, ANotStartedDeviceRefusesEveryCodeEvenWhileLocked) {
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  extension->LockOwner = 1;  // the stop leaves no lock; hold one to show it does not matter
  State before = Now();
  for (ULONG code : kEveryCode) {
    SCOPED_TRACE(code);
    host::IoResult result = Any(*b, code);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.information, 0u);
  }
  ExpectUnchanged(before);
}

TEST_F(DeviceControlTest, AnotherHandlesLockRefusesEveryCodeOneOutsideTheTableToo) {
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  State before = Now();
  for (ULONG code : kEveryCode) {
    SCOPED_TRACE(code);
    host::IoResult result = Any(*b, code);
    EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(result.information, 0u);
  }
  ExpectUnchanged(before);
  EXPECT_EQ(Any(*a, kOutsideTheTable).status, STATUS_NOT_SUPPORTED) << "the holder passes the gate";
  EXPECT_EQ(Any(*a, IOCTL_SCSISCAN_SET_TIMEOUT).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, TheLockIsTakenAndGivenBackByOneHandle) {
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(extension->LockOwner, (LONG64)(ULONG_PTR)a->file->FsContext);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_DEVICE_BUSY) << "not again, not even by the holder";
  EXPECT_EQ(Control(*b, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(extension->LockOwner, 0);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_DEVICE_BUSY) << "an unlocked device";
  EXPECT_EQ(Control(*b, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, ClosingTheHoldingHandleReleasesTheLockAndClosingAnotherDoesNot) {
  host::Handle* c = &Open();
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(world.app.Close(*c), STATUS_SUCCESS);
  EXPECT_EQ(Control(*b, IOCTL_SCSISCAN_SET_TIMEOUT, UserValue<ULONG>(30), 4).status, STATUS_DEVICE_BUSY)
      << "another open's close leaves the lock with its holder";
  ASSERT_EQ(world.app.Close(*a), STATUS_SUCCESS);
  EXPECT_EQ(extension->LockOwner, 0);
  EXPECT_EQ(Control(*b, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS) << "nobody is locked out";
}

// A handle that outlived a stop and a handle opened after the start are
// two opens: neither passes the other's lock.
TEST_F(DeviceControlTest, ALockHeldAfterARestartKeepsOutAHandleOpenedBeforeTheStop) {
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  host::Handle* fresh = &Open();
  ASSERT_EQ(Control(*fresh, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_SET_TIMEOUT, UserValue<ULONG>(30), 4).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Control(*fresh, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, TwoHandlesRacingForTheLockGetOneSuccess) {
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> wins{0}, busy{0};
    auto race = [&](host::Handle* handle) {
      NTSTATUS status = Control(*handle, IOCTL_SCSISCAN_LOCKDEVICE).status;
      (status == STATUS_SUCCESS ? wins : busy)++;
    };
    std::thread first(race, a), second(race, b);
    first.join();
    second.join();
    ASSERT_EQ(wins, 1) << "round " << round;
    ASSERT_EQ(busy, 1);
    host::Handle* holder = extension->LockOwner == (LONG64)(ULONG_PTR)a->file->FsContext ? a : b;
    ASSERT_EQ(Control(*holder, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_SUCCESS);
  }
}

TEST_F(DeviceControlTest, TheTimeoutIsSwappedAndThePreviousOneGivenBackWhenAsked) {
  ULONG* buffer = UserValue<ULONG>(120);
  host::IoResult result = Control(*a, IOCTL_SCSISCAN_SET_TIMEOUT, buffer, 4, buffer, 4);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 4u);
  EXPECT_EQ(Read(buffer), 60u);
  EXPECT_EQ(extension->TimeOutValue, 120);

  ULONG* noAnswer = UserValue<ULONG>(0);
  result = Control(*b, IOCTL_SCSISCAN_SET_TIMEOUT, noAnswer, 4, nullptr, 0);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(extension->TimeOutValue, 0) << "any value, 0 too, for all handles";

  ULONG* shortInput = UserValue<ULONG>(7);
  State before = Now();
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_SET_TIMEOUT, shortInput, 3, shortInput, 4).status, STATUS_INVALID_PARAMETER);
  ExpectUnchanged(before);
}

TEST_F(DeviceControlTest, TheAddressFillsFourBytesOfAnInformationRecordOfExactlyItsSize) {
  auto* info = (PSCSISCAN_INFO)world.user.Alloc(sizeof(SCSISCAN_INFO));
  std::memset(world.user.Bytes(info, sizeof(SCSISCAN_INFO)).data(), 0xAB, sizeof(SCSISCAN_INFO));
  host::IoResult result = Control(*a, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, info, sizeof(SCSISCAN_INFO));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  SCSISCAN_INFO seen = Read(info);
  EXPECT_EQ(seen.PortNumber, 2);
  EXPECT_EQ(seen.PathId, 0);
  EXPECT_EQ(seen.TargetId, 3);
  EXPECT_EQ(seen.Lun, 0);
  EXPECT_EQ(seen.Size, 0xABABABABu) << "nothing else of the record is written";
  EXPECT_EQ(seen.AdapterName[0], 0xAB);

  for (ULONG length : {143u, 145u}) {
    void* other = world.user.Alloc(length);
    EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, other, length).status, STATUS_INVALID_PARAMETER) << length;
  }
  world.faults.Fail(host::Fault::MdlMapping);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, info, sizeof(SCSISCAN_INFO)).status,
            STATUS_INSUFFICIENT_RESOURCES);
  port->ScriptIoctl(IOCTL_SCSI_GET_ADDRESS, {STATUS_IO_DEVICE_ERROR});
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, info, sizeof(SCSISCAN_INFO)).status, STATUS_IO_DEVICE_ERROR);
}

// The I/O manager refuses a buffered output it cannot write before the
// driver sees the request, and then copies nothing back to it.
TEST_F(DeviceControlTest, ABufferedOutputInKernelMemoryIsRefusedBeforeTheDriverAndNothingIsCopied) {
  static ULONG kernel[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  ULONG* input = UserValue<ULONG>(90);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_SET_TIMEOUT, input, 4, kernel, 4).status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(kernel[0], 0x11111111u);
  EXPECT_EQ(extension->TimeOutValue, 60) << "the driver never saw it";
}

// The caller's record may lie at any alignment; the sanitizer build stops a
// field written through a misaligned record.
TEST_F(DeviceControlTest, TheAddressIsWrittenIntoARecordAtAnyAlignment) {
  auto* bytes = (uint8_t*)world.user.Alloc(sizeof(SCSISCAN_INFO) + 1, host::Access::ReadWrite, 3);
  std::memset(world.user.Bytes(bytes, sizeof(SCSISCAN_INFO) + 1).data(), 0xAB, sizeof(SCSISCAN_INFO) + 1);
  EXPECT_EQ(Control(*a, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, bytes, sizeof(SCSISCAN_INFO)).status, STATUS_SUCCESS);
  auto seen = world.user.Bytes(bytes, sizeof(SCSISCAN_INFO) + 1);
  EXPECT_EQ(seen[offsetof(SCSISCAN_INFO, PortNumber)], 2);
  EXPECT_EQ(seen[offsetof(SCSISCAN_INFO, TargetId)], 3);
  EXPECT_EQ(seen[offsetof(SCSISCAN_INFO, Lun) + 1], 0xAB) << "nothing past the four bytes";
  EXPECT_EQ(seen[0], 0xAB);
}

TEST_F(DeviceControlTest, ACodeOutsideTheTableIsNotSupported) {
  EXPECT_EQ(Any(*a, kOutsideTheTable).status, STATUS_NOT_SUPPORTED);
}

// A request built inside the kernel carries no file object, so no open
// number: it passes the lock gate only while the device is unlocked, and
// cannot lock or unlock.
TEST_F(DeviceControlTest, ARequestWithoutAFileObjectHasNoOpenNumber) {
  EXPECT_EQ(world.app.SendToDevice(device, IRP_MJ_DEVICE_CONTROL).status, STATUS_NOT_SUPPORTED)
      << "IoControlCode 0 is outside the table: the gates were passed";
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_LOCKDEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(world.app.SendToDevice(device, IRP_MJ_DEVICE_CONTROL).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(world.app.SendToDevice(device, IRP_MJ_READ).status, STATUS_DEVICE_BUSY);
  ASSERT_EQ(Control(*a, IOCTL_SCSISCAN_UNLOCKDEVICE).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, ARequestWithoutAFileObjectCannotLockOrUnlock) {
  PDEVICE_OBJECT target = device;
  auto kernelControl = [&](ULONG code) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    NTSTATUS status = IoCallDriver(target, irp);
    return status;
  };
  EXPECT_EQ(kernelControl(IOCTL_SCSISCAN_LOCKDEVICE), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(extension->LockOwner, 0);
  EXPECT_EQ(kernelControl(IOCTL_SCSISCAN_UNLOCKDEVICE), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(kernelControl(IOCTL_SCSISCAN_SET_TIMEOUT), STATUS_INVALID_PARAMETER) << "other codes are served";
}
