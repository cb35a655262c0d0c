// The Plug and Play and power manager, driven by tests: it adds devices and
// sends one request at a time to the top of a device's stack.
#include <cstring>

#include "world.h"

namespace host {

void PnpManager::ReportPdo(PDEVICE_OBJECT pdo, std::u16string instancePath) {
  World& world = World::Current();
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  DeviceRecord* record = world.objects.Device(pdo);
  if (record == nullptr) Violation(rule::kBadArgument, "ReportPdo", pdo, "not a live device");
  record->pdo = true;
  record->instancePath = std::move(instancePath);
}

NTSTATUS PnpManager::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  RequireIrql(PASSIVE_LEVEL, "AddDevice");
  World& world = World::Current();
  PDEVICE_OBJECT below;
  {
    std::lock_guard<std::recursive_mutex> lock(world.mu);
    DeviceRecord* record = world.objects.Device(pdo);
    if (record == nullptr || !record->pdo) Violation(rule::kBadArgument, "AddDevice", pdo, "not a reported PDO");
    below = world.objects.Top(pdo);
  }
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Violation(rule::kIrqlChanged, "AddDevice", driver);
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  PDEVICE_OBJECT top = world.objects.Top(pdo);
  if (NT_SUCCESS(status) && top != below) {
    if (top->Flags & DO_DEVICE_INITIALIZING) Report(rule::kDeviceInitializing, "AddDevice", top);
    if ((below->Flags & DO_POWER_PAGABLE) && !(top->Flags & DO_POWER_PAGABLE)) {
      Report(rule::kPowerPagableNotInherited, "AddDevice", top);
    }
    if ((top->Flags & DO_BUFFERED_IO) && (top->Flags & DO_DIRECT_IO)) Report(rule::kIoMethodFlags, "AddDevice", top);
  }
  return status;
}

PnpResult PnpManager::Issue(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, NTSTATUS preset,
                            const std::function<void(IO_STACK_LOCATION&)>& setup) {
  RequireIrql(PASSIVE_LEVEL, "PnpManager");
  World& world = World::Current();
  struct Outcome {
    bool done = false;
    IO_STATUS_BLOCK status{};
  };
  auto outcome = std::make_shared<Outcome>();
  PDEVICE_OBJECT top;
  PIRP irp;
  {
    std::lock_guard<std::recursive_mutex> lock(world.mu);
    top = world.objects.Top(pdo);
    irp = world.irps.Allocate(top->StackSize, IrpKind::Manager, false);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) setup(*next);
    world.irps.Find(irp)->onComplete = [outcome](PIRP done) {
      outcome->status = done->IoStatus;
      outcome->done = true;
    };
  }
  PnpResult result;
  result.returned = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IofCallDriver(top, irp);
  world.WaitUntil(
      [&] {
        std::lock_guard<std::recursive_mutex> lock(world.mu);
        return outcome->done;
      },
      major == IRP_MJ_POWER ? "power request" : "Plug and Play request");
  result.status = outcome->status.Status;
  result.information = outcome->status.Information;

  if (major == IRP_MJ_PNP) {
    bool mustSucceed = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                       minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE;
    if (mustSucceed && !NT_SUCCESS(result.status)) {
      Report(rule::kPnpFailed, "DispatchPnp", pdo, "minor " + std::to_string(minor) + " failed with " + Hex((unsigned)result.status));
    }
    std::lock_guard<std::recursive_mutex> lock(world.mu);
    if (minor == IRP_MN_REMOVE_DEVICE && world.objects.IsLive(pdo) && pdo->AttachedDevice != nullptr) {
      Report(rule::kPnpNotDeleted, "DispatchPnp", pdo->AttachedDevice);
    }
  }
  return result;
}

PnpResult PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& setup) {
  return Issue(pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, setup);
}

PnpResult PnpManager::SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS preset) {
  return Issue(pdo, IRP_MJ_SYSTEM_CONTROL, minor, preset, {});
}

PnpResult PnpManager::SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return Issue(pdo, IRP_MJ_POWER, minor, STATUS_NOT_SUPPORTED, [&](IO_STACK_LOCATION& location) {
    location.Parameters.Power.Type = type;
    location.Parameters.Power.State = state;
  });
}

}  // namespace host
