// Pool: tagged blocks, with what each caller left behind.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host_ddk.h"

namespace host {

// Pool tags are written as text, like the platform's multi-character literals.
constexpr ULONG Tag(const char (&text)[5]) {
  return (ULONG)(UCHAR)text[0] | ((ULONG)(UCHAR)text[1] << 8) | ((ULONG)(UCHAR)text[2] << 16) |
         ((ULONG)(UCHAR)text[3] << 24);
}
inline constexpr ULONG kUntaggedPoolTag = Tag("None");  // ExAllocatePool's tag
inline constexpr ULONG kStringPoolTag = Tag("Ustr");    // Rtl string buffers
inline constexpr ULONG kSystemBufferTag = Tag("IoSb");  // the I/O manager's buffered copies
// The largest single pool block the stand-in gives, as a real pool runs out.
inline constexpr size_t kLargestPoolBlock = size_t(64) << 20;

struct PoolBlock {
  POOL_TYPE type;
  ULONG tag;
  size_t size;
  const void* caller;   // return address of the allocating call
  uint64_t serial;
};

class Pool {
 public:
  // The kernel's own allocations (system buffers, string buffers) come
  // through here too, so that what a driver leaves behind shows by tag.
  void* Allocate(POOL_TYPE type, size_t size, ULONG tag, const char* routine, const void* caller,
                 bool injectable);
  void Free(void* block, std::optional<ULONG> tag, const char* routine);
  const PoolBlock* Find(const void* block) const;
  // The live block that holds [address, address + length), if any.
  const PoolBlock* Containing(const void* address, size_t length, const void** start = nullptr) const;
  size_t Count(ULONG tag) const;
  size_t Count() const { return live_.size(); }
  // Blocks ever allocated with the tag, freed or not.
  uint64_t Allocations(ULONG tag) const {
    auto it = allocations_.find(tag);
    return it == allocations_.end() ? 0 : it->second;
  }
  std::vector<std::string> Audit() const;
  ~Pool();

 private:
  std::map<const void*, PoolBlock> live_;
  std::deque<std::pair<void*, size_t>> quarantine_;
  std::set<const void*> quarantined_;
  uint64_t serial_ = 0;
  std::map<ULONG, uint64_t> allocations_;
};

}  // namespace host
