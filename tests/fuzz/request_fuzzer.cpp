// Fuzzes the driver as an application and a port driver can: an input is a
// short sequence of requests (device controls of the five codes and others,
// with any lengths and contents, command blocks whose pointers aim at owned,
// unowned, read-only, kernel and page-straddling memory, reads and writes,
// opens, closes, lock and unlock from several handles), scripted port
// outcomes (SRB and SCSI status, bytes moved, sense bytes of any length),
// and Plug and Play stop, start and removal between them, or the unit
// vanishing (surprise removal).
//
// Every input runs on a fresh stand-in. A verifier stop ends the process as
// a crash; after each request its status must be one the driver or the I/O
// manager answers with, and after the input the audit must be empty.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver.h"
#include "port_driver.h"
#include "request_answers.h"
#include "stillscsi_ioctl.h"
#include "world.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ: %s\n", what.c_str());
  std::abort();
}

void Check(NTSTATUS status, const std::set<NTSTATUS>& answers, const char* request) {
  if (!answers.count(status)) {
    char text[96];
    std::snprintf(text, sizeof(text), "%s ended with 0x%08X, which nothing here answers with", request,
                  (unsigned)status);
    Fail(text);
  }
}

// Kernel memory an application's pointer may aim at.
alignas(16) uint8_t g_kernelBytes[256];

class Session {
 public:
  explicit Session(FuzzedDataProvider& input) : in_(input), world_(Options()) {
    sim::PortConfig config;
    config.maximumTransferLength = in_.PickValueInArray<ULONG>({4096, 65536, 65536, 0x11000});
    config.maximumPhysicalPages = in_.PickValueInArray<ULONG>({2, 3, 17, 17});
    port_ = std::make_unique<sim::PortDriver>(world_, config, 1);
    NTSTATUS status = -1;
    driver_ = world_.LoadDriver("StillScsi", DriverEntry,
                                "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi", &status, true);
    if (status != STATUS_SUCCESS) Fail("the driver did not load");
    AddAndStart();
  }

  void Run() {
    for (int step = 0; step < 24 && in_.remaining_bytes() > 0; ++step) {
      if (gone_) return;
      switch (in_.ConsumeIntegralInRange<int>(0, 11)) {
        case 0: Control(); break;
        case 1: PassThrough(); break;
        case 2: PassThrough(); break;
        case 3: Transfer(IRP_MJ_READ); break;
        case 4: Transfer(IRP_MJ_WRITE); break;
        case 5: LockOrUnlock(); break;
        case 6: Script(); break;
        case 7: Script(); break;
        case 8: OpenOrClose(); break;
        case 9: StopOrStart(); break;
        case 10: RemoveAndAddAgain(); break;
        case 11: Vanish(); break;
      }
    }
  }

  // Closes, removes and unloads; the audit must find nothing.
  void Finish() {
    port_->PumpAll();
    CloseAll();
    if (present_ && world_.pnp.Remove(Pdo()) != host::Removal::Removed) Fail("the removal did not go ahead");
    port_->Shutdown();
    world_.UnloadDriver(driver_);
    port_.reset();
    std::vector<std::string> left = world_.Audit();
    if (!left.empty()) {
      std::string all;
      for (const std::string& line : left) all += "\n  " + line;
      Fail("the audit found" + all);
    }
  }

 private:
  static host::World::Options Options() {
    host::World::Options options;
    options.userSpaceBytes = size_t(16) << 20;
    options.waitLimitSeconds = 5;
    return options;
  }
  PDEVICE_OBJECT Pdo() { return port_->Pdo(0); }
  PDEVICE_EXTENSION Extension() { return (PDEVICE_EXTENSION)Pdo()->AttachedDevice->DeviceExtension; }

  void AddAndStart() {
    if (world_.pnp.AddDevice(driver_, Pdo()) != STATUS_SUCCESS) Fail("the device was not added");
    present_ = true;
    // A count below 0 never drains again: a verifier stop, at the first
    // request boundary after it.
    PDEVICE_EXTENSION extension = Extension();
    world_.watches.Add(Pdo()->AttachedDevice, "pending-I/O count below 0", [extension] {
      return __atomic_load_n(&extension->PendingIoCount, __ATOMIC_RELAXED) >= 0;
    });
    if (world_.pnp.Send(Pdo(), IRP_MN_START_DEVICE).status != STATUS_SUCCESS) Fail("the device did not start");
    for (int i = 0; i < 3; ++i) Open();
  }
  void Open() {
    host::Handle& handle = handles_.emplace_back();
    std::string name = "\\\\.\\StillScsi" + std::to_string(Extension()->DeviceNumber);
    NTSTATUS status = world_.app.Open(name, &handle);
    Check(status, kOpenAnswers, "an open");
  }
  void CloseAll() {
    for (host::Handle& handle : handles_) {
      if (handle.file != nullptr) world_.app.Close(handle);
    }
  }
  // One of the handles, open or not; null when none is open.
  host::Handle* Pick() {
    std::vector<host::Handle*> open;
    for (host::Handle& handle : handles_) {
      if (handle.file != nullptr) open.push_back(&handle);
    }
    if (open.empty()) return nullptr;
    return open[in_.ConsumeIntegralInRange<size_t>(0, open.size() - 1)];
  }

  // An address of the kind the input picks, for Length bytes.
  void* Place(size_t length) {
    size_t size = length == 0 ? 1 : length;
    switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
      case 0: return nullptr;
      case 1: return world_.user.Alloc(size, host::Access::Read);
      case 2: return world_.user.Alloc(size, host::Access::None);
      case 3: return g_kernelBytes + in_.ConsumeIntegralInRange<size_t>(0, 64);
      case 4: {  // across a page end into a page the application may not touch
        size_t first = in_.ConsumeIntegralInRange<size_t>(1, 16);
        uint8_t* buffer = (uint8_t*)world_.user.Alloc(size + 16, host::Access::ReadWrite, PAGE_SIZE - first);
        world_.user.Protect(buffer + first, size + 16 - first, host::Access::None);
        return buffer;
      }
      case 5: return (uint8_t*)world_.user.Alloc(size) + size;  // one past its own end
      default: return world_.user.Alloc(size, host::Access::ReadWrite, in_.ConsumeIntegralInRange<size_t>(0, 4095));
    }
  }
  // Length bytes of the application's own memory, filled from the input.
  void* Owned(size_t length) {
    void* buffer = world_.user.Alloc(length == 0 ? 1 : length);
    std::vector<uint8_t> bytes = in_.ConsumeBytes<uint8_t>(length);
    if (!bytes.empty()) std::memcpy(world_.user.Bytes(buffer, bytes.size()).data(), bytes.data(), bytes.size());
    return buffer;
  }

  void Control() {
    host::Handle* handle = Pick();
    if (handle == nullptr) return;
    static const ULONG kCodes[] = {IOCTL_SCSISCAN_CMD, IOCTL_SCSISCAN_LOCKDEVICE, IOCTL_SCSISCAN_UNLOCKDEVICE,
                                   IOCTL_SCSISCAN_SET_TIMEOUT, IOCTL_SCSISCAN_GET_INFO};
    ULONG code = in_.ConsumeBool() ? in_.PickValueInArray(kCodes) : in_.ConsumeIntegral<ULONG>();
    ULONG inputLength = in_.ConsumeIntegralInRange<ULONG>(0, 300);
    ULONG outputLength = in_.ConsumeIntegralInRange<ULONG>(0, 300);
    void* input = in_.ConsumeBool() ? Owned(inputLength) : Place(inputLength);
    void* output = in_.ConsumeBool() ? Owned(outputLength) : Place(outputLength);
    host::IoResult result = world_.app.DeviceIoControl(*handle, code, input, inputLength, output, outputLength);
    Check(result.status, code == IOCTL_SCSISCAN_CMD ? kPassThroughAnswers : kControlAnswers, "a device control");
    if (result.information > outputLength) Fail("a device control gave more bytes than its output holds");
  }

  void PassThrough() {
    host::Handle* handle = Pick();
    if (handle == nullptr) return;
    SCSISCAN_CMD cmd;
    std::memset(&cmd, 0, sizeof(cmd));
    cmd.Size = in_.ConsumeBool() ? sizeof(SCSISCAN_CMD) : in_.ConsumeIntegral<ULONG>();
    cmd.SrbFlags = in_.ConsumeIntegral<ULONG>() & 0xFFFF;
    cmd.CdbLength = in_.PickValueInArray<UCHAR>({6, 10, 12, 16, 0, 255});
    cmd.SenseLength = in_.ConsumeIntegral<UCHAR>();
    cmd.TransferLength = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<ULONG>(0, 300000) : in_.ConsumeIntegral<ULONG>();
    std::vector<uint8_t> cdb = in_.ConsumeBytes<uint8_t>(16);
    if (!cdb.empty()) std::memcpy(cmd.Cdb, cdb.data(), cdb.size());
    cmd.pSenseBuffer = (PUCHAR)Place(cmd.SenseLength);
    cmd.pSrbStatus = (PUCHAR)Place(1);
    ULONG dataLength = in_.ConsumeBool() ? std::min<ULONG>(cmd.TransferLength, 300000)
                                          : in_.ConsumeIntegralInRange<ULONG>(0, 300000);
    void* data = in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? Place(dataLength) : world_.user.Alloc(dataLength + 1);
    ULONG blockLength = in_.ConsumeBool() ? sizeof(SCSISCAN_CMD) : in_.ConsumeIntegralInRange<ULONG>(0, 80);
    void* block = world_.user.Alloc(sizeof(SCSISCAN_CMD) + 32);
    std::memcpy(world_.user.Bytes(block, sizeof(cmd)).data(), &cmd, sizeof(cmd));
    host::IoResult result = world_.app.DeviceIoControl(*handle, IOCTL_SCSISCAN_CMD, block, blockLength, data, dataLength);
    Check(result.status, kPassThroughAnswers, "a pass-through");
    if (result.information > dataLength) Fail("a pass-through moved more bytes than its buffer holds");
  }

  void Transfer(UCHAR major) {
    host::Handle* handle = Pick();
    if (handle == nullptr) return;
    ULONG length = in_.ConsumeIntegralInRange<ULONG>(0, 300000);
    void* buffer = in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? Place(length) : world_.user.Alloc(length + 1);
    host::IoResult result = major == IRP_MJ_READ ? world_.app.Read(*handle, buffer, length)
                                                 : world_.app.Write(*handle, buffer, length);
    Check(result.status, kTransferAnswers, major == IRP_MJ_READ ? "a read" : "a write");
    if (NT_SUCCESS(result.status) && result.information > length) Fail("more bytes than asked for");
  }

  void LockOrUnlock() {
    host::Handle* handle = Pick();
    if (handle == nullptr) return;
    ULONG code = in_.ConsumeBool() ? IOCTL_SCSISCAN_LOCKDEVICE : IOCTL_SCSISCAN_UNLOCKDEVICE;
    Check(world_.app.DeviceIoControl(*handle, code, nullptr, 0, nullptr, 0).status, kLockAnswers, "a lock or unlock");
  }

  // The outcome of the next SRB, or of several.
  void Script() {
    sim::ScsiOutcome outcome;
    outcome.srbStatus = in_.ConsumeIntegral<UCHAR>() & 0x3F;
    outcome.scsiStatus = in_.ConsumeIntegral<UCHAR>();
    if (in_.ConsumeBool()) outcome.bytes = in_.ConsumeIntegralInRange<ULONG>(0, 70000);
    outcome.sense = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, 40));
    if (in_.ConsumeBool()) outcome.senseLength = in_.ConsumeIntegral<UCHAR>();
    port_->Script().Then(outcome, in_.ConsumeIntegralInRange<int>(1, 6));
  }

  void OpenOrClose() {
    if (in_.ConsumeBool() && handles_.size() < 8) {
      Open();
    } else if (host::Handle* handle = Pick()) {
      world_.app.Close(*handle);
    }
  }

  void StopOrStart() {
    UCHAR minor = in_.ConsumeBool() ? IRP_MN_STOP_DEVICE : IRP_MN_START_DEVICE;
    // The manager sends a start only to a stopped device, a stop only to a
    // started one.
    if ((minor == IRP_MN_START_DEVICE) == (Extension()->DeviceStarted != FALSE)) return;
    NTSTATUS status = world_.pnp.Send(Pdo(), minor).status;
    if (status != STATUS_SUCCESS) Fail("a stop or start failed");
  }

  // The unit vanishes under whatever is in flight: a surprise removal, and
  // the removal after the last close.
  void Vanish() {
    port_->Unplug();
    world_.pnp.SurpriseRemove(Pdo());
    port_->PumpAll();
    CloseAll();
    if (!world_.pnp.Removed(Pdo())) Fail("no removal after the last close of a vanished unit");
    if (Pdo()->AttachedDevice != nullptr) Fail("the vanished unit's device is still attached");
    present_ = false;
    gone_ = true;
  }

  void RemoveAndAddAgain() {
    port_->PumpAll();
    CloseAll();
    if (world_.pnp.Remove(Pdo()) != host::Removal::Removed) Fail("the removal did not go ahead");
    present_ = false;
    AddAndStart();
  }

  FuzzedDataProvider& in_;
  host::World world_;
  std::unique_ptr<sim::PortDriver> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  bool present_ = false;
  bool gone_ = false;
  std::deque<host::Handle> handles_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Session session(input);
  session.Run();
  session.Finish();
  return 0;
}
