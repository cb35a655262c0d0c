// MDLs: creation, probe and lock, system mapping, unlock and free.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "world.h"

namespace host {

namespace {

size_t PagesSpanned(const void* base, size_t length) {
  return (BYTE_OFFSET(base) + length + PAGE_SIZE - 1) / PAGE_SIZE;
}

void Initialize(PMDL mdl, PVOID base, SIZE_T length) {
  size_t pages = PagesSpanned(base, length);
  mdl->Next = nullptr;
  mdl->Size = (CSHORT)(sizeof(MDL) + pages * sizeof(ULONG_PTR));
  mdl->MdlFlags = 0;
  mdl->Process = nullptr;
  mdl->MappedSystemVa = nullptr;
  mdl->StartVa = PAGE_ALIGN(base);
  mdl->ByteCount = (ULONG)length;
  mdl->ByteOffset = BYTE_OFFSET(base);
}

}  // namespace

PMDL Mdls::Create(PVOID base, SIZE_T length, bool internal) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (!internal && world.faults.Check(Fault::MdlCreation, 0, length)) return nullptr;
  size_t pages = PagesSpanned(base, length);
  PMDL mdl = (PMDL)std::calloc(1, sizeof(MDL) + pages * sizeof(ULONG_PTR));
  Initialize(mdl, base, length);
  MdlRecord record;
  // Any byte in user space makes it user memory, so that a range that only
  // starts or ends there fails its probe instead of passing as kernel memory.
  record.user = world.user.Overlaps(base, length == 0 ? 1 : length);
  record.kernelInternal = internal;
  if (!internal) ++madeByDrivers_;
  std::lock_guard<std::mutex> table(mu_);
  live_[mdl] = record;
  return mdl;
}

MdlRecord* Mdls::Find(PMDL mdl) {
  std::lock_guard<std::mutex> table(mu_);
  auto it = live_.find(mdl);
  return it == live_.end() ? nullptr : &it->second;
}

MdlRecord& Mdls::Require(PMDL mdl, const char* routine) {
  MdlRecord* record = Find(mdl);
  if (record == nullptr) Violation(rule::kMdlBad, routine, mdl);
  return *record;
}

void Mdls::Free(PMDL mdl, const char* routine) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  std::lock_guard<std::mutex> table(mu_);
  auto it = live_.find(mdl);
  if (it == live_.end()) Violation(rule::kMdlBad, routine, mdl, "not a live MDL (freed twice?)");
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA)) {
    Violation(rule::kMdlFreedLocked, routine, mdl);
  }
  live_.erase(it);
  std::free(mdl);
}

size_t Mdls::LockedCount() const {
  std::lock_guard<std::mutex> table(mu_);
  size_t count = 0;
  for (const auto& [mdl, record] : live_) count += (mdl->MdlFlags & MDL_PAGES_LOCKED) != 0;
  return count;
}

std::vector<std::string> Mdls::Audit() const {
  std::lock_guard<std::mutex> table(mu_);
  std::vector<std::string> left;
  for (const auto& [mdl, record] : live_) {
    std::string state = (mdl->MdlFlags & MDL_PAGES_LOCKED) ? "locked" : "unlocked";
    left.push_back("MDL: " + Hex(mdl) + " for " + std::to_string(mdl->ByteCount) + " bytes at " +
                   Hex(MmGetMdlVirtualAddress(mdl)) + " not freed (" + state + ")");
  }
  return left;
}

// Reached by the port on every chunk: only the MDL table's own lock, not
// the world's. The record's fields were set when the pages were locked,
// before the request went down.
uint8_t* Mdls::Reach(PMDL mdl, const void* address, size_t length, bool write, const char* who) {
  World& world = World::Current();
  MdlRecord* record = &Require(mdl, who);
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) Violation(rule::kPortContract, who, mdl, "data MDL is not locked");
  uintptr_t start = (uintptr_t)MmGetMdlVirtualAddress(mdl);
  uintptr_t at = (uintptr_t)address;
  if (at < start || at + length > start + mdl->ByteCount) {
    Violation(rule::kPortContract, who, mdl,
              "data " + Hex(address) + "+" + std::to_string(length) + " outside the MDL's " +
                  std::to_string(mdl->ByteCount) + " bytes at " + Hex((const void*)start));
  }
  if (write && record->operation == IoReadAccess) {
    Violation(rule::kPortContract, who, mdl, "data written into pages locked for reading");
  }
  if (record->user) return world.user.Backing(address);
  return (uint8_t*)address;
}

static PVOID MapLockedPages(PMDL mdl, KPROCESSOR_MODE accessMode, const char* routine, bool canFail) {
  World& world = World::Current();
  RequireIrql(DISPATCH_LEVEL, routine, mdl);
  std::lock_guard<WorldLock> lock(world.mu);
  MdlRecord* record = &world.mdls.Require(mdl, routine);
  if (accessMode != KernelMode) Violation(rule::kBadArgument, routine, mdl, "only KernelMode");
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) Violation(rule::kMdlMapUnlocked, routine, mdl);
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) Violation(rule::kMdlMapTwice, routine, mdl);
  if (world.faults.Check(Fault::MdlMapping, 0, mdl->ByteCount)) {
    if (!canFail) Violation(rule::kMappingFailedFatally, routine, mdl);
    return nullptr;
  }
  void* address = MmGetMdlVirtualAddress(mdl);
  if (record->user) {
    record->view = world.user.MapSystemView(address, mdl->ByteCount);
    record->viewBytes = mdl->ByteCount;
    mdl->MappedSystemVa = record->view;
  } else {
    mdl->MappedSystemVa = address;
  }
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

}  // namespace host

extern "C" {

PMDL MmCreateMdl(PMDL MemoryDescriptorList, PVOID Base, SIZE_T Length) {
  host::RequireIrql(DISPATCH_LEVEL, "MmCreateMdl");
  if (MemoryDescriptorList != nullptr) {
    host::Initialize(MemoryDescriptorList, Base, Length);
    return MemoryDescriptorList;
  }
  return host::World::Current().mdls.Create(Base, Length, false);
}

// Without a request to attach it to, the MDL stands alone, as MmCreateMdl's
// does; with one, it becomes the request's MdlAddress.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  (void)ChargeQuota;
  host::RequireIrql(DISPATCH_LEVEL, "IoAllocateMdl");
  if (Irp != nullptr && SecondaryBuffer) {
    host::Violation(host::rule::kBadArgument, "IoAllocateMdl", Irp, "secondary buffers are not stood in for");
  }
  PMDL mdl = host::World::Current().mdls.Create(VirtualAddress, Length, false);
  if (mdl != nullptr && Irp != nullptr) Irp->MdlAddress = mdl;
  return mdl;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  host::World& world = host::World::Current();
  PMDL mdl = MemoryDescriptorList;
  std::unique_lock<host::WorldLock> lock(world.mu);
  host::MdlRecord* record = &world.mdls.Require(mdl, "MmProbeAndLockPages");
  const CSHORT forbidden = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL;
  if (mdl->ByteCount == 0 || (mdl->MdlFlags & forbidden)) {
    host::Violation(host::rule::kMdlProbeFlags, "MmProbeAndLockPages", mdl,
                    "ByteCount " + std::to_string(mdl->ByteCount) + ", MdlFlags " + host::Hex((unsigned)mdl->MdlFlags));
  }
  void* address = MmGetMdlVirtualAddress(mdl);
  host::RequireIrql(record->user ? APC_LEVEL : DISPATCH_LEVEL, "MmProbeAndLockPages", mdl);
  host::Access needed = Operation == IoReadAccess ? host::Access::Read : host::Access::ReadWrite;
  if (record->user) {
    if (!world.user.Accessible(address, mdl->ByteCount, needed)) {
      lock.unlock();
      throw HostRaisedStatus{STATUS_ACCESS_VIOLATION};
    }
  } else if (AccessMode == UserMode) {
    // A user-mode caller may only name user memory.
    lock.unlock();
    throw HostRaisedStatus{STATUS_ACCESS_VIOLATION};
  }
  record->operation = Operation;
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return host::MapLockedPages(MemoryDescriptorList, AccessMode, "MmMapLockedPages",
                              (MemoryDescriptorList->MdlFlags & MDL_MAPPING_CAN_FAIL) != 0);
}

// The caching type and the priority change nothing in the stand-in but the
// failure's consequence: without BugCheckOnFailure a failed mapping gives
// none, whatever the MDL's flags.
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority) {
  const char* routine = "MmMapLockedPagesSpecifyCache";
  if (RequestedAddress != nullptr) {
    host::Violation(host::rule::kBadArgument, routine, MemoryDescriptorList, "a requested address is for user mode");
  }
  if (CacheType != MmNonCached && CacheType != MmCached) {
    host::Violation(host::rule::kBadArgument, routine, MemoryDescriptorList, "caching type");
  }
  ULONG priority = Priority & ~(ULONG)(MdlMappingNoExecute | 0x80000000u);
  if (priority != LowPagePriority && priority != NormalPagePriority && priority != HighPagePriority) {
    host::Violation(host::rule::kBadArgument, routine, MemoryDescriptorList, "priority " + std::to_string(priority));
  }
  bool canFail = !BugCheckOnFailure || (MemoryDescriptorList->MdlFlags & MDL_MAPPING_CAN_FAIL) != 0;
  return host::MapLockedPages(MemoryDescriptorList, AccessMode, routine, canFail);
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
  host::World& world = host::World::Current();
  PMDL mdl = MemoryDescriptorList;
  host::RequireIrql(DISPATCH_LEVEL, "MmUnlockPages", mdl);
  std::lock_guard<host::WorldLock> lock(world.mu);
  host::MdlRecord* record = &world.mdls.Require(mdl, "MmUnlockPages");
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) host::Violation(host::rule::kMdlUnlockUnlocked, "MmUnlockPages", mdl);
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    if (record->view != nullptr) {
      world.user.UnmapSystemView(record->view, record->viewBytes);
      record->view = nullptr;
    }
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  }
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

VOID IoFreeMdl(PMDL Mdl) {
  host::RequireIrql(DISPATCH_LEVEL, "IoFreeMdl", Mdl);
  host::World::Current().mdls.Free(Mdl, "IoFreeMdl");
}

}  // extern "C"
