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
  World& world = World::Current();
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) Violation(rule::kCallAboveDispatch, "IofCallDriver", Irp);

  // One trip through the world lock: check the request and the target, and
  // move the request down one location.
  std::unique_lock<host::WorldLock> lock(world.mu);
  IrpRecord* record = world.irps.Find(Irp);
  if (record == nullptr) host::NotLive(world, Irp, "IofCallDriver", rule::kFreedIrpTouched);
  if (DeviceObject == nullptr || !world.objects.IsLive(DeviceObject)) {
    Violation(rule::kCallToBadDevice, "IofCallDriver", DeviceObject);
  }
  if (record->queuedBelow) Violation(rule::kQueuedBelow, "IofCallDriver", Irp);
  if (Irp->CancelRoutine != nullptr) Violation(rule::kCancelRoutineSet, "IofCallDriver", Irp);

  int caller = Irp->CurrentLocation;  // StackCount + 1 when the issuer has no location of its own
  int top = Irp->StackCount;
  if (caller <= 1) Violation(rule::kNoStackLocation, "IofCallDriver", Irp);
  PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
  UCHAR major = next->MajorFunction;
  if (major > IRP_MJ_MAXIMUM_FUNCTION) Violation(rule::kBadArgument, "IofCallDriver", Irp, "major function out of range");

  if (irql > PASSIVE_LEVEL &&
      (major == IRP_MJ_PNP || major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP)) {
    Violation(rule::kPassiveRequestAtDispatch, "IofCallDriver", Irp, "major " + std::to_string(major));
  }
  host::IrpKind kind = record->kind;
  if (kind == host::IrpKind::Threaded && caller == top + 1 && irql >= APC_LEVEL) {
    Violation(rule::kThreadedAtApc, "IofCallDriver", Irp);
  }
  if (kind == host::IrpKind::Allocated && caller == top + 1 && next->CompletionRoutine == nullptr) {
    Violation(rule::kAllocatedIrpNoRoutine, "IofCallDriver", Irp);
  }
  // A driver's own request has no location of the driver's: nothing holds
  // the driver while the routine runs, and a routine that ends the last
  // thing keeping the device (a pending-I/O count) may still be running
  // when the driver is unloaded.
  if (record->byDriver && caller == top + 1 && next->CompletionRoutine != nullptr &&
      next->CompletionRoutine != host::UnloadSafeCompletion) {
    Violation(rule::kUnloadUnsafeCompletion, "IofCallDriver", Irp, "use IoSetCompletionRoutineEx");
  }
  uint64_t serial = record->serial;
  host::CallFrame* callerFrame = nullptr;
  if (caller <= top) {
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    if (next->Control & SL_PENDING_RETURNED) Violation(rule::kControlNotCleared, "IofCallDriver", Irp);
    if (next->CompletionRoutine != nullptr && next->CompletionRoutine == current->CompletionRoutine &&
        next->Context == current->Context) {
      Violation(rule::kRoutineCopiedDown, "IofCallDriver", Irp);
    }
    host::DeviceRecord* upper = world.objects.Device(current->DeviceObject);
    if (upper != nullptr && upper->attachedTo != nullptr && upper->attachedTo != DeviceObject) {
      host::Report(rule::kSkipsAttachedDevice, "IofCallDriver", Irp);
    }
  }
  // The dispatch routine passing the request down runs in the caller's
  // location, or, when it skipped its own, in the location it hands on.
  if (caller <= top) callerFrame = host::FrameOf(Irp, serial, caller, true);
  if (callerFrame == nullptr) callerFrame = host::FrameOf(Irp, serial, caller - 1, true);
  if (callerFrame != nullptr) callerFrame->passedDown = true;
  std::shared_ptr<IrpRecord> threaded;
  if (kind == host::IrpKind::Threaded && caller == top + 1) threaded = world.irps.Lookup(Irp);

  int level = caller - 1;
  Irp->CurrentLocation = (CHAR)level;
  Irp->Tail.Overlay.CurrentStackLocation = next;
  next->DeviceObject = DeviceObject;
  host::Count(record->sends);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  lock.unlock();

  host::CallFrame frame{Irp, serial, level, host::CompletionsNested()};
  host::EnterCall(frame, Irp);
  NTSTATUS returned = dispatch(DeviceObject, Irp);
  host::LeaveCall(frame);
  world.watches.Check("dispatch routine");

  if (KeGetCurrentIrql() != irql) {
    Violation(rule::kIrqlChanged, "dispatch routine", DeviceObject,
              "entered at " + std::to_string(irql) + ", returned at " + std::to_string(KeGetCurrentIrql()));
  }
  bool lowersStatus = frame.passedDown && returned == frame.lowerReturned;
  if (returned == STATUS_PENDING && !frame.marked && !lowersStatus) {
    host::Report(rule::kPendingNotMarked, "dispatch routine", Irp);
  }
  if (frame.marked && returned != STATUS_PENDING) {
    host::Report(rule::kMarkedNotPending, "dispatch routine", Irp, "returned " + host::Hex((unsigned)returned));
  }
  if (returned != STATUS_PENDING && !frame.marked && !frame.passedDown && !frame.completedPast) {
    Violation(rule::kRequestDropped, "dispatch routine", Irp);
  }
  if (returned != STATUS_PENDING && !frame.marked && frame.completedHere && returned != frame.completedStatus) {
    Violation(rule::kStatusMismatch, "dispatch routine", Irp,
              "completed with " + host::Hex((unsigned)frame.completedStatus) + ", returned " +
                  host::Hex((unsigned)returned));
  }
  if (threaded && returned == STATUS_PENDING && !threaded->finished && threaded->userEvent != nullptr) {
    lock.lock();
    if (!threaded->finished && world.events.Read(threaded->userEvent) != 0) {
      Violation(rule::kEventAlreadySignalled, "IofCallDriver", threaded->userEvent,
                "a wait on it would end before the request completes");
    }
  }
  if (callerFrame != nullptr) callerFrame->lowerReturned = returned;
  return returned;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  World& world = World::Current();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) Violation(rule::kCompletedAboveDispatch, "IofCompleteRequest", Irp);
  std::unique_lock<host::WorldLock> lock(world.mu);
  IrpRecord* record = world.irps.Find(Irp);
  if (record == nullptr) host::NotLive(world, Irp, "IofCompleteRequest", rule::kCompletedTwice);
  uint64_t send = record->sends.load(std::memory_order_relaxed);
  if (record->queuedBelow) Violation(rule::kQueuedBelow, "IofCompleteRequest", Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  if (status == STATUS_PENDING || status == (NTSTATUS)0xFFFFFFFF) {
    Violation(rule::kCompletedWithBadStatus, "IofCompleteRequest", Irp);
  }
  if (Irp->CancelRoutine != nullptr) Violation(rule::kCancelRoutineSet, "IofCompleteRequest", Irp);
  int top = Irp->StackCount;
  int at = Irp->CurrentLocation;
  if (at > top) Violation(rule::kCompletedTwice, "IofCompleteRequest", Irp, "the request is already at the top");
  host::Count(record->completions);
  uint64_t completion = record->completions.load(std::memory_order_relaxed);
  // The record must outlive the walk, which may free the request. A request
  // of the arena keeps its record until the ring comes round to its page
  // again, thousands of requests later; one with a mapping of its own is
  // held here.
  std::shared_ptr<IrpRecord> held = record->arenaPage < 0 ? world.irps.Lookup(Irp) : nullptr;
  IrpRecord* keep = record;
  lock.unlock();

  uint64_t serial = keep->serial;
  if (host::CallFrame* here = host::FrameOf(Irp, serial, at, true)) {
    here->completedHere = true;
    here->completedStatus = status;
  }
  while (at <= top) {
    PIO_STACK_LOCATION lower = Irp->Tail.Overlay.CurrentStackLocation;
    bool pending = (lower->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = lower->CompletionRoutine;
    PVOID context = lower->Context;
    UCHAR control = lower->Control;
    lower->CompletionRoutine = nullptr;
    lower->Context = nullptr;
    lower->Control = 0;
    host::MarkCompletedPast(Irp, serial, at);
    ++at;
    Irp->CurrentLocation = (CHAR)at;
    Irp->Tail.Overlay.CurrentStackLocation = lower + 1;
    Irp->PendingReturned = pending;
    status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = at <= top ? (lower + 1)->DeviceObject : nullptr;
      KIRQL irql = KeGetCurrentIrql();
      host::EnterCompletion(Irp);
      NTSTATUS result = routine(device, Irp, context);
      host::LeaveCompletion();
      world.watches.Check("completion routine");
      if (KeGetCurrentIrql() != irql) Violation(rule::kIrqlChanged, "completion routine", Irp);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine has taken the request back, handed it on, sent it
        // down again or freed it, and whoever has it now may have completed
        // it already: hands off.
        return;
      }
      if (keep->sends.load(std::memory_order_acquire) != send) {
        Violation(rule::kResentButContinued, "IofCompleteRequest", Irp);
      }
      if (keep->completions.load(std::memory_order_acquire) != completion) {
        Violation(rule::kCompletedTwice, "IofCompleteRequest", Irp,
                  "it was completed again while its completion routine ran, and the routine let the first "
                  "completion go on");
      }
      if (keep->freed) Violation(rule::kFreedIrpTouched, "IofCompleteRequest", Irp, "a completion routine freed it");
      if (pending && at <= top && !((lower + 1)->Control & SL_PENDING_RETURNED)) {
        host::Report(rule::kPendingReturnedIgnored, "completion routine", Irp);
      }
    } else if (pending && at <= top) {
      (lower + 1)->Control |= SL_PENDING_RETURNED;
    }
  }

  lock.lock();
  keep->finished.store(true, std::memory_order_release);
  keep->finalStatus = Irp->IoStatus.Status;
  switch (keep->kind) {
    case host::IrpKind::Allocated:
      Violation(rule::kAllocatedIrpAtTop, "IofCompleteRequest", Irp);
    case host::IrpKind::Threaded:
      host::FinishThreaded(world, Irp, *keep);
      break;
    case host::IrpKind::Manager:
      if (keep->onComplete) keep->onComplete(Irp);
      break;
  }
  world.irps.Release(Irp);
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
