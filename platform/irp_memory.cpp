// Request memory: the arena of pages requests of up to one page are carved
// from, and the table of live and recently freed requests. Every request has
// a record that outlives its memory for a while, so the checks after a
// dispatch routine returns never read a freed request, and a freed
// request's pages are made inaccessible.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "call_frames.h"
#include "guard_pages.h"
#include "io_internal.h"
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

}  // namespace

// Stops for a request that is not live: freed, or never one.
void NotLive(World& world, PIRP irp, const char* routine, const char* freedRule) {
  if (world.irps.Lookup(irp)) Violation(freedRule, routine, irp, "the request was already freed");
  Violation(rule::kNotAnIrp, routine, irp);
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
  record->byDriver = kind == IrpKind::Allocated && InsideDriverRoutine();
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

}  // namespace host
