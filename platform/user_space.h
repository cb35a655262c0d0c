// The simulated user address space.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <vector>

#include "host_ddk.h"

namespace host {

enum class Access : uint8_t { None = 0, Read = 1, ReadWrite = 3 };

// A simulated user address space. User addresses are reserved but never
// accessible from this process, so kernel code that touches one stops with
// a verifier line; the bytes live in a separate backing store, reached by
// the stand-in's I/O manager, by locked-and-mapped MDLs, and by tests
// through Bytes(). Pages are 4096 bytes; allocations are separated by
// inaccessible guard pages.
class UserSpace {
 public:
  explicit UserSpace(size_t bytes);
  ~UserSpace();
  UserSpace(const UserSpace&) = delete;
  UserSpace& operator=(const UserSpace&) = delete;

  // A buffer of Size bytes starting PageOffset bytes into a fresh page.
  void* Alloc(size_t size, Access access = Access::ReadWrite, size_t pageOffset = 0);
  void Protect(const void* address, size_t size, Access access);
  // The caller's view of a user buffer, for filling and checking it.
  std::span<uint8_t> Bytes(const void* address, size_t size);
  template <typename T>
  T* As(const void* address) {
    return reinterpret_cast<T*>(Bytes(address, sizeof(T)).data());
  }

  bool Contains(const void* address, size_t size) const;
  bool Overlaps(const void* address, size_t size) const;
  bool Accessible(const void* address, size_t size, Access access) const;
  // The backing bytes of a user range; the range must be accessible.
  uint8_t* Backing(const void* address) const;
  // Maps the pages of [address, address + size) at a system address of
  // their own and returns the address of the first byte; Unmap gives the
  // view back. The first kViewsUnmappedAtOnce views given back are unmapped
  // at once, so that a late touch through one stops the test. Later ones
  // are retired instead: kept for a later mapping of the same pages (an
  // application that sends the same command block again and again); once
  // more than twice kViewsRetired wait, the oldest kViewsRetired are
  // unmapped together. In that steady state a request that maps and unmaps
  // the same pages makes no system call. Called under the world's lock.
  static constexpr size_t kViewsUnmappedAtOnce = 1024;
  static constexpr size_t kViewsRetired = 64;
  void* MapSystemView(const void* address, size_t size);
  void UnmapSystemView(void* systemAddress, size_t size);
  // System calls made for system views since the world began.
  size_t SystemCalls() const { return systemCalls_; }

  uintptr_t Base() const { return base_; }
  size_t Size() const { return size_; }

 private:
  uintptr_t base_ = 0;
  size_t size_ = 0;
  int fd_ = -1;
  uint8_t* backing_ = nullptr;
  std::vector<Access> pages_;
  size_t nextPage_ = 1;
  struct View {
    uintptr_t firstPage = 0;  // offset into the user space
    size_t length = 0;
    uint8_t* start = nullptr;
  };
  std::map<uintptr_t, View> mapped_;  // by start
  std::deque<View> retired_;
  size_t viewsGivenBack_ = 0;
  size_t systemCalls_ = 0;
};

}  // namespace host
