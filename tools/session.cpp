// A session with the driver over the simulated port driver, with
// completions coming from the port's own thread at DISPATCH_LEVEL as
// hardware would: the driver is loaded, a device is added for the
// instrument, the port driver is asked for the adapter's limits and the
// device's SCSI address, and the kernel stand-in's audit closes the session.
// Prints what happened; exits non-zero when anything failed or was left over.
#include <cstdio>
#include <cstring>

#include "driver.h"
#include "port_driver.h"
#include "queries.h"
#include "world.h"

namespace {

int failures = 0;

void Step(const char* what, NTSTATUS status) {
  std::printf("%-44s %s (0x%08X)\n", what, NT_SUCCESS(status) ? "ok" : "FAILED", (unsigned)status);
  if (!NT_SUCCESS(status)) ++failures;
}

}  // namespace

int main() {
  host::World world;
  sim::PortConfig config;
  config.scsi = sim::Completion::Threaded;
  config.ioctl = sim::Completion::Threaded;
  config.pnp = sim::Completion::Threaded;
  auto port = std::make_unique<sim::PortDriver>(world, config);

  NTSTATUS status;
  PDRIVER_OBJECT driver = world.LoadDriver("StillScsi", DriverEntry,
                                           "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi",
                                           &status, true);
  Step("load the driver", status);
  if (driver == nullptr) return 1;

  status = world.pnp.AddDevice(driver, port->Pdo());
  Step("add the device for the instrument", status);
  if (NT_SUCCESS(status)) {
    PDEVICE_OBJECT device = port->Pdo()->AttachedDevice;
    auto* extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    std::printf("  device number %u, interface %s\n", (unsigned)extension->DeviceNumber,
                host::Narrow(host::FromUnicodeString(&extension->InterfaceName)).c_str());

    STORAGE_PROPERTY_ID property = StorageAdapterProperty;
    PSTORAGE_ADAPTER_DESCRIPTOR descriptor = nullptr;
    status = GetAdapterDescriptor(extension->StackDeviceObject, &property, &descriptor);
    Step("query the adapter descriptor", status);
    if (descriptor != nullptr) {
      std::printf("  maximum transfer %u bytes, %u physical pages\n", (unsigned)descriptor->MaximumTransferLength,
                  (unsigned)descriptor->MaximumPhysicalPages);
      ExFreePoolWithTag(descriptor, STILLSCSI_POOL_TAG);
    }

    SCSISCAN_INFO info;
    std::memset(&info, 0, sizeof(info));
    status = GetScsiAddress(extension->StackDeviceObject, &info);
    Step("query the SCSI address", status);
    std::printf("  port %u, path %u, target %u, logical unit %u\n", info.PortNumber, info.PathId, info.TargetId,
                info.Lun);

    SetDeviceInterface(extension->PhysicalDeviceObject, &extension->InterfaceName, FALSE);
    IoDetachDevice(extension->StackDeviceObject);
    IoDeleteDevice(device);
  }
  port->Shutdown();
  world.UnloadDriver(driver);
  port.reset();

  auto left = world.Audit();
  for (const auto& line : left) std::printf("left over: %s\n", line.c_str());
  std::printf("%s\n", failures == 0 && left.empty() ? "session clean" : "session FAILED");
  return failures == 0 && left.empty() ? 0 : 1;
}
