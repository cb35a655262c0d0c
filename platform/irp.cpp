// Requests: allocation, the call down the stack, and completion up it, with
// the platform's completion-routine rules and the verifier's checks on
// both. Every request has a record that outlives its memory for a while, so
// the checks after a dispatch routine returns never read a freed request,
// and a freed request's pages are made inaccessible.
#include <sys/mman.h>

#include <cstring>

#include "guard_pages.h"
#include "world.h"

namespace host {

namespace {

// The location past the top is filled with this; SL_PENDING_RETURNED (0x01)
// is clear in it, so IoMarkIrpPending past the top changes it.
constexpr uint8_t kGuardFill = 0xA4;
constexpr size_t kFreedKept = 2048;
constexpr CSHORT kIrpType = 6;

PIO_STACK_LOCATION Location(PIRP irp, int index) { return (PIO_STACK_LOCATION)(irp + 1) + index; }

size_t IrpBytes(int stackCount) { return sizeof(IRP) + (size_t)(stackCount + 1) * sizeof(IO_STACK_LOCATION); }

bool GuardIntact(PIRP irp) {
  const uint8_t* guard = (const uint8_t*)Location(irp, irp->StackCount);
  for (size_t i = 0; i < sizeof(IO_STACK_LOCATION); ++i) {
    if (guard[i] != kGuardFill) return false;
  }
  return true;
}

// Stops for a request that is not live: freed, or never one.
[[noreturn]] void NotLive(World& world, PIRP irp, const char* routine, const char* freedRule) {
  if (world.irps.Lookup(irp)) Violation(freedRule, routine, irp, "the request was already freed");
  Violation(rule::kNotAnIrp, routine, irp);
}

}  // namespace

PIRP Irps::Allocate(CCHAR stackSize, IrpKind kind, bool injectable) {
  World& world = World::Current();
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  if (stackSize < 1) Violation(rule::kBadArgument, "IoAllocateIrp", nullptr, "StackSize " + std::to_string(stackSize));
  if (injectable && world.faults.Check(Fault::IrpAllocation)) return nullptr;
  size_t bytes = (IrpBytes(stackSize) + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  PIRP irp = (PIRP)memory;
  std::memset(Location(irp, stackSize), kGuardFill, sizeof(IO_STACK_LOCATION));
  irp->Type = kIrpType;
  irp->Size = (USHORT)(IrpBytes(stackSize) - sizeof(IO_STACK_LOCATION));
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = Location(irp, stackSize);
  auto record = std::make_shared<IrpRecord>();
  record->irp = irp;
  record->kind = kind;
  record->serial = ++serial_;
  record->mapBytes = bytes;
  size_t levels = (size_t)stackSize + 2;
  record->pendingMarked.assign(levels, 0);
  record->passedDown.assign(levels, 0);
  record->completedPast.assign(levels, 0);
  record->completedHere.assign(levels, 0);
  record->completedStatus.assign(levels, 0);
  record->lowerReturned.assign(levels, 0);
  live_[irp] = record;
  return irp;
}

IrpRecord* Irps::Find(PIRP irp) {
  auto it = live_.find(irp);
  return it == live_.end() ? nullptr : it->second.get();
}

std::shared_ptr<IrpRecord> Irps::Lookup(PIRP irp) {
  auto it = live_.find(irp);
  if (it != live_.end()) return it->second;
  for (auto freed = freed_.rbegin(); freed != freed_.rend(); ++freed) {
    if ((*freed)->irp == irp) return *freed;
  }
  return nullptr;
}

void Irps::Release(PIRP irp) {
  auto it = live_.find(irp);
  std::shared_ptr<IrpRecord> record = it->second;
  live_.erase(it);
  if (!GuardIntact(irp)) {
    Violation(rule::kMarkedPastTop, "IoFreeIrp", irp, "the location past the top was written");
  }
  record->freed = true;
  mprotect(irp, record->mapBytes, PROT_NONE);
  record->onComplete = nullptr;
  record->guardSlot = RememberFreedRange((uintptr_t)irp, record->mapBytes);
  freed_.push_back(record);
  if (freed_.size() > kFreedKept) {
    std::shared_ptr<IrpRecord> oldest = freed_.front();
    freed_.pop_front();
    ForgetFreedRange(oldest->guardSlot);
    munmap(oldest->irp, oldest->mapBytes);
  }
}

size_t Irps::InFlight() const { return live_.size(); }

std::vector<std::string> Irps::Audit() const {
  std::vector<std::string> left;
  for (const auto& [irp, record] : live_) {
    const char* kind = record->kind == IrpKind::Allocated ? "allocated" : record->kind == IrpKind::Threaded ? "threaded" : "I/O manager's";
    left.push_back(std::string("request: ") + kind + " IRP " + Hex(irp) + " still in flight" +
                   (record->queuedBelow ? " (queued at the port driver)" : ""));
  }
  return left;
}

void Irps::SetQueued(PIRP irp, bool queued) {
  World& world = World::Current();
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  IrpRecord* record = Find(irp);
  if (record == nullptr) NotLive(world, irp, "SetQueued", rule::kFreedIrpTouched);
  record->queuedBelow = queued;
}

Irps::~Irps() {
  for (auto& [irp, record] : live_) munmap(irp, record->mapBytes);
  for (auto& record : freed_) {
    ForgetFreedRange(record->guardSlot);
    munmap(record->irp, record->mapBytes);
  }
}

// The I/O manager's work at the top of a request it built for a driver:
// unlock and free the MDLs, copy buffered output back, free the system
// buffer, and (unless the request failed at once) write the caller's status
// block and set its event.
static void FinishThreaded(World& world, PIRP irp, IrpRecord& record) {
  NTSTATUS status = irp->IoStatus.Status;
  ReleaseMdls(irp);
  if (record.copyBack && record.outputBuffer != nullptr) {
    CopyBufferedOutput(irp, record.systemBuffer, record.outputBuffer, record.outputLength);
  }
  if (record.systemBuffer != nullptr) {
    world.pool.Free(record.systemBuffer, kSystemBufferTag, "IofCompleteRequest");
    record.systemBuffer = nullptr;
  }
  if (!(NT_ERROR(status) && !irp->PendingReturned)) {
    if (record.userIosb != nullptr) *record.userIosb = irp->IoStatus;
    if (record.userEvent != nullptr) world.events.Set(record.userEvent);
  }
}

void ReleaseMdls(PIRP irp) {
  World& world = World::Current();
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    world.mdls.Free(mdl, "IofCompleteRequest");
    mdl = next;
  }
  irp->MdlAddress = nullptr;
}

void CopyBufferedOutput(PIRP irp, const void* systemBuffer, void* destination, ULONG outputLength) {
  if (NT_ERROR(irp->IoStatus.Status)) return;
  ULONG_PTR count = irp->IoStatus.Information;
  if (count > outputLength) {
    Report(rule::kBufferedOverrun, "IofCompleteRequest", irp,
           std::to_string(count) + " bytes for a buffer of " + std::to_string(outputLength));
    count = outputLength;
  }
  if (count != 0) std::memcpy(destination, systemBuffer, count);
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
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  IrpRecord* record = world.irps.Find(Irp);
  if (record == nullptr) host::NotLive(world, Irp, "IoFreeIrp", rule::kFreedIrpTouched);
  if (record->kind != host::IrpKind::Allocated) Violation(rule::kFreeThreadedIrp, "IoFreeIrp", Irp);
  if (record->queuedBelow) Violation(rule::kFreeIrpInUse, "IoFreeIrp", Irp, "a lower driver holds it queued");
  world.irps.Release(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  World& world = World::Current();
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) Violation(rule::kCallAboveDispatch, "IofCallDriver", Irp);

  std::unique_lock<std::recursive_mutex> lock(world.mu);
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
  if (record->kind == host::IrpKind::Threaded && caller == top + 1 && irql >= APC_LEVEL) {
    Violation(rule::kThreadedAtApc, "IofCallDriver", Irp);
  }
  if (record->kind == host::IrpKind::Allocated && caller == top + 1 && next->CompletionRoutine == nullptr) {
    Violation(rule::kAllocatedIrpNoRoutine, "IofCallDriver", Irp);
  }
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
    record->passedDown[caller] = 1;
  }

  int level = caller - 1;
  Irp->CurrentLocation = (CHAR)level;
  Irp->Tail.Overlay.CurrentStackLocation = next;
  next->DeviceObject = DeviceObject;
  record->pendingMarked[level] = 0;
  record->passedDown[level] = 0;
  record->completedPast[level] = 0;
  record->completedHere[level] = 0;
  std::shared_ptr<IrpRecord> keep = world.irps.Lookup(Irp);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  lock.unlock();

  NTSTATUS returned = dispatch(DeviceObject, Irp);

  if (KeGetCurrentIrql() != irql) {
    Violation(rule::kIrqlChanged, "dispatch routine", DeviceObject,
              "entered at " + std::to_string(irql) + ", returned at " + std::to_string(KeGetCurrentIrql()));
  }
  lock.lock();
  bool marked = keep->pendingMarked[level] != 0;
  bool lowersStatus = keep->passedDown[level] && returned == keep->lowerReturned[level];
  if (returned == STATUS_PENDING && !marked && !lowersStatus) {
    host::Report(rule::kPendingNotMarked, "dispatch routine", Irp);
  }
  if (marked && returned != STATUS_PENDING) {
    host::Report(rule::kMarkedNotPending, "dispatch routine", Irp, "returned " + host::Hex((unsigned)returned));
  }
  if (returned != STATUS_PENDING && !marked && !keep->passedDown[level] && !keep->completedPast[level]) {
    Violation(rule::kRequestDropped, "dispatch routine", Irp);
  }
  if (returned != STATUS_PENDING && !marked && keep->completedHere[level] && returned != keep->completedStatus[level]) {
    Violation(rule::kStatusMismatch, "dispatch routine", Irp,
              "completed with " + host::Hex((unsigned)keep->completedStatus[level]) + ", returned " +
                  host::Hex((unsigned)returned));
  }
  if (keep->kind == host::IrpKind::Threaded && caller == top + 1 && returned == STATUS_PENDING && !keep->finished &&
      keep->userEvent != nullptr && world.events.Read(keep->userEvent) != 0) {
    Violation(rule::kEventAlreadySignalled, "IofCallDriver", keep->userEvent,
              "a wait on it would end before the request completes");
  }
  if (caller <= top) keep->lowerReturned[caller] = returned;
  return returned;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  World& world = World::Current();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) Violation(rule::kCompletedAboveDispatch, "IofCompleteRequest", Irp);
  std::unique_lock<std::recursive_mutex> lock(world.mu);
  IrpRecord* record = world.irps.Find(Irp);
  if (record == nullptr) host::NotLive(world, Irp, "IofCompleteRequest", rule::kCompletedTwice);
  if (record->completing) Violation(rule::kCompletedTwice, "IofCompleteRequest", Irp, "its completion is under way");
  if (record->queuedBelow) Violation(rule::kQueuedBelow, "IofCompleteRequest", Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  if (status == STATUS_PENDING || status == (NTSTATUS)0xFFFFFFFF) {
    Violation(rule::kCompletedWithBadStatus, "IofCompleteRequest", Irp);
  }
  if (Irp->CancelRoutine != nullptr) Violation(rule::kCancelRoutineSet, "IofCompleteRequest", Irp);
  int top = Irp->StackCount;
  int at = Irp->CurrentLocation;
  if (at > top) Violation(rule::kCompletedTwice, "IofCompleteRequest", Irp, "the request is already at the top");
  std::shared_ptr<IrpRecord> keep = world.irps.Lookup(Irp);
  keep->completing = true;
  keep->completedHere[at] = 1;
  keep->completedStatus[at] = status;

  while (at <= top) {
    PIO_STACK_LOCATION lower = Irp->Tail.Overlay.CurrentStackLocation;
    bool pending = (lower->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = lower->CompletionRoutine;
    PVOID context = lower->Context;
    UCHAR control = lower->Control;
    lower->CompletionRoutine = nullptr;
    lower->Context = nullptr;
    lower->Control = 0;
    keep->completedPast[at] = 1;
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
      lock.unlock();
      NTSTATUS result = routine(device, Irp, context);
      if (KeGetCurrentIrql() != irql) Violation(rule::kIrqlChanged, "completion routine", Irp);
      lock.lock();
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine has taken the request back (or freed it): hands off.
        keep->completing = false;
        return;
      }
      if (keep->freed) Violation(rule::kFreedIrpTouched, "IofCompleteRequest", Irp, "a completion routine freed it");
      if (pending && at <= top && !((lower + 1)->Control & SL_PENDING_RETURNED)) {
        host::Report(rule::kPendingReturnedIgnored, "completion routine", Irp);
      }
    } else if (pending && at <= top) {
      (lower + 1)->Control |= SL_PENDING_RETURNED;
    }
  }

  keep->completing = false;
  keep->finished = true;
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

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  host::RequireIrql(APC_LEVEL, "IoBuildDeviceIoControlRequest");
  World& world = World::Current();
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  if (DeviceObject == nullptr || !world.objects.IsLive(DeviceObject)) {
    Violation(rule::kCallToBadDevice, "IoBuildDeviceIoControlRequest", DeviceObject);
  }
  if (world.faults.Check(host::Fault::BuildDeviceIoControl)) return nullptr;
  PIRP irp = world.irps.Allocate(DeviceObject->StackSize, host::IrpKind::Threaded, false);
  if (irp == nullptr) return nullptr;
  IrpRecord* record = world.irps.Find(irp);
  irp->RequestorMode = KernelMode;
  // The caller's status block is written at completion only; until then it
  // holds a poison that reads as success, so a caller that reads it too
  // early (or after a failure completed at once) goes visibly wrong.
  if (IoStatusBlock != nullptr) {
    IoStatusBlock->Status = host::kStatusBlockPoison;
    IoStatusBlock->Information = 0x5A5A5A5A;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  record->userIosb = IoStatusBlock;
  record->userEvent = Event;
  PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length != 0) {
        void* buffer = world.pool.Allocate(NonPagedPool, length, host::kSystemBufferTag,
                                           "IoBuildDeviceIoControlRequest", __builtin_return_address(0), false);
        if (InputBuffer != nullptr && InputBufferLength != 0) std::memcpy(buffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        record->systemBuffer = buffer;
      }
      irp->UserBuffer = OutputBuffer;
      record->outputBuffer = OutputBuffer;
      record->outputLength = OutputBufferLength;
      record->copyBack = OutputBufferLength != 0;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
      if (InputBufferLength != 0) {
        void* buffer = world.pool.Allocate(NonPagedPool, InputBufferLength, host::kSystemBufferTag,
                                           "IoBuildDeviceIoControlRequest", __builtin_return_address(0), false);
        std::memcpy(buffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        record->systemBuffer = buffer;
      }
      if (OutputBuffer != nullptr && OutputBufferLength != 0) {
        PMDL mdl = world.mdls.Create(OutputBuffer, OutputBufferLength, true);
        LOCK_OPERATION operation =
            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
        try {
          MmProbeAndLockPages(mdl, KernelMode, operation);
        } catch (const HostRaisedStatus&) {
          Violation(rule::kBadArgument, "IoBuildDeviceIoControlRequest", OutputBuffer, "output buffer not accessible");
        }
        irp->MdlAddress = mdl;
      }
      break;
    }
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  return irp;
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
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  IrpRecord* record = world.irps.Find(Irp);
  if (record == nullptr) host::NotLive(world, Irp, "IoMarkIrpPending", rule::kFreedIrpTouched);
  int at = Irp->CurrentLocation;
  if (at > Irp->StackCount) Violation(rule::kMarkedPastTop, "IoMarkIrpPending", Irp);
  record->pendingMarked[at] = 1;
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  host::RequireIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp", Irp);
  World& world = World::Current();
  std::lock_guard<std::recursive_mutex> lock(world.mu);
  if (world.irps.Find(Irp) == nullptr) host::NotLive(world, Irp, "PoStartNextPowerIrp", rule::kFreedIrpTouched);
  if (Irp->Tail.Overlay.CurrentStackLocation->MajorFunction != IRP_MJ_POWER) {
    Violation(rule::kBadArgument, "PoStartNextPowerIrp", Irp, "not a power request");
  }
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (DeviceObject != nullptr && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
    host::RequireIrql(PASSIVE_LEVEL, "PoCallDriver", Irp);
  }
  return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
