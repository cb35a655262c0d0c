// The simulated port driver: its units and their PDOs, the scripts a test
// sets, and the dispatch routine that sends each request to its kind.
#include "port_driver.h"

#include <algorithm>

namespace sim {

namespace {

std::string UnitText(int unit) { return std::to_string(unit); }

}  // namespace

PortDriver::PortDriver(host::World& world, PortConfig config, int units)
    : world_(world), config_(config), srbRecords_(std::max<size_t>(config.srbRecords, 1)) {
  srbs_.reserve(srbRecords_);
  NTSTATUS status;
  driver_ = world_.LoadDriver(
      "SimScsiPort",
      [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
        for (auto& entry : driver->MajorFunction) entry = &PortDriver::Dispatch;
        return STATUS_SUCCESS;
      },
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SimScsiPort", &status);
  for (int i = 0; i < units; ++i) {
    auto unit = std::make_unique<Unit>();
    unit->instrument = &unit->script;
    unit->targetId = (UCHAR)(config_.targetId + i);
    std::u16string name = host::Utf16("\\Device\\SimScsiPort0Unit" + UnitText(i));
    UNICODE_STRING unicodeName{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(Extension), &unicodeName, FILE_DEVICE_MASS_STORAGE, 0, FALSE, &pdo))) {
      host::Violation(host::rule::kBadArgument, "PortDriver", nullptr, "cannot create the unit's PDO");
    }
    auto* extension = (Extension*)pdo->DeviceExtension;
    extension->port = this;
    extension->unit = i;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    unit->pdo = pdo;
    world_.pnp.ReportPdo(pdo, host::Utf16("SCSI\\Scanner&Ven_SIMUL&Prod_INSTRUMENT\\1&2&0&0" + UnitText(i)));
    units_.push_back(std::move(unit));
  }
  world_.SetDriver([this] { return Pump(); });
}

PortDriver::~PortDriver() {
  StopThreads();
  world_.SetDriver(nullptr);
  if (!shutDown_) {
    bool attached = false;
    for (auto& unit : units_) attached |= unit->pdo->AttachedDevice != nullptr;
    if (!attached) Shutdown();
  }
}

void PortDriver::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  threadedCv_.notify_all();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
}

void PortDriver::Shutdown() {
  if (shutDown_) return;
  StopThreads();
  for (auto& unit : units_) IoDeleteDevice(unit->pdo);
  world_.UnloadDriver(driver_);
  shutDown_ = true;
}

PDEVICE_OBJECT PortDriver::Pdo(int unit) const { return units_.at(unit)->pdo; }

ScriptedInstrument& PortDriver::Script(int unit) { return units_.at(unit)->script; }

void PortDriver::SetInstrument(Instrument* instrument, int unit) {
  std::lock_guard<std::mutex> lock(mu_);
  units_.at(unit)->instrument = instrument ? instrument : &units_.at(unit)->script;
}

void PortDriver::SetBus(BusAnswers* bus) { answers_.store(bus ? bus : &bus_, std::memory_order_release); }

void PortDriver::ScriptIoctl(ULONG code, std::vector<NTSTATUS> statuses) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& script = ioctlScript_[code];
  script.insert(script.end(), statuses.begin(), statuses.end());
}

void PortDriver::ScriptIoctlCompletion(std::vector<Completion> completions) {
  std::lock_guard<std::mutex> lock(mu_);
  ioctlCompletions_.insert(ioctlCompletions_.end(), completions.begin(), completions.end());
}

void PortDriver::ScriptScsiCompletion(std::vector<Completion> completions) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Completion how : completions) scsiCompletions_.push_back(how);
}

NTSTATUS PortDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql = KeGetCurrentIrql();
  auto* extension = (Extension*)device->DeviceExtension;
  PortDriver* port = extension->port;
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_SCSI) return port->DispatchScsi(extension->unit, irp, irql);
  if (major == IRP_MJ_DEVICE_CONTROL) return port->DispatchIoctl(extension->unit, irp, irql);
  return port->DispatchOther(extension->unit, irp, irql);
}

}  // namespace sim
