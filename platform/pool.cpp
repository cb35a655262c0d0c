// Pool: every block remembers its type, tag, size and allocating call site.
// Fresh blocks are filled with a pattern (the platform leaves them
// uninitialised); freed blocks are poisoned and held back for a while so
// that a second free is recognised as such.
#include <cstdlib>
#include <cstring>

#include "world.h"

namespace host {

namespace {
constexpr uint8_t kFreshFill = 0xC5;
constexpr uint8_t kFreedFill = 0xDF;
constexpr size_t kQuarantine = 1024;

bool IsNonPaged(POOL_TYPE type) { return (type & 1) == 0; }
}  // namespace

void* Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag, const char* routine, const void* caller,
                     bool injectable) {
  World& world = World::Current();
  if (type == NonPagedPoolMustSucceed || type == NonPagedPoolCacheAlignedMustS) {
    Violation(rule::kPoolMustSucceed, routine, nullptr, "tag " + TagText(tag));
  }
  if (tag == 0) {
    Violation(rule::kPoolTagZero, routine, nullptr);
  }
  // Code integrity (memory integrity) refuses a driver's executable
  // nonpaged memory: drivers ask for the Nx types. The I/O manager's own
  // buffers (not injectable) are the stand-in's affair.
  if (injectable && (type == NonPagedPool || type == NonPagedPoolCacheAligned)) {
    Violation(rule::kPoolExecutable, routine, nullptr,
              "type " + std::to_string(type) + ", tag " + TagText(tag) + "; use NonPagedPoolNx");
  }
  KIRQL irql = KeGetCurrentIrql();
  if ((IsNonPaged(type) && irql > DISPATCH_LEVEL) || (!IsNonPaged(type) && irql > APC_LEVEL)) {
    Violation(rule::kPoolIrql, routine, nullptr, "type " + std::to_string(type) + " at IRQL " + std::to_string(irql));
  }
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (size == 0) {
    Report(rule::kPoolZeroBytes, routine, nullptr, "tag " + TagText(tag));
  }
  if (injectable && world.faults.Check(Fault::PoolAllocation, tag, size)) {
    return nullptr;
  }
  if (size > kLargestPoolBlock) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  std::memset(block, kFreshFill, size);
  live_[block] = PoolBlock{type, tag, size, caller, ++serial_};
  ++allocations_[tag];
  return block;
}

void Pool::Free(void* block, std::optional<ULONG> tag, const char* routine) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  auto it = live_.find(block);
  if (it == live_.end()) {
    if (quarantined_.count(block)) Violation(rule::kPoolDoubleFree, routine, block);
    if (world.irps.Lookup((PIRP)block)) Violation(rule::kFreeThreadedIrp, routine, block, "ExFreePool on a request");
    Violation(rule::kPoolBadAddress, routine, block);
  }
  const PoolBlock& info = it->second;
  if (tag && *tag != info.tag) {
    Violation(rule::kPoolWrongTag, routine, block, "allocated as " + TagText(info.tag) + ", freed as " + TagText(*tag));
  }
  KIRQL irql = KeGetCurrentIrql();
  if ((IsNonPaged(info.type) && irql > DISPATCH_LEVEL) || (!IsNonPaged(info.type) && irql > APC_LEVEL)) {
    Violation(rule::kPoolIrql, routine, block, "freed at IRQL " + std::to_string(irql));
  }
  size_t size = info.size;
  live_.erase(it);
  world.events.Forget(block, size);
  std::memset(block, kFreedFill, size);
  quarantine_.emplace_back(block, size);
  quarantined_.insert(block);
  if (quarantine_.size() > kQuarantine) {
    auto [oldest, oldSize] = quarantine_.front();
    quarantine_.pop_front();
    quarantined_.erase(oldest);
    std::free(oldest);
  }
}

const PoolBlock* Pool::Find(const void* block) const {
  auto it = live_.find(block);
  return it == live_.end() ? nullptr : &it->second;
}

const PoolBlock* Pool::Containing(const void* address, size_t length, const void** start) const {
  auto it = live_.upper_bound(address);
  if (it == live_.begin()) return nullptr;
  --it;
  const char* base = (const char*)it->first;
  if ((const char*)address + length > base + it->second.size) return nullptr;
  if (start != nullptr) *start = base;
  return &it->second;
}

size_t Pool::Count(ULONG tag) const {
  size_t count = 0;
  for (const auto& [block, info] : live_) count += info.tag == tag;
  return count;
}

std::vector<std::string> Pool::Audit() const {
  std::vector<std::string> left;
  for (const auto& [block, info] : live_) {
    left.push_back("pool: " + std::to_string(info.size) + " bytes tagged " + TagText(info.tag) + " at " +
                   Hex(block) + ", allocated from " + Hex(info.caller));
  }
  return left;
}

Pool::~Pool() {
  for (auto& [block, info] : live_) std::free(const_cast<void*>(block));
  for (auto& [block, size] : quarantine_) std::free(block);
}

}  // namespace host

extern "C" {

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return host::World::Current().pool.Allocate(PoolType, NumberOfBytes, host::kUntaggedPoolTag, "ExAllocatePool",
                                              __builtin_return_address(0), true);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return host::World::Current().pool.Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag",
                                              __builtin_return_address(0), true);
}

VOID ExFreePool(PVOID P) { host::World::Current().pool.Free(P, std::nullopt, "ExFreePool"); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { host::World::Current().pool.Free(P, Tag, "ExFreePoolWithTag"); }

}  // extern "C"
