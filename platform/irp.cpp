// The kernel's Io, Iof and Po calls on requests: allocation and freeing,
// completion routines, the call down the stack and completion up it, with
// the platform's completion-routine rules and the verifier's checks on both.
#include <string>

#include "call_frames.h"
#include "io_internal.h"
#include "world.h"

namespace host {

namespace {

// Counts one more of a request's sends or completions. Only the world lock's
// holder writes these counters, so no read-modify-write is needed.
void Count(std::atomic<uint64_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// ------------------------------------------------------------ IofCallDriver's steps

// Checks before the send, under the world lock: the request is live and
// free to go down, the target is a live device, and there is a location to
// go to with a major function the target can have. Returns the record.
IrpRecord& CheckRequestAndTarget(World& world, PDEVICE_OBJECT device, PIRP irp) {
  IrpRecord* record = world.irps.Find(irp);
  if (record == nullptr) NotLive(world, irp, "IofCallDriver", rule::kFreedIrpTouched);
  if (device == nullptr || !world.objects.IsLive(device)) Violation(rule::kCallToBadDevice, "IofCallDriver", device);
  if (record->queuedBelow) Violation(rule::kQueuedBelow, "IofCallDriver", irp);
  if (irp->CancelRoutine != nullptr) Violation(rule::kCancelRoutineSet, "IofCallDriver", irp);
  if (irp->CurrentLocation <= 1) Violation(rule::kNoStackLocation, "IofCallDriver", irp);
  if ((irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    Violation(rule::kBadArgument, "IofCallDriver", irp, "major function out of range");
  }
  return *record;
}

// Checks before the send of what the request may be sent at this IRQL, and
// of what its first sender (one with no location of its own) must have set.
void CheckSender(const IrpRecord& record, PIRP irp, KIRQL irql) {
  PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
  UCHAR major = next->MajorFunction;
  if (irql > PASSIVE_LEVEL &&
      (major == IRP_MJ_PNP || major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP)) {
    Violation(rule::kPassiveRequestAtDispatch, "IofCallDriver", irp, "major " + std::to_string(major));
  }
  bool firstSend = irp->CurrentLocation == irp->StackCount + 1;
  if (record.kind == IrpKind::Threaded && firstSend && irql >= APC_LEVEL) {
    Violation(rule::kThreadedAtApc, "IofCallDriver", irp);
  }
  if (record.kind == IrpKind::Allocated && firstSend && next->CompletionRoutine == nullptr) {
    Violation(rule::kAllocatedIrpNoRoutine, "IofCallDriver", irp);
  }
  // A driver's own request has no location of the driver's: nothing holds
  // the driver while the routine runs, and a routine that ends the last
  // thing keeping the device (a pending-I/O count) may still be running
  // when the driver is unloaded.
  if (record.byDriver && firstSend && next->CompletionRoutine != nullptr &&
      next->CompletionRoutine != UnloadSafeCompletion) {
    Violation(rule::kUnloadUnsafeCompletion, "IofCallDriver", irp, "use IoSetCompletionRoutineEx");
  }
}

// Checks before the send of a driver passing down a request it holds: it
// set the next location up afresh, and sends it to the device below its own.
void CheckHandedOn(World& world, PDEVICE_OBJECT device, PIRP irp) {
  if (irp->CurrentLocation > irp->StackCount) return;
  PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
  PIO_STACK_LOCATION next = current - 1;
  if (next->Control & SL_PENDING_RETURNED) Violation(rule::kControlNotCleared, "IofCallDriver", irp);
  if (next->CompletionRoutine != nullptr && next->CompletionRoutine == current->CompletionRoutine &&
      next->Context == current->Context) {
    Violation(rule::kRoutineCopiedDown, "IofCallDriver", irp);
  }
  DeviceRecord* upper = world.objects.Device(current->DeviceObject);
  if (upper != nullptr && upper->attachedTo != nullptr && upper->attachedTo != device) {
    Report(rule::kSkipsAttachedDevice, "IofCallDriver", irp);
  }
}

// The frame of the dispatch routine passing the request down: it runs in
// the caller's location, or, when it skipped its own, in the location it
// hands on. That frame sees the request passed down.
CallFrame* SenderPassesDown(PIRP irp, uint64_t serial) {
  int caller = irp->CurrentLocation;
  CallFrame* sender = caller <= irp->StackCount ? FrameOf(irp, serial, caller, true) : nullptr;
  if (sender == nullptr) sender = FrameOf(irp, serial, caller - 1, true);
  if (sender != nullptr) sender->passedDown = true;
  return sender;
}

// A request of IoBuildDeviceIoControlRequest's on its first send: its
// record, held for the check after the dispatch routine returns.
std::shared_ptr<IrpRecord> BuiltRequestSentFirst(World& world, const IrpRecord& record, PIRP irp) {
  bool firstSend = irp->CurrentLocation == irp->StackCount + 1;
  return record.kind == IrpKind::Threaded && firstSend ? world.irps.Lookup(irp) : nullptr;
}

// Moves the request down one location, to Device, and counts the send.
// Returns the dispatch routine for the location's major function.
PDRIVER_DISPATCH MoveDown(PDEVICE_OBJECT device, PIRP irp, IrpRecord& record) {
  PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
  irp->CurrentLocation = (CHAR)(irp->CurrentLocation - 1);
  irp->Tail.Overlay.CurrentStackLocation = next;
  next->DeviceObject = device;
  Count(record.sends);
  return device->DriverObject->MajorFunction[next->MajorFunction];
}

// Checks after the dispatch routine returns, of what it did with the
// request: the IRQL it left at, pending marked and returned together, the
// request not dropped, and the status it completed with returned.
void CheckAfterDispatch(PDEVICE_OBJECT device, PIRP irp, KIRQL irql, const CallFrame& frame, NTSTATUS returned) {
  if (KeGetCurrentIrql() != irql) {
    Violation(rule::kIrqlChanged, "dispatch routine", device,
              "entered at " + std::to_string(irql) + ", returned at " + std::to_string(KeGetCurrentIrql()));
  }
  bool lowersStatus = frame.passedDown && returned == frame.lowerReturned;
  if (returned == STATUS_PENDING && !frame.marked && !lowersStatus) {
    Report(rule::kPendingNotMarked, "dispatch routine", irp);
  }
  if (frame.marked && returned != STATUS_PENDING) {
    Report(rule::kMarkedNotPending, "dispatch routine", irp, "returned " + Hex((unsigned)returned));
  }
  if (returned != STATUS_PENDING && !frame.marked && !frame.passedDown && !frame.completedPast) {
    Violation(rule::kRequestDropped, "dispatch routine", irp);
  }
  if (returned != STATUS_PENDING && !frame.marked && frame.completedHere && returned != frame.completedStatus) {
    Violation(rule::kStatusMismatch, "dispatch routine", irp,
              "completed with " + Hex((unsigned)frame.completedStatus) + ", returned " + Hex((unsigned)returned));
  }
}

// Checks after the dispatch routine returns STATUS_PENDING for a request
// built by IoBuildDeviceIoControlRequest: its event must not be signalled
// before the request completes, or the caller's wait ends too early.
void CheckEventNotSignalled(World& world, const IrpRecord& threaded, NTSTATUS returned) {
  if (returned != STATUS_PENDING || threaded.finished || threaded.userEvent == nullptr) return;
  std::lock_guard<WorldLock> lock(world.mu);
  if (!threaded.finished && world.events.Read(threaded.userEvent) != 0) {
    Violation(rule::kEventAlreadySignalled, "IofCallDriver", threaded.userEvent,
              "a wait on it would end before the request completes");
  }
}

// ------------------------------------------------------------ IofCompleteRequest's steps

// One completion walk of a request up its stack.
struct Walk {
  PIRP irp;
  IrpRecord* record;     // outlives the walk (see IofCompleteRequest)
  uint64_t serial;
  uint64_t send;         // the send this walk completes
  uint64_t completion;   // this walk's count among the request's completions
  int at;                // the location the walk has reached
  int top;
};

// Checks at the top of the completion, under the world lock: the request is
// live, not held queued below, not already at the top, with a final status
// and no cancel routine. Returns the record.
IrpRecord& CheckCompletion(World& world, PIRP irp) {
  IrpRecord* record = world.irps.Find(irp);
  if (record == nullptr) NotLive(world, irp, "IofCompleteRequest", rule::kCompletedTwice);
  if (record->queuedBelow) Violation(rule::kQueuedBelow, "IofCompleteRequest", irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (status == STATUS_PENDING || status == (NTSTATUS)0xFFFFFFFF) {
    Violation(rule::kCompletedWithBadStatus, "IofCompleteRequest", irp);
  }
  if (irp->CancelRoutine != nullptr) Violation(rule::kCancelRoutineSet, "IofCompleteRequest", irp);
  if (irp->CurrentLocation > irp->StackCount) {
    Violation(rule::kCompletedTwice, "IofCompleteRequest", irp, "the request is already at the top");
  }
  return *record;
}

// The dispatch routine completing the request in its own location sees it
// completed, with the status it completed with.
void NoteCompletedHere(const Walk& walk) {
  if (CallFrame* here = FrameOf(walk.irp, walk.serial, walk.at, true)) {
    here->completedHere = true;
    here->completedStatus = walk.irp->IoStatus.Status;
  }
}

bool Invokes(PIRP irp, PIO_COMPLETION_ROUTINE routine, UCHAR control) {
  NTSTATUS status = irp->IoStatus.Status;
  return routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
}

// Checks after each completion routine that lets the walk go on: nobody
// sent the request down again or completed it meanwhile, the routine did
// not free it, and it passed PendingReturned up to the location above.
void CheckAfterCompletionRoutine(const Walk& walk, bool pending, const IO_STACK_LOCATION* above) {
  PIRP irp = walk.irp;
  if (walk.record->sends.load(std::memory_order_acquire) != walk.send) {
    Violation(rule::kResentButContinued, "IofCompleteRequest", irp);
  }
  if (walk.record->completions.load(std::memory_order_acquire) != walk.completion) {
    Violation(rule::kCompletedTwice, "IofCompleteRequest", irp,
              "it was completed again while its completion routine ran, and the routine let the first "
              "completion go on");
  }
  if (walk.record->freed) Violation(rule::kFreedIrpTouched, "IofCompleteRequest", irp, "a completion routine freed it");
  if (pending && walk.at <= walk.top && !(above->Control & SL_PENDING_RETURNED)) {
    Report(rule::kPendingReturnedIgnored, "completion routine", irp);
  }
}

// One step of the walk: the location below is done with and cleared, the
// request moves up to the next, and the location's completion routine runs
// if it asked to for this outcome. False when the routine took the request
// back (STATUS_MORE_PROCESSING_REQUIRED).
bool CompleteLocation(World& world, Walk& walk) {
  PIRP irp = walk.irp;
  PIO_STACK_LOCATION lower = irp->Tail.Overlay.CurrentStackLocation;
  bool pending = (lower->Control & SL_PENDING_RETURNED) != 0;
  PIO_COMPLETION_ROUTINE routine = lower->CompletionRoutine;
  PVOID context = lower->Context;
  UCHAR control = lower->Control;
  lower->CompletionRoutine = nullptr;
  lower->Context = nullptr;
  lower->Control = 0;
  MarkCompletedPast(irp, walk.serial, walk.at);
  ++walk.at;
  irp->CurrentLocation = (CHAR)walk.at;
  irp->Tail.Overlay.CurrentStackLocation = lower + 1;
  irp->PendingReturned = pending;
  if (!Invokes(irp, routine, control)) {
    if (pending && walk.at <= walk.top) (lower + 1)->Control |= SL_PENDING_RETURNED;
    return true;
  }
  PDEVICE_OBJECT device = walk.at <= walk.top ? (lower + 1)->DeviceObject : nullptr;
  KIRQL irql = KeGetCurrentIrql();
  HostSchedulePoint("completion routine");
  EnterCompletion(irp);
  NTSTATUS result = routine(device, irp, context);
  LeaveCompletion();
  world.watches.Check("completion routine");
  if (KeGetCurrentIrql() != irql) Violation(rule::kIrqlChanged, "completion routine", irp);
  // The routine has taken the request back, handed it on, sent it down
  // again or freed it, and whoever has it now may have completed it
  // already: hands off.
  if (result == STATUS_MORE_PROCESSING_REQUIRED) return false;
  CheckAfterCompletionRoutine(walk, pending, lower + 1);
  return true;
}

// The walk reached the top: the I/O manager's work for the request's kind,
// then its memory is freed. Under the world lock.
void FinishAtTop(World& world, PIRP irp, IrpRecord& record) {
  record.finished.store(true, std::memory_order_release);
  record.finalStatus = irp->IoStatus.Status;
  switch (record.kind) {
    case IrpKind::Allocated:
      Violation(rule::kAllocatedIrpAtTop, "IofCompleteRequest", irp);
    case IrpKind::Threaded:
      FinishThreaded(world, irp, record);
      break;
    case IrpKind::Manager:
      if (record.onComplete) record.onComplete(irp);
      break;
  }
  world.irps.Release(irp);
}

}  // namespace

// Runs the routine IoSetCompletionRoutineEx was given, then lets its driver
// go: the routine may free the request, so nothing of it is touched after.
NTSTATUS UnloadSafeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  SafeCompletion hold = *(SafeCompletion*)Context;
  World& world = World::Current();
  world.pool.Free(Context, kCompletionHoldTag, "IoSetCompletionRoutineEx");
  NTSTATUS result = hold.routine(DeviceObject, Irp, hold.context);
  std::lock_guard<WorldLock> lock(world.mu);
  if (--world.completionHolds[hold.driver] == 0) world.completionHolds.erase(hold.driver);
  return result;
}

void CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace host

using host::IrpRecord;
using host::Violation;
using host::World;
namespace rule = host::rule;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  host::RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp");
  return World::Current().irps.Allocate(StackSize, host::IrpKind::Allocated, true);
}

VOID IoFreeIrp(PIRP Irp) {
  host::RequireIrql(DISPATCH_LEVEL, "IoFreeIrp", Irp);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  IrpRecord* record = world.irps.Find(Irp);
  if (record == nullptr) host::NotLive(world, Irp, "IoFreeIrp", rule::kFreedIrpTouched);
  if (record->kind != host::IrpKind::Allocated) Violation(rule::kFreeThreadedIrp, "IoFreeIrp", Irp);
  if (record->queuedBelow) Violation(rule::kFreeIrpInUse, "IoFreeIrp", Irp, "a lower driver holds it queued");
  world.irps.Release(Irp);
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel) {
  host::RequireIrql(DISPATCH_LEVEL, "IoSetCompletionRoutineEx", Irp);
  World& world = World::Current();
  host::SafeCompletion* hold;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    if (!world.objects.IsLive(DeviceObject)) {
      Violation(rule::kBadArgument, "IoSetCompletionRoutineEx", DeviceObject, "not a live device");
    }
    if (world.faults.Check(host::Fault::CompletionRoutineEx)) return STATUS_INSUFFICIENT_RESOURCES;
  }
  hold = (host::SafeCompletion*)world.pool.Allocate(NonPagedPoolNx, sizeof(host::SafeCompletion),
                                                    host::kCompletionHoldTag, "IoSetCompletionRoutineEx",
                                                    __builtin_return_address(0), false);
  hold->routine = CompletionRoutine;
  hold->context = Context;
  hold->driver = DeviceObject->DriverObject;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    ++world.completionHolds[hold->driver];
  }
  IoSetCompletionRoutine(Irp, host::UnloadSafeCompletion, hold, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
  return STATUS_SUCCESS;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  HostSchedulePoint("IofCallDriver");
  World& world = World::Current();
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) Violation(rule::kCallAboveDispatch, "IofCallDriver", Irp);

  // One trip through the world lock: check the request and the target, and
  // move the request down one location.
  std::unique_lock<host::WorldLock> lock(world.mu);
  IrpRecord& record = host::CheckRequestAndTarget(world, DeviceObject, Irp);
  host::CheckSender(record, Irp, irql);
  host::CheckHandedOn(world, DeviceObject, Irp);
  uint64_t serial = record.serial;
  host::CallFrame* sender = host::SenderPassesDown(Irp, serial);
  std::shared_ptr<IrpRecord> threaded = host::BuiltRequestSentFirst(world, record, Irp);
  int level = Irp->CurrentLocation - 1;
  PDRIVER_DISPATCH dispatch = host::MoveDown(DeviceObject, Irp, record);
  lock.unlock();

  host::CallFrame frame{Irp, serial, level, host::CompletionsNested()};
  host::EnterCall(frame, Irp);
  NTSTATUS returned = dispatch(DeviceObject, Irp);
  host::LeaveCall(frame);
  world.watches.Check("dispatch routine");
  host::CheckAfterDispatch(DeviceObject, Irp, irql, frame, returned);
  if (threaded) host::CheckEventNotSignalled(world, *threaded, returned);
  if (sender != nullptr) sender->lowerReturned = returned;
  return returned;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  HostSchedulePoint("IofCompleteRequest");
  World& world = World::Current();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) Violation(rule::kCompletedAboveDispatch, "IofCompleteRequest", Irp);
  std::unique_lock<host::WorldLock> lock(world.mu);
  IrpRecord& record = host::CheckCompletion(world, Irp);
  uint64_t send = record.sends.load(std::memory_order_relaxed);
  host::Count(record.completions);
  host::Walk walk{Irp, &record, record.serial, send, record.completions.load(std::memory_order_relaxed),
                  Irp->CurrentLocation, Irp->StackCount};
  // The record must outlive the walk, which may free the request. A request
  // of the arena keeps its record until the ring comes round to its page
  // again, thousands of requests later; one with a mapping of its own is
  // held here.
  std::shared_ptr<IrpRecord> held = record.arenaPage < 0 ? world.irps.Lookup(Irp) : nullptr;
  lock.unlock();

  host::NoteCompletedHere(walk);
  while (walk.at <= walk.top) {
    if (!host::CompleteLocation(world, walk)) return;
  }
  lock.lock();
  host::FinishAtTop(world, Irp, record);
  lock.unlock();
  world.NotifyProgress();
}

VOID HostCheckNextLocation(PIRP Irp, const char* Routine) {
  if (Irp->CurrentLocation <= 1) Violation(rule::kNoStackLocation, Routine, Irp);
}

VOID HostCheckSkip(PIRP Irp) {
  if (Irp->CurrentLocation > Irp->StackCount) {
    Violation(rule::kBadArgument, "IoSkipCurrentIrpStackLocation", Irp, "skipped past the top location");
  }
}

VOID HostMarkIrpPending(PIRP Irp) {
  World& world = World::Current();
  IrpRecord& record = world.irps.Require(Irp, "IoMarkIrpPending");
  int at = Irp->CurrentLocation;
  if (at > Irp->StackCount) Violation(rule::kMarkedPastTop, "IoMarkIrpPending", Irp);
  if (host::CallFrame* frame = host::FrameOf(Irp, record.serial, at, true)) frame->marked = true;
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  host::RequireIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp", Irp);
  IrpRecord& record = World::Current().irps.Require(Irp, "PoStartNextPowerIrp");
  if (Irp->Tail.Overlay.CurrentStackLocation->MajorFunction != IRP_MJ_POWER) {
    Violation(rule::kBadArgument, "PoStartNextPowerIrp", Irp, "not a power request");
  }
  record.powerStarts.fetch_add(1);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (DeviceObject != nullptr && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
    host::RequireIrql(PASSIVE_LEVEL, "PoCallDriver", Irp);
  }
  return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
