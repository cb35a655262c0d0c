// The Plug and Play and power manager, driven by tests: it adds devices and
// sends one request at a time to the top of a device's stack.
#include <cstring>

#include "world.h"

namespace host {

void PnpManager::ReportPdo(PDEVICE_OBJECT pdo, std::u16string instancePath) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
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
    std::lock_guard<host::WorldLock> lock(world.mu);
    DeviceRecord* record = world.objects.Device(pdo);
    if (record == nullptr || !record->pdo) Violation(rule::kBadArgument, "AddDevice", pdo, "not a reported PDO");
    below = world.objects.Top(pdo);
  }
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Violation(rule::kIrqlChanged, "AddDevice", driver);
  std::lock_guard<host::WorldLock> lock(world.mu);
  // A device added over a PDO whose earlier device was removed starts anew:
  // no surprise removal or removal of the old one applies to it.
  if (NT_SUCCESS(status)) states_.erase(pdo);
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
                            const std::function<void(IO_STACK_LOCATION&)>& setup, bool forced) {
  RequireIrql(PASSIVE_LEVEL, "PnpManager");
  World& world = World::Current();
  struct Outcome {
    bool done = false;
    IO_STATUS_BLOCK status{};
    DEVICE_CAPABILITIES capabilities{};  // the record a capabilities query carries
  };
  auto outcome = std::make_shared<Outcome>();
  bool capabilitiesQuery = major == IRP_MJ_PNP && minor == IRP_MN_QUERY_CAPABILITIES;
  PDEVICE_OBJECT top;
  PIRP irp;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE && !forced && world.app.OpenHandles(pdo) != 0) {
      Violation(rule::kBadArgument, "PnpManager", pdo,
                std::to_string(world.app.OpenHandles(pdo)) +
                    " handles of the device are open: the manager sends IRP_MN_REMOVE_DEVICE only after the last "
                    "close (ForceRemove sends it anyway)");
    }
    top = world.objects.Top(pdo);
    irp = world.irps.Allocate(top->StackSize, IrpKind::Manager, false);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (capabilitiesQuery) {
      DEVICE_CAPABILITIES& capabilities = outcome->capabilities;
      capabilities.Size = sizeof(DEVICE_CAPABILITIES);
      capabilities.Version = 1;
      capabilities.Address = 0xFFFFFFFF;
      capabilities.UINumber = 0xFFFFFFFF;
      next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    }
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
        std::lock_guard<host::WorldLock> lock(world.mu);
        return outcome->done;
      },
      major == IRP_MJ_POWER ? "power request" : "Plug and Play request");
  result.status = outcome->status.Status;
  result.information = outcome->status.Information;
  if (capabilitiesQuery) result.capabilities = outcome->capabilities;

  if (major == IRP_MJ_PNP) {
    bool mustSucceed = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                       minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE;
    if (mustSucceed && !NT_SUCCESS(result.status)) {
      Report(rule::kPnpFailed, "DispatchPnp", pdo, "minor " + std::to_string(minor) + " failed with " + Hex((unsigned)result.status));
    }
    std::lock_guard<host::WorldLock> lock(world.mu);
    if (minor == IRP_MN_REMOVE_DEVICE && world.objects.IsLive(pdo) && pdo->AttachedDevice != nullptr) {
      Report(rule::kPnpNotDeleted, "DispatchPnp", pdo->AttachedDevice);
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL) states_[pdo].surpriseRemoved = true;
    if (minor == IRP_MN_REMOVE_DEVICE) states_[pdo].removed = true;
  }
  return result;
}

PnpResult PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& setup) {
  return Issue(pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, setup);
}

PnpResult PnpManager::ForceRemove(PDEVICE_OBJECT pdo) {
  return Issue(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, STATUS_NOT_SUPPORTED, {}, true);
}

Removal PnpManager::Remove(PDEVICE_OBJECT pdo) {
  World& world = World::Current();
  PnpResult query = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  size_t open;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    open = world.app.OpenHandles(pdo);
  }
  if (!NT_SUCCESS(query.status) || open != 0) {
    Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    return NT_SUCCESS(query.status) ? Removal::OutstandingOpen : Removal::Vetoed;
  }
  Send(pdo, IRP_MN_REMOVE_DEVICE);
  return Removal::Removed;
}

Removal PnpManager::SurpriseRemove(PDEVICE_OBJECT pdo) {
  World& world = World::Current();
  Send(pdo, IRP_MN_SURPRISE_REMOVAL);
  size_t open;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    open = world.app.OpenHandles(pdo);
  }
  if (open != 0) return Removal::Deferred;
  Send(pdo, IRP_MN_REMOVE_DEVICE);
  return Removal::Removed;
}

void PnpManager::LastHandleClosed(PDEVICE_OBJECT pdo) {
  World& world = World::Current();
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    auto state = states_.find(pdo);
    if (state == states_.end() || !state->second.surpriseRemoved || state->second.removed) return;
  }
  Send(pdo, IRP_MN_REMOVE_DEVICE);
}

bool PnpManager::SurpriseRemoved(const DEVICE_OBJECT* pdo) const {
  std::lock_guard<host::WorldLock> lock(World::Current().mu);
  auto state = states_.find(pdo);
  return state != states_.end() && state->second.surpriseRemoved;
}

bool PnpManager::Removed(const DEVICE_OBJECT* pdo) const {
  std::lock_guard<host::WorldLock> lock(World::Current().mu);
  auto state = states_.find(pdo);
  return state != states_.end() && state->second.removed;
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
