#include "port_driver.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr const char* kWho = "simulated port driver";

std::string UnitText(int unit) { return std::to_string(unit); }

PSCSI_REQUEST_BLOCK SrbOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb; }

bool Succeeded(UCHAR srbStatus) { return (srbStatus & 0x3F) == SRB_STATUS_SUCCESS; }

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

// ---------------------------------------------------------------- queues and completion

bool PortDriver::PendLocked(const Job& job) {
  if (job.how == Completion::Immediate) return false;
  IoMarkIrpPending(job.irp);
  world_.irps.SetQueued(job.irp, true);
  QueueLocked(job);
  return true;
}

void PortDriver::QueueLocked(const Job& job) {
  if (job.how == Completion::Threaded) {
    // A chunk sent from a completion on one of the threads, with nothing
    // else waiting, stays with that thread: it takes it as soon as the
    // completion returns, as a processor goes on with the next chunk of the
    // request it is completing, instead of another thread taking it over
    // while this one unwinds.
    if (t_worker.port == this && threaded_.empty() && !handoff_[t_worker.index]) {
      handoff_[t_worker.index] = job;
      return;
    }
    threaded_.push_back(job);
    threadedWaiting_.fetch_add(1, std::memory_order_release);
    if (workers_.empty() && !stopping_) {
      int threads = std::max(1, config_.completionThreads);
      handoff_.assign(threads, std::nullopt);
      for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { Worker(i); });
    }
    // A thread that is looking will find it (it looks again under the lock
    // before it sleeps); waking a sleeper as well would cost a system call.
    if (spinners_.load(std::memory_order_acquire) == 0) threadedCv_.notify_one();
  } else {
    pumped_.push_back(job);
    pumpedWaiting_.fetch_add(1, std::memory_order_release);
  }
}

void PortDriver::Complete(const Job& job, const Start& start) {
  if (job.scsi) {
    Carry(job, start, true);
    return;
  }
  world_.irps.SetQueued(job.irp, false);
  CompleteNow(job);
}

NTSTATUS PortDriver::CompleteNow(const Job& job) {
  if (IoGetCurrentIrpStackLocation(job.irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    AnswerIoctl(job);
  } else {
    AnswerOther(job);
  }
  NTSTATUS status = job.irp->IoStatus.Status;
  IofCompleteRequest(job.irp, IO_NO_INCREMENT);
  return status;
}

void PortDriver::Worker(int index) {
  t_worker = {this, index};
  for (;;) {
    Job job;
    Start start;
    bool delayed = config_.threadedDelay.count() > 0;
    {
      std::unique_lock<std::mutex> lock(mu_);
      std::optional<Job>& mine = handoff_[index];
      auto ready = [this, &mine] { return stopping_ || (!holdThreaded_ && (mine || !threaded_.empty())); };
      if (!ready()) {
        // Hardware answers at once, so look again for a little while before
        // sleeping: the next chunk a completion sends, or the next request an
        // application sends after the last one completed, should not wait
        // for a thread to wake up. One idle thread looking is enough; more
        // would only take processors from the thread moving data.
        if (spinners_.fetch_add(1, std::memory_order_acq_rel) == 0) {
          lock.unlock();
          host::SpinUntil([this] { return threadedWaiting_.load(std::memory_order_acquire) != 0; });
          lock.lock();
        }
        spinners_.fetch_sub(1, std::memory_order_acq_rel);
        threadedCv_.wait(lock, ready);
      }
      if (stopping_) return;
      if (mine) {
        job = *mine;
        mine.reset();
      } else {
        job = threaded_.pop_front();
        threadedWaiting_.fetch_sub(1, std::memory_order_relaxed);
      }
      if (job.scsi && !delayed) start = StartLocked(job, true);
    }
    if (delayed) {
      std::this_thread::sleep_for(config_.threadedDelay);
      if (job.scsi) {
        std::lock_guard<std::mutex> lock(mu_);
        start = StartLocked(job, true);
      }
    }
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    Complete(job, start);
  }
}

void PortDriver::HoldThreaded(bool hold) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    holdThreaded_ = hold;
  }
  threadedCv_.notify_all();
}

bool PortDriver::Pump() {
  Job job;
  Start start;
  // A waiter drives completions in a loop while threads complete the rest:
  // it must not take the lock (and make the completing thread wake it) just
  // to find nothing held.
  if (pumpedWaiting_.load(std::memory_order_acquire) == 0) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (pumped_.empty()) return false;
    job = pumped_.pop_front();
    pumpedWaiting_.fetch_sub(1, std::memory_order_relaxed);
    if (job.scsi) start = StartLocked(job, true);
  }
  host::IrqlScope dispatch(DISPATCH_LEVEL);
  Complete(job, start);
  return true;
}

size_t PortDriver::PumpAll() {
  size_t count = 0;
  while (Pump()) ++count;
  return count;
}

size_t PortDriver::Queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t handedOff = std::count_if(handoff_.begin(), handoff_.end(), [](const auto& job) { return job.has_value(); });
  return pumped_.size() + threaded_.size() + handedOff;
}

// ---------------------------------------------------------------- SCSI

NTSTATUS PortDriver::DispatchScsi(int unit, PIRP irp, KIRQL irql) {
  PSCSI_REQUEST_BLOCK srb = SrbOf(irp);
  if (srb == nullptr) host::Violation(host::rule::kPortContract, kWho, irp, "IRP_MJ_SCSI without an SRB");
  if (srb->Length != sizeof(SCSI_REQUEST_BLOCK)) {
    host::Violation(host::rule::kPortContract, kWho, srb, "Length " + std::to_string(srb->Length));
  }
  if (srb->OriginalRequest != irp) host::Violation(host::rule::kPortContract, kWho, srb, "OriginalRequest is not the IRP");
  if (srb->PathId != 0 || srb->TargetId != 0 || srb->Lun != 0) {
    host::Violation(host::rule::kPortContract, kWho, srb, "PathId, TargetId and Lun must stay 0");
  }
  bool execute = srb->Function == SRB_FUNCTION_EXECUTE_SCSI;
  bool release = srb->Function == SRB_FUNCTION_RELEASE_QUEUE;
  if (execute) {
    if (srb->CdbLength < 1 || srb->CdbLength > 16) {
      host::Violation(host::rule::kPortContract, kWho, srb, "CdbLength " + std::to_string(srb->CdbLength));
    }
    if (srb->DataTransferLength != 0) {
      if (!(srb->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT))) {
        host::Violation(host::rule::kPortContract, kWho, srb, "data without a direction");
      }
      if (irp->MdlAddress == nullptr) host::Violation(host::rule::kPortContract, kWho, srb, "data without an MDL");
    }
    if (srb->SenseInfoBufferLength != 0 && srb->SenseInfoBuffer == nullptr) {
      host::Violation(host::rule::kPortContract, kWho, srb, "sense length without a sense buffer");
    }
  }

  SentSrb sent;
  sent.srb = *srb;
  sent.cdb = CdbBytes(srb->Cdb, srb->CdbLength);
  sent.irp = irp;
  sent.unit = unit;
  sent.irql = irql;
  sent.arrivedAt = std::chrono::steady_clock::now();
  if (irp->MdlAddress != nullptr) {
    sent.dataOffset = (uintptr_t)srb->DataBuffer - (uintptr_t)MmGetMdlVirtualAddress(irp->MdlAddress);
  }
  bool known = execute || release;
  if (!known) {
    sent.completed = true;
    sent.completedSrbStatus = SRB_STATUS_INVALID_REQUEST;
  }

  std::unique_lock<std::mutex> lock(mu_);
  sent.sequence = srbCount_++;
  executeCount_ += execute;
  releases_ += release;
  if (srbs_.size() < srbRecords_) {
    srbs_.push_back(sent);
  } else {
    srbs_[sent.sequence % srbRecords_] = sent;
  }
  if (!known) {
    lock.unlock();
    srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  Job job{irp, sent.sequence, unit, config_.scsi, true};
  if (!scsiCompletions_.empty()) job.how = scsiCompletions_.pop_front();
  if (job.how != Completion::Immediate) {
    // Marked before a pump or a completion thread can see it.
    IoMarkIrpPending(irp);
    world_.irps.SetQueued(irp, true);
    QueueLocked(job);
    return STATUS_PENDING;
  }
  Start start = StartLocked(job, false);
  lock.unlock();
  NTSTATUS status = STATUS_PENDING;
  Carry(job, start, false, &status);
  return status;
}

PortDriver::Start PortDriver::StartLocked(const Job& job, bool queued) {
  Unit& unit = *units_[job.unit];
  PSCSI_REQUEST_BLOCK srb = SrbOf(job.irp);
  Start start;
  if (srb->Function == SRB_FUNCTION_RELEASE_QUEUE) {
    unit.frozen = false;
    start.turn = Turn::Release;
    start.released = unit.heldByFreeze.size();
  } else if (unit.unplugged) {
    start.turn = Turn::Unplugged;
  } else if (unit.frozen && !(srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE)) {
    // Marked before it is visible to a release on another thread.
    if (!queued) {
      IoMarkIrpPending(job.irp);
      world_.irps.SetQueued(job.irp, true);
    }
    unit.heldByFreeze.push_back(job);
    start.turn = Turn::Held;
  } else {
    start.instrument = unit.instrument;
  }
  return start;
}

bool PortDriver::Carry(const Job& job, const Start& start, bool queued, NTSTATUS* status) {
  if (start.turn == Turn::Held) return false;
  if (queued) world_.irps.SetQueued(job.irp, false);
  if (start.turn == Turn::Release) {
    PSCSI_REQUEST_BLOCK srb = SrbOf(job.irp);
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    job.irp->IoStatus.Status = STATUS_SUCCESS;
    job.irp->IoStatus.Information = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      RecordCompletionLocked(job.record, SRB_STATUS_SUCCESS, 0);
    }
    // What the frozen queue held goes on as if it had just arrived.
    Reissue(job.unit, start.released);
  } else {
    ExecuteScsi(job, start.turn == Turn::Run ? start.instrument : nullptr);
  }
  if (status != nullptr) *status = job.irp->IoStatus.Status;
  IofCompleteRequest(job.irp, IO_NO_INCREMENT);
  return true;
}

void PortDriver::Reissue(int unitIndex, size_t count) {
  // Only the SRBs held when the release started: one that fails again
  // freezes the queue and is held anew behind them.
  for (size_t i = 0; i < count; ++i) {
    Job job;
    Start start;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Fifo<Job>& held = units_[unitIndex]->heldByFreeze;
      if (held.empty()) return;
      job = held.pop_front();
      if (job.how != Completion::Immediate) {
        QueueLocked(job);
        continue;
      }
      start = StartLocked(job, true);
    }
    Carry(job, start, true);
  }
}

void PortDriver::ExecuteScsi(const Job& job, Instrument* instrument) {
  PIRP irp = job.irp;
  PSCSI_REQUEST_BLOCK srb = SrbOf(irp);
  UCHAR status;
  ULONG moved = 0;
  if (instrument == nullptr) {
    // The target no longer answers selection: no data, no status, no sense.
    status = (UCHAR)(config_.unpluggedSrbStatus & 0x3F);
    srb->ScsiStatus = SCSISTAT_GOOD;
    srb->SenseInfoBufferLength = 0;
  } else {
    ScsiCommand command;
    command.cdb = CdbBytes(srb->Cdb, srb->CdbLength);
    command.srbFlags = srb->SrbFlags;
    command.length = srb->DataTransferLength;
    std::span<uint8_t> data;
    if (srb->DataTransferLength != 0) {
      uint8_t* bytes = world_.mdls.Reach(irp->MdlAddress, srb->DataBuffer, srb->DataTransferLength,
                                         (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0, kWho);
      data = {bytes, srb->DataTransferLength};
    }
    ScsiOutcome outcome = instrument->Execute(command, data);

    status = (UCHAR)(outcome.srbStatus & 0x3F);
    moved = std::min<ULONG>(outcome.bytes.value_or(0), srb->DataTransferLength);
    srb->ScsiStatus = outcome.scsiStatus;
    UCHAR senseLength = 0;
    if (!outcome.sense.empty() && !(srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) && srb->SenseInfoBuffer != nullptr &&
        srb->SenseInfoBufferLength != 0) {
      senseLength = (UCHAR)std::min<size_t>(srb->SenseInfoBufferLength, outcome.sense.size());
      // The sense buffer is a system address: the driver's pool or a mapped MDL.
      std::memcpy(srb->SenseInfoBuffer, outcome.sense.data(), senseLength);
      status |= SRB_STATUS_AUTOSENSE_VALID;
    }
    srb->SenseInfoBufferLength = outcome.senseLength.value_or(senseLength);
  }
  srb->DataTransferLength = moved;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A unit that vanished meanwhile has no queue to freeze.
    Unit& unit = *units_[job.unit];
    bool freezes = instrument != nullptr && !unit.unplugged && !(srb->SrbFlags & SRB_FLAGS_NO_QUEUE_FREEZE);
    if (!Succeeded(status) && freezes) {
      unit.frozen = true;
      status |= SRB_STATUS_QUEUE_FROZEN;
    }
    RecordCompletionLocked(job.record, status, moved);
  }
  srb->SrbStatus = status;
  irp->IoStatus.Status = Succeeded(status) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
  irp->IoStatus.Information = moved;
}

void PortDriver::RecordCompletionLocked(uint64_t sequence, UCHAR srbStatus, ULONG bytes) {
  size_t index = sequence % srbRecords_;
  if (index >= srbs_.size() || srbs_[index].sequence != sequence) return;  // overwritten since
  SentSrb& sent = srbs_[index];
  sent.completed = true;
  sent.completedSrbStatus = srbStatus;
  sent.completedBytes = bytes;
  sent.completedAt = std::chrono::steady_clock::now();
}

void PortDriver::Unplug(int unitIndex) {
  host::RequireIrql(DISPATCH_LEVEL, "PortDriver::Unplug");
  {
    std::lock_guard<std::mutex> lock(mu_);
    Unit& unit = *units_.at(unitIndex);
    unit.unplugged = true;
    unit.frozen = false;
  }
  // Nothing is held from now on; what was held fails as the port's
  // completion would fail it.
  host::IrqlScope dispatch(DISPATCH_LEVEL);
  for (;;) {
    Job job;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Fifo<Job>& held = units_[unitIndex]->heldByFreeze;
      if (held.empty()) return;
      job = held.pop_front();
    }
    Start start;
    start.turn = Turn::Unplugged;
    Carry(job, start, true);
  }
}

bool PortDriver::Unplugged(int unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_.at(unit)->unplugged;
}

// ---------------------------------------------------------------- device control

NTSTATUS PortDriver::DispatchIoctl(int unit, PIRP irp, KIRQL irql) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ReceivedRequest request;
  request.major = location->MajorFunction;
  request.ioControlCode = location->Parameters.DeviceIoControl.IoControlCode;
  request.inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  request.outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  request.presetStatus = irp->IoStatus.Status;
  request.file = location->FileObject;
  request.irql = irql;
  request.unit = unit;
  if (METHOD_FROM_CTL_CODE(request.ioControlCode) != METHOD_NEITHER && irp->AssociatedIrp.SystemBuffer != nullptr) {
    const uint8_t* input = (const uint8_t*)irp->AssociatedIrp.SystemBuffer;
    request.input.assign(input, input + request.inputLength);
  }
  Job job{irp, 0, unit, config_.ioctl, false};
  {
    std::lock_guard<std::mutex> lock(mu_);
    job.record = requests_.size();
    requests_.push_back(std::move(request));
    if (!ioctlCompletions_.empty()) {
      job.how = ioctlCompletions_.front();
      ioctlCompletions_.pop_front();
    }
    if (PendLocked(job)) return STATUS_PENDING;
  }
  return CompleteNow(job);
}

void PortDriver::AnswerIoctl(const Job& job) {
  PIRP irp = job.irp;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  bool unplugged;
  {
    std::lock_guard<std::mutex> lock(mu_);
    unplugged = units_[job.unit]->unplugged;
    auto script = ioctlScript_.find(code);
    if (!unplugged && script != ioctlScript_.end() && !script->second.empty()) {
      status = script->second.front();
      script->second.pop_front();
    }
  }
  if (unplugged) {
    status = config_.unpluggedStatus;
  } else if (!NT_SUCCESS(status)) {
    // a scripted failure
  } else if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
    auto* query = (const STORAGE_PROPERTY_QUERY*)buffer;
    if (inputLength < sizeof(STORAGE_PROPERTY_QUERY)) {
      status = STATUS_INVALID_PARAMETER;
    } else if (query->PropertyId != StorageAdapterProperty || query->QueryType != PropertyStandardQuery) {
      status = STATUS_NOT_SUPPORTED;
    } else if (outputLength < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      ULONG count = std::min(outputLength, config_.descriptorSize);
      std::vector<uint8_t> bytes(std::max<size_t>(count, sizeof(STORAGE_ADAPTER_DESCRIPTOR)), 0);
      STORAGE_ADAPTER_DESCRIPTOR descriptor{};
      descriptor.Version = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
      descriptor.Size = config_.descriptorSize;
      descriptor.MaximumTransferLength = config_.maximumTransferLength;
      descriptor.MaximumPhysicalPages = config_.maximumPhysicalPages;
      descriptor.AlignmentMask = 3;
      descriptor.CommandQueueing = TRUE;
      descriptor.AcceleratedTransfer = TRUE;
      descriptor.BusType = 1;  // SCSI
      descriptor.BusMajorVersion = 2;
      std::memcpy(bytes.data(), &descriptor, sizeof(descriptor));
      std::memcpy(buffer, bytes.data(), count);
      information = count;
    }
  } else if (code == IOCTL_SCSI_GET_ADDRESS) {
    if (outputLength < sizeof(SCSI_ADDRESS)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), config_.portNumber, config_.pathId, units_.at(job.unit)->targetId,
                           config_.lun};
      std::memcpy(buffer, &address, sizeof(address));
      information = sizeof(address);
    }
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  std::lock_guard<std::mutex> lock(mu_);
  requests_[job.record].status = status;
}

// ---------------------------------------------------------------- the bus driver's other requests

NTSTATUS PortDriver::DispatchOther(int unit, PIRP irp, KIRQL irql) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ReceivedRequest request;
  request.major = location->MajorFunction;
  request.minor = location->MinorFunction;
  request.presetStatus = irp->IoStatus.Status;
  request.file = location->FileObject;
  request.irql = irql;
  request.unit = unit;
  UCHAR major = location->MajorFunction;
  if ((major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) && location->FileObject != nullptr) {
    request.fsContext = location->FileObject->FsContext;
    request.fsContext2 = location->FileObject->FsContext2;
  }
  if (major == IRP_MJ_PNP && location->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
      location->Parameters.DeviceCapabilities.Capabilities != nullptr) {
    request.capabilities = *location->Parameters.DeviceCapabilities.Capabilities;
  }
  if (major == IRP_MJ_POWER) {
    request.powerStartsBefore = world_.irps.PowerStarts(irp);
    PoStartNextPowerIrp(irp);
  }
  Job job{irp, 0, unit, major == IRP_MJ_PNP ? config_.pnp : Completion::Immediate, false};
  {
    std::lock_guard<std::mutex> lock(mu_);
    job.record = requests_.size();
    requests_.push_back(std::move(request));
    if (PendLocked(job)) return STATUS_PENDING;
  }
  return CompleteNow(job);
}

void PortDriver::AnswerOther(const Job& job) {
  PIRP irp = job.irp;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  bool unplugged = Unplugged(job.unit);
  switch (location->MajorFunction) {
    case IRP_MJ_CREATE:
      status = unplugged ? config_.unpluggedStatus : config_.createStatus;
      irp->IoStatus.Information = 0;
      break;
    case IRP_MJ_CLOSE:
      status = config_.closeStatus;
      irp->IoStatus.Information = 0;
      break;
    case IRP_MJ_CLEANUP:
      status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      break;
    case IRP_MJ_POWER:
      status = config_.powerStatus;
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      break;  // a PDO without WMI leaves the request as it came
    case IRP_MJ_PNP: {
      UCHAR minor = location->MinorFunction;
      auto scripted = config_.pnpStatus.find(minor);
      switch (minor) {
        case IRP_MN_QUERY_CAPABILITIES: {
          PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
          if (capabilities != nullptr) {
            capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
              capabilities->DeviceState[state] = PowerDeviceD3;
            }
            capabilities->UINumber = (ULONG)units_.at(job.unit)->targetId;
            capabilities->Address = (ULONG)units_.at(job.unit)->targetId;
            if (config_.capabilityLatency) {
              capabilities->D1Latency = capabilities->D2Latency = capabilities->D3Latency = *config_.capabilityLatency;
            }
          }
          status = STATUS_SUCCESS;
          break;
        }
        case IRP_MN_START_DEVICE:
          // A device that is gone cannot start.
          status = unplugged ? config_.unpluggedStatus : STATUS_SUCCESS;
          break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          status = STATUS_SUCCESS;
          break;
        default:
          break;  // not handled: status as it came
      }
      if (scripted != config_.pnpStatus.end()) status = scripted->second;
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      break;
  }
  irp->IoStatus.Status = status;
  std::lock_guard<std::mutex> lock(mu_);
  requests_[job.record].status = status;
}

// ---------------------------------------------------------------- records

std::vector<SentSrb> PortDriver::Srbs() const {
  std::lock_guard<std::mutex> lock(mu_);
  // Until the records wrap, sequence S is at S; after, the oldest is where
  // the next one goes.
  size_t oldest = srbs_.size() < srbRecords_ ? 0 : srbCount_ % srbRecords_;
  std::vector<SentSrb> kept;
  kept.reserve(srbs_.size());
  for (size_t i = 0; i < srbs_.size(); ++i) kept.push_back(srbs_[(oldest + i) % srbs_.size()]);
  return kept;
}

std::vector<SentSrb> PortDriver::ExecuteSrbs() const {
  std::vector<SentSrb> execute;
  for (const auto& sent : Srbs()) {
    if (sent.srb.Function == SRB_FUNCTION_EXECUTE_SCSI) execute.push_back(sent);
  }
  return execute;
}

uint64_t PortDriver::SrbCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return srbCount_;
}

uint64_t PortDriver::ExecuteCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return executeCount_;
}

int PortDriver::Releases() const {
  std::lock_guard<std::mutex> lock(mu_);
  return releases_;
}

std::vector<ReceivedRequest> PortDriver::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<ReceivedRequest> PortDriver::Requests(UCHAR major) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ReceivedRequest> found;
  for (const auto& request : requests_) {
    if (request.major == major) found.push_back(request);
  }
  return found;
}

bool PortDriver::Frozen(int unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_.at(unit)->frozen;
}

size_t PortDriver::HeldByFreeze(int unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_.at(unit)->heldByFreeze.size();
}

}  // namespace sim
