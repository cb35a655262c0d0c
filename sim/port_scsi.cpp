// The simulated port driver's SRBs: checking and recording them, the
// per-unit queue that freezes on failure until a release, executing them on
// the instrument, and the unit that vanishes.
#include "port_driver.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr const char* kWho = "simulated port driver";

PSCSI_REQUEST_BLOCK SrbOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb; }

bool Succeeded(UCHAR srbStatus) { return (srbStatus & 0x3F) == SRB_STATUS_SUCCESS; }

}  // namespace

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
  SrbDecision decision = DecideSrbLocked(job, false);
  lock.unlock();
  NTSTATUS status = STATUS_PENDING;
  CompleteSrbUnlessHeld(job, decision, false, &status);
  return status;
}

PortDriver::SrbDecision PortDriver::DecideSrbLocked(const Job& job, bool queued) {
  Unit& unit = *units_[job.unit];
  PSCSI_REQUEST_BLOCK srb = SrbOf(job.irp);
  SrbDecision decision;
  if (srb->Function == SRB_FUNCTION_RELEASE_QUEUE) {
    unit.frozen = false;
    decision.action = SrbAction::Release;
    decision.released = unit.heldByFreeze.size();
  } else if (unit.unplugged) {
    decision.action = SrbAction::Unplugged;
  } else if (unit.frozen && !(srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE)) {
    // Marked before it is visible to a release on another thread.
    if (!queued) {
      IoMarkIrpPending(job.irp);
      world_.irps.SetQueued(job.irp, true);
    }
    unit.heldByFreeze.push_back(job);
    decision.action = SrbAction::Held;
  } else {
    decision.instrument = unit.instrument;
  }
  return decision;
}

bool PortDriver::CompleteSrbUnlessHeld(const Job& job, const SrbDecision& decision, bool queued, NTSTATUS* status) {
  if (decision.action == SrbAction::Held) return false;
  if (queued) world_.irps.SetQueued(job.irp, false);
  if (decision.action == SrbAction::Release) {
    PSCSI_REQUEST_BLOCK srb = SrbOf(job.irp);
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    job.irp->IoStatus.Status = STATUS_SUCCESS;
    job.irp->IoStatus.Information = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      RecordCompletionLocked(job.record, SRB_STATUS_SUCCESS, 0);
    }
    // What the frozen queue held goes on as if it had just arrived.
    Reissue(job.unit, decision.released);
  } else {
    ExecuteScsi(job, decision.action == SrbAction::Run ? decision.instrument : nullptr);
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
    SrbDecision decision;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Fifo<Job>& held = units_[unitIndex]->heldByFreeze;
      if (held.empty()) return;
      job = held.pop_front();
      if (job.how != Completion::Immediate) {
        QueueLocked(job);
        continue;
      }
      decision = DecideSrbLocked(job, true);
    }
    CompleteSrbUnlessHeld(job, decision, true);
  }
}

void PortDriver::ExecuteScsi(const Job& job, Instrument* instrument) {
  PIRP irp = job.irp;
  PSCSI_REQUEST_BLOCK srb = SrbOf(irp);
  UCHAR status;
  ULONG moved = 0;
  if (instrument == nullptr) {
    // The target no longer answers selection: no data, no status, no sense.
    status = (UCHAR)(answers_.load(std::memory_order_acquire)->UnpluggedSrbStatus() & 0x3F);
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
    RecordCompletionLocked(job.record, status, moved, srb->ScsiStatus);
  }
  srb->SrbStatus = status;
  irp->IoStatus.Status = Succeeded(status) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
  irp->IoStatus.Information = moved;
}

void PortDriver::RecordCompletionLocked(uint64_t sequence, UCHAR srbStatus, ULONG bytes, UCHAR scsiStatus) {
  size_t index = sequence % srbRecords_;
  if (index >= srbs_.size() || srbs_[index].sequence != sequence) return;  // overwritten since
  SentSrb& sent = srbs_[index];
  sent.completed = true;
  sent.completedSrbStatus = srbStatus;
  sent.completedBytes = bytes;
  sent.completedScsiStatus = scsiStatus;
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
    SrbDecision decision;
    decision.action = SrbAction::Unplugged;
    CompleteSrbUnlessHeld(job, decision, true);
  }
}

bool PortDriver::Unplugged(int unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_.at(unit)->unplugged;
}

}  // namespace sim
