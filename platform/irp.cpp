// Requests: allocation, the call down the stack, and completion up it, with
// the platform's completion-routine rules and the verifier's checks on
// both. Every request has a record that outlives its memory for a while, so
// the checks after a dispatch routine returns never read a freed request,
// and a freed request's pages are made inaccessible.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
// While the world is young (unit tests) every freed request page is made
// inaccessible at once; after that, in runs.
constexpr size_t kPromptlyProtected = 1024;

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

// ------------------------------------------------------------ call frames
// What one IofCallDriver call saw its dispatch routine do with the request,
// for the checks made after the routine returns. A frame lives on the
// calling thread's stack and is reached only from that thread, so a second
// send of the same request at the same location (a completion routine
// sending it down again from another processor) has a frame of its own and
// cannot disturb this one's.
struct CallFrame {
  PIRP irp;
  uint64_t serial;
  int level;            // the stack location the dispatch routine runs in
  int completionDepth;  // completion routines running on this thread when the call began
  bool marked = false;
  bool passedDown = false;
  bool completedPast = false;
  bool completedHere = false;
  NTSTATUS completedStatus = 0;
  NTSTATUS lowerReturned = 0;
  CallFrame* parent = nullptr;
};

thread_local CallFrame* t_frames = nullptr;
thread_local int t_calls = 0;        // IofCallDriver calls nested on this thread
thread_local int t_completions = 0;  // completion routines nested on this thread

// The innermost call of this thread that runs the request at Level. Direct:
// only when the caller is that call's dispatch routine itself, not a
// completion routine running beneath it.
CallFrame* FrameOf(PIRP irp, uint64_t serial, int level, bool direct) {
  for (CallFrame* frame = t_frames; frame != nullptr; frame = frame->parent) {
    if (frame->irp == irp && frame->serial == serial && frame->level == level) {
      return !direct || frame->completionDepth == t_completions ? frame : nullptr;
    }
  }
  return nullptr;
}

// A completion walk passed Level: every call of this thread that runs the
// request there (a driver that skipped its location shares it with the one
// below) sees its request completed.
void MarkCompletedPast(PIRP irp, uint64_t serial, int level) {
  for (CallFrame* frame = t_frames; frame != nullptr; frame = frame->parent) {
    if (frame->irp == irp && frame->serial == serial && frame->level == level) frame->completedPast = true;
  }
}

size_t StackInUse(int calls, int completions) {
  return KernelStack::kEntry + (size_t)calls * KernelStack::kCallFrame +
         (size_t)completions * KernelStack::kCompletionFrame;
}

// Charges one more frame to this thread's kernel stack; stops when the
// stack overflows.
void ChargeStack(const char* routine, PIRP irp) {
  size_t used = StackInUse(t_calls, t_completions);
  World& world = World::Current();
  size_t deepest = world.deepestKernelStack.load(std::memory_order_relaxed);
  while (used > deepest && !world.deepestKernelStack.compare_exchange_weak(deepest, used)) {
  }
  if (used > KernelStack::kBytes) {
    Violation(rule::kKernelStackOverflow, routine, irp,
              std::to_string(t_calls) + " nested driver calls and " + std::to_string(t_completions) +
                  " nested completion routines take about " + std::to_string(used) + " bytes of a " +
                  std::to_string(KernelStack::kBytes) + "-byte kernel stack");
  }
}

// Counts one more of a request's sends or completions. Only the world lock's
// holder writes these counters, so no read-modify-write is needed.
void Count(std::atomic<uint64_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

}  // namespace

size_t KernelStack::InUse() { return StackInUse(t_calls, t_completions); }
size_t KernelStack::Deepest() { return World::Current().deepestKernelStack.load(); }

FreshKernelStack::FreshKernelStack() : calls_(t_calls), completions_(t_completions) {
  saved_ = t_frames;
  t_frames = nullptr;
  t_calls = 0;
  t_completions = 0;
}

FreshKernelStack::~FreshKernelStack() {
  t_frames = (CallFrame*)saved_;
  t_calls = calls_;
  t_completions = completions_;
}

// ------------------------------------------------------------ the arena

IrpArena::IrpArena() : state_(kPages, Page::Closed), used_(kPages, 0), owners_(kPages), current_(new std::atomic<IrpRecord*>[kPages]) {
  void* region = mmap(nullptr, kPages * PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) {
    std::perror("request arena");
    std::abort();
  }
  base_ = (uint8_t*)region;
  for (size_t i = 0; i < kPages; ++i) current_[i].store(nullptr);
  SetRequestArena((uintptr_t)base_, kPages * PAGE_SIZE);
}

IrpArena::~IrpArena() {
  SetRequestArena(0, 0);
  munmap(base_, kPages * PAGE_SIZE);
}

int IrpArena::PageOf(const void* address) const {
  uintptr_t at = (uintptr_t)address;
  if (at < (uintptr_t)base_ || at >= (uintptr_t)base_ + kPages * PAGE_SIZE) return -1;
  return (int)((at - (uintptr_t)base_) / PAGE_SIZE);
}

void IrpArena::Protect(size_t first, size_t count, bool accessible) {
  mprotect(Address((int)first), count * PAGE_SIZE, accessible ? PROT_READ | PROT_WRITE : PROT_NONE);
  ++systemCalls_;
}

int IrpArena::Take() {
  for (size_t i = 0; i < kPages; ++i) {
    size_t page = (cursor_ + i) % kPages;
    if (state_[page] == Page::Live || state_[page] == Page::Staged) continue;
    if (state_[page] == Page::Closed) {
      // Open a run of closed pages at once: the ring hands them out in order.
      size_t run = 1;
      while (run < kRun && page + run < kPages && state_[page + run] == Page::Closed) ++run;
      Protect(page, run, true);
      for (size_t j = 0; j < run; ++j) state_[page + j] = Page::Ready;
    }
    state_[page] = Page::Live;
    cursor_ = (page + 1) % kPages;
    return (int)page;
  }
  return -1;
}

void IrpArena::Give(int page, size_t bytes) {
  uint64_t* words = (uint64_t*)Address(page);
  uint64_t poison = FreedRequestPoison();
  used_[page] = (uint16_t)((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  for (size_t i = 0; i < used_[page]; ++i) words[i] = poison;
  if (freed_++ < kPromptlyProtected) {
    Protect((size_t)page, 1, false);
    state_[page] = Page::Closed;
    return;
  }
  state_[page] = Page::Staged;
  staged_.push_back(page);
  if (staged_.size() >= kRun) Flush();
}

void IrpArena::Flush() {
  if (staged_.empty()) return;
  std::sort(staged_.begin(), staged_.end());
  uint64_t poison = FreedRequestPoison();
  for (int page : staged_) {
    const uint64_t* words = (const uint64_t*)Address(page);
    for (size_t i = 0; i < used_[page]; ++i) {
      if (words[i] != poison) {
        Violation(rule::kFreedIrpTouched, "IoFreeIrp", Address(page) + i * sizeof(uint64_t),
                  "the request was written after it was freed");
      }
    }
  }
  for (size_t i = 0; i < staged_.size();) {
    size_t run = 1;
    while (i + run < staged_.size() && staged_[i + run] == staged_[i] + (int)run) ++run;
    Protect((size_t)staged_[i], run, false);
    for (size_t j = 0; j < run; ++j) state_[staged_[i] + j] = Page::Closed;
    i += run;
  }
  staged_.clear();
}

// ------------------------------------------------------------ the table

PIRP Irps::Allocate(CCHAR stackSize, IrpKind kind, bool injectable) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (stackSize < 1) Violation(rule::kBadArgument, "IoAllocateIrp", nullptr, "StackSize " + std::to_string(stackSize));
  if (injectable && world.faults.Check(Fault::IrpAllocation)) return nullptr;
  size_t bytes = IrpBytes(stackSize);
  auto record = std::make_shared<IrpRecord>();
  int page = bytes <= PAGE_SIZE ? arena_.Take() : -1;
  void* memory;
  if (page >= 0) {
    memory = arena_.Address(page);
  } else {
    record->mapBytes = (bytes + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
    memory = mmap(nullptr, record->mapBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ++mappings_;
    if (memory == MAP_FAILED) return nullptr;
  }
  PIRP irp = (PIRP)memory;
  std::memset(irp, 0, bytes - sizeof(IO_STACK_LOCATION));
  std::memset(Location(irp, stackSize), kGuardFill, sizeof(IO_STACK_LOCATION));
  irp->Type = kIrpType;
  irp->Size = (USHORT)(bytes - sizeof(IO_STACK_LOCATION));
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
  irp->Tail.Overlay.CurrentStackLocation = Location(irp, stackSize);
  record->irp = irp;
  record->kind = kind;
  record->byDriver = kind == IrpKind::Allocated && (t_frames != nullptr || t_completions > 0);
  record->serial = ++serial_;
  record->arenaPage = page;
  if (page >= 0) {
    arena_.Owner(page) = record;
    arena_.SetCurrent(page, record.get());
  } else {
    live_[irp] = record;
  }
  ++inFlight_;
  return irp;
}

std::shared_ptr<IrpRecord> Irps::Lookup(PIRP irp) {
  int page = arena_.PageOf(irp);
  if (page >= 0) {
    const std::shared_ptr<IrpRecord>& owner = arena_.Owner(page);
    return owner && owner->irp == irp ? owner : nullptr;
  }
  auto it = live_.find(irp);
  if (it != live_.end()) return it->second;
  for (auto freed = freed_.rbegin(); freed != freed_.rend(); ++freed) {
    if ((*freed)->irp == irp) return *freed;
  }
  return nullptr;
}

IrpRecord* Irps::Find(PIRP irp) {
  int page = arena_.PageOf(irp);
  if (page >= 0) {
    IrpRecord* record = arena_.Current(page);
    return record != nullptr && record->irp == irp && !record->freed ? record : nullptr;
  }
  auto it = live_.find(irp);
  return it == live_.end() ? nullptr : it->second.get();
}

IrpRecord& Irps::Require(PIRP irp, const char* routine) {
  int page = arena_.PageOf(irp);
  if (page >= 0) {
    IrpRecord* record = arena_.Current(page);
    if (record != nullptr && record->irp == irp) {
      if (record->freed.load()) Violation(rule::kFreedIrpTouched, routine, irp, "the request was already freed");
      return *record;
    }
  }
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  IrpRecord* record = Find(irp);
  if (record == nullptr) NotLive(world, irp, routine, rule::kFreedIrpTouched);
  return *record;
}

void Irps::Release(PIRP irp) {
  std::shared_ptr<IrpRecord> record = Lookup(irp);
  if (!GuardIntact(irp)) {
    Violation(rule::kMarkedPastTop, "IoFreeIrp", irp, "the location past the top was written");
  }
  record->freed.store(true, std::memory_order_release);
  record->onComplete = nullptr;
  --inFlight_;
  if (record->arenaPage >= 0) {
    arena_.Give(record->arenaPage, IrpBytes(irp->StackCount));
    return;
  }
  live_.erase(irp);
  mprotect(irp, record->mapBytes, PROT_NONE);
  ++mappings_;
  record->guardSlot = RememberFreedRange((uintptr_t)irp, record->mapBytes);
  freed_.push_back(record);
  if (freed_.size() > kFreedKept) {
    std::shared_ptr<IrpRecord> oldest = freed_.front();
    freed_.pop_front();
    ForgetFreedRange(oldest->guardSlot);
    munmap(oldest->irp, oldest->mapBytes);
  }
}

void Irps::FlushFreed() { arena_.Flush(); }

std::vector<std::string> Irps::Audit() const {
  std::vector<std::string> left;
  auto describe = [&left](const IrpRecord& record) {
    const char* kind = record.kind == IrpKind::Allocated  ? "allocated"
                       : record.kind == IrpKind::Threaded ? "threaded"
                                                          : "I/O manager's";
    left.push_back(std::string("request: ") + kind + " IRP " + Hex(record.irp) + " still in flight" +
                   (record.queuedBelow ? " (queued at the port driver)" : ""));
  };
  for (size_t page = 0; page < IrpArena::kPages; ++page) {
    IrpRecord* record = arena_.Current((int)page);
    if (record != nullptr && !record->freed) describe(*record);
  }
  for (const auto& [irp, record] : live_) describe(*record);
  return left;
}

void Irps::SetQueued(PIRP irp, bool queued) {
  Require(irp, "SetQueued").queuedBelow.store(queued, std::memory_order_release);
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

  host::CallFrame frame{Irp, serial, level, host::t_completions};
  frame.parent = host::t_frames;
  host::t_frames = &frame;
  ++host::t_calls;
  host::ChargeStack("IofCallDriver", Irp);
  NTSTATUS returned = dispatch(DeviceObject, Irp);
  --host::t_calls;
  host::t_frames = frame.parent;
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
      ++host::t_completions;
      host::ChargeStack("IofCompleteRequest", Irp);
      NTSTATUS result = routine(device, Irp, context);
      --host::t_completions;
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

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  host::RequireIrql(APC_LEVEL, "IoBuildDeviceIoControlRequest");
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
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
