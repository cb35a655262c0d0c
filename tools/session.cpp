// A session with the driver over the simulated port driver, with
// completions coming from the port's own threads at DISPATCH_LEVEL as
// hardware would, driven the way the platform drives a driver: the Plug and
// Play manager adds and starts the device, an application opens it by the
// name the driver published in "CreateFileName" and closes it, the device is
// stopped, started again and removed, and the kernel stand-in's audit closes
// the session. Prints each step; exits non-zero when anything failed or was
// left over.
#include <cstdio>
#include <cstring>

#include "driver.h"
#include "port_driver.h"
#include "world.h"

namespace {

int failures = 0;

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
