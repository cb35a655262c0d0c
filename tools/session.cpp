// A session with the driver over the simulated port driver, with
// completions coming from the port's own threads at DISPATCH_LEVEL as
// hardware would, driven the way the platform drives a driver: the Plug and
// Play manager adds and starts the device; an application opens it by the
// name the driver published in "CreateFileName", locks it, sets the SRB
// timeout, reads the SCSI address, passes an INQUIRY and a chunked read
// through, reads and writes it plainly, and closes it; the device is
// stopped, started again and removed, and the kernel stand-in's audit closes
// the session. Prints each step; exits non-zero when anything failed or was
// left over.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "driver.h"
#include "port_driver.h"
#include "world.h"

namespace {

int failures = 0;

// A pass-through command block in the application's memory, with its status
// byte and sense buffer.
struct Command {
  SCSISCAN_CMD* block;
  UCHAR* status;
  UCHAR* sense;
};

Command BuildCommand(host::World& world, std::initializer_list<UCHAR> cdb, ULONG srbFlags, ULONG length) {
  Command command{(SCSISCAN_CMD*)world.user.Alloc(sizeof(SCSISCAN_CMD)), (UCHAR*)world.user.Alloc(1),
                  (UCHAR*)world.user.Alloc(18)};
  SCSISCAN_CMD block;
  std::memset(&block, 0, sizeof(block));
  block.Size = sizeof(SCSISCAN_CMD);
  block.SrbFlags = srbFlags;
  block.CdbLength = (UCHAR)cdb.size();
  std::memcpy(block.Cdb, cdb.begin(), cdb.size());
  block.TransferLength = length;
  block.SenseLength = 18;
  block.pSrbStatus = command.status;
  block.pSenseBuffer = command.sense;
  std::memcpy(world.user.Bytes(command.block, sizeof(block)).data(), &block, sizeof(block));
  return command;
}

// What a data request did: its status, bytes, the status byte and sense key
// where it has them, and the chunks the port saw for it.
void Outcome(host::World& world, sim::PortDriver& port, uint64_t srbsBefore, const char* what, host::IoResult result,
             const Command* command = nullptr) {
  std::printf("%-44s %s (0x%08X), %zu bytes", what, NT_SUCCESS(result.status) ? "ok" : "FAILED", (unsigned)result.status,
              (size_t)result.information);
  if (command != nullptr) {
    UCHAR status = world.user.Bytes(command->status, 1)[0];
    std::printf(", status byte 0x%02X", status);
    if (status & SRB_STATUS_AUTOSENSE_VALID) std::printf(", sense key 0x%X", world.user.Bytes(command->sense, 18)[2] & 0xF);
  }
  std::printf(", %llu chunks at the port\n", (unsigned long long)(port.ExecuteCount() - srbsBefore));
  if (!NT_SUCCESS(result.status)) ++failures;
}

void Step(const char* what, NTSTATUS status) {
  std::printf("%-44s %s (0x%08X)\n", what, NT_SUCCESS(status) ? "ok" : "FAILED", (unsigned)status);
  if (!NT_SUCCESS(status)) ++failures;
}

void Check(const char* what, bool good, const std::string& detail = {}) {
  std::printf("%-44s %s%s%s\n", what, good ? "ok" : "FAILED", detail.empty() ? "" : ": ", detail.c_str());
  if (!good) ++failures;
}

// The open name the driver published for the PDO's device, or "" when none.
std::string PublishedOpenName(host::World& world, PDEVICE_OBJECT pdo) {
  std::lock_guard<host::WorldLock> lock(world.mu);
  const host::RegistryValue* value = world.registry.Value(pdo, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName");
  return value == nullptr ? std::string() : host::Narrow(value->Text());
}

}  // namespace

int main() {
  host::World world;
  sim::PortConfig config;
  config.scsi = sim::Completion::Threaded;
  config.ioctl = sim::Completion::Threaded;
  config.pnp = sim::Completion::Threaded;
  config.completionThreads = 2;
  auto port = std::make_unique<sim::PortDriver>(world, config);
  PDEVICE_OBJECT pdo = port->Pdo();

  NTSTATUS status;
  PDRIVER_OBJECT driver = world.LoadDriver("StillScsi", DriverEntry,
                                           "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi",
                                           &status, true);
  Step("load the driver", status);
  if (driver == nullptr) return 1;

  Step("add the device for the instrument", world.pnp.AddDevice(driver, pdo));
  Step("start it", world.pnp.Send(pdo, IRP_MN_START_DEVICE).status);
  host::PnpResult capabilities = world.pnp.Send(pdo, IRP_MN_QUERY_CAPABILITIES);
  Step("query its capabilities", capabilities.status);
  if (capabilities.capabilities) {
    std::printf("  D1, D2, D3 latencies %u, %u, %u (100 us units)\n", (unsigned)capabilities.capabilities->D1Latency,
                (unsigned)capabilities.capabilities->D2Latency, (unsigned)capabilities.capabilities->D3Latency);
  }

  std::string openName = PublishedOpenName(world, pdo);
  Check("the driver published its open name", !openName.empty(), openName);
  host::Handle first, second;
  Step("an application opens it by that name", world.app.Open(openName, &first));
  Step("and opens it a second time", world.app.Open(openName, &second));
  if (first.file != nullptr && second.file != nullptr) {
    std::printf("  open numbers %zu and %zu\n", (size_t)first.file->FsContext, (size_t)second.file->FsContext);
  }
  Check("a removal is refused while handles are open",
        world.pnp.Remove(pdo) == host::Removal::OutstandingOpen);

  // The application's requests, with completions from two port threads.
  Step("lock the device for the first handle", world.app.DeviceIoControl(first, IOCTL_SCSISCAN_LOCKDEVICE, nullptr, 0, nullptr, 0).status);
  NTSTATUS kept = world.app.DeviceIoControl(second, IOCTL_SCSISCAN_LOCKDEVICE, nullptr, 0, nullptr, 0).status;
  Check("the second handle is kept out while it is locked", kept == STATUS_DEVICE_BUSY);
  ULONG* timeout = (ULONG*)world.user.Alloc(sizeof(ULONG));
  *world.user.As<ULONG>(timeout) = 30;
  Step("set the SRB timeout to 30 s", world.app.DeviceIoControl(first, IOCTL_SCSISCAN_SET_TIMEOUT, timeout, 4, timeout, 4).status);
  std::printf("  the timeout was %u s\n", (unsigned)*world.user.As<ULONG>(timeout));
  auto* info = (PSCSISCAN_INFO)world.user.Alloc(sizeof(SCSISCAN_INFO));
  Step("read the SCSI address", world.app.DeviceIoControl(first, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, info, sizeof(SCSISCAN_INFO)).status);
  SCSISCAN_INFO address = *world.user.As<SCSISCAN_INFO>(info);
  std::printf("  port %u, path %u, target %u, logical unit %u\n", address.PortNumber, address.PathId, address.TargetId,
              address.Lun);

  uint64_t srbs = port->ExecuteCount();
  Command inquiry = BuildCommand(world, {0x12, 0, 0, 0, 36, 0}, SRB_FLAGS_DATA_IN, 36);
  void* inquiryData = world.user.Alloc(36);
  Outcome(world, *port, srbs, "pass an INQUIRY through",
          world.app.DeviceIoControl(first, IOCTL_SCSISCAN_CMD, inquiry.block, sizeof(SCSISCAN_CMD), inquiryData, 36),
          &inquiry);
  srbs = port->ExecuteCount();
  port->Script().Then(sim::ScsiOutcome::Good()).Then(sim::ScsiOutcome::CheckCondition(0x6, 0x29, 0x00));
  Command failing = BuildCommand(world, {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_FLAGS_DATA_IN, 200000);
  void* passData = world.user.Alloc(200000);
  Outcome(world, *port, srbs, "pass a read that fails in chunk 2 through",
          world.app.DeviceIoControl(first, IOCTL_SCSISCAN_CMD, failing.block, sizeof(SCSISCAN_CMD), passData, 200000),
          &failing);
  srbs = port->ExecuteCount();
  Command chunked = BuildCommand(world, {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_FLAGS_DATA_IN, 200000);
  Outcome(world, *port, srbs, "pass a read of 200000 bytes through",
          world.app.DeviceIoControl(first, IOCTL_SCSISCAN_CMD, chunked.block, sizeof(SCSISCAN_CMD), passData, 200000),
          &chunked);
  srbs = port->ExecuteCount();
  void* readData = world.user.Alloc(300000);
  Outcome(world, *port, srbs, "read 300000 bytes", world.app.Read(first, readData, 300000));
  srbs = port->ExecuteCount();
  port->Script().Then(sim::ScsiOutcome::CheckCondition(0x4, 0x44, 0x00), 2);
  Outcome(world, *port, srbs, "write 100000 bytes, with two hardware errors", world.app.Write(first, readData, 100000));
  std::printf("  %zu error-log entries\n", world.errorLog.Entries().size());
  Step("unlock the device", world.app.DeviceIoControl(first, IOCTL_SCSISCAN_UNLOCKDEVICE, nullptr, 0, nullptr, 0).status);
  if (first.file != nullptr) Step("the application closes the first", world.app.Close(first));
  if (second.file != nullptr) Step("and the second", world.app.Close(second));

  Step("query-stop", world.pnp.Send(pdo, IRP_MN_QUERY_STOP_DEVICE).status);
  Step("stop", world.pnp.Send(pdo, IRP_MN_STOP_DEVICE).status);
  Check("the open name is withdrawn", PublishedOpenName(world, pdo).empty());
  host::Handle refused;
  status = world.app.Open(openName, &refused);
  Check("an open of the stopped device is refused", !NT_SUCCESS(status), "0x" + [status] {
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", (unsigned)status);
    return std::string(text);
  }());
  if (refused.file != nullptr) world.app.Close(refused);

  Step("start it again", world.pnp.Send(pdo, IRP_MN_START_DEVICE).status);
  Check("the open name is published again", PublishedOpenName(world, pdo) == openName);
  host::Handle again;
  Step("an application opens it again", world.app.Open(openName, &again));
  if (again.file != nullptr) Step("and closes it", world.app.Close(again));

  Check("the device is removed", world.pnp.Remove(pdo) == host::Removal::Removed);
  Check("nothing is attached to the PDO any more", pdo->AttachedDevice == nullptr);

  port->Shutdown();
  world.UnloadDriver(driver);
  port.reset();

  auto left = world.Audit();
  for (const auto& line : left) std::printf("left over: %s\n", line.c_str());
  std::printf("%s\n", failures == 0 && left.empty() ? "session clean" : "session FAILED");
  return failures == 0 && left.empty() ? 0 : 1;
}
