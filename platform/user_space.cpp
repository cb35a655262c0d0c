// The simulated user address space. User addresses are a reserved range
// that is never accessible; the bytes behind them live in a memory file that
// is mapped once for the stand-in (the backing store) and again, page by
// page, wherever the kernel maps a locked MDL.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "world.h"

namespace host {

namespace {
constexpr size_t kPage = PAGE_SIZE;

[[noreturn]] void Fatal(const char* what) {
  std::perror(what);
  std::abort();
}
}  // namespace

UserSpace::UserSpace(size_t bytes) : size_((bytes + kPage - 1) / kPage * kPage), pages_(size_ / kPage, Access::None) {
  void* reserved = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) Fatal("user space reservation");
  base_ = (uintptr_t)reserved;
  fd_ = memfd_create("stillscsi-user-space", 0);
  if (fd_ < 0) Fatal("memfd_create");
  if (ftruncate(fd_, (off_t)size_) != 0) Fatal("ftruncate");
  void* backing = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd_, 0);
  if (backing == MAP_FAILED) Fatal("user space backing");
  backing_ = (uint8_t*)backing;
}

UserSpace::~UserSpace() {
  for (const auto& [start, view] : mapped_) munmap(view.start, view.length);
  for (const View& view : retired_) munmap(view.start, view.length);
  munmap(backing_, size_);
  munmap((void*)base_, size_);
  close(fd_);
}

void* UserSpace::Alloc(size_t size, Access access, size_t pageOffset) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  pageOffset %= kPage;
  size_t pages = (pageOffset + size + kPage - 1) / kPage;
  if (pages == 0) pages = 1;
  if (nextPage_ + pages + 1 > pages_.size()) {
    Violation(rule::kBadArgument, "UserSpace::Alloc", nullptr, "the simulated user address space is full");
  }
  size_t first = nextPage_;
  for (size_t i = 0; i < pages; ++i) pages_[first + i] = access;
  nextPage_ += pages + 1;  // the page after stays inaccessible: a guard
  // Each page is handed out once, and a fresh page of the memory file reads
  // as zero: nothing to clear.
  return (void*)(base_ + first * kPage + pageOffset);
}

void UserSpace::Protect(const void* address, size_t size, Access access) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (!Contains(address, size)) Violation(rule::kBadArgument, "UserSpace::Protect", address);
  uintptr_t offset = (uintptr_t)address - base_;
  for (size_t page = offset / kPage; page <= (offset + (size ? size - 1 : 0)) / kPage; ++page) pages_[page] = access;
}

std::span<uint8_t> UserSpace::Bytes(const void* address, size_t size) {
  if (!Contains(address, size)) Violation(rule::kBadArgument, "UserSpace::Bytes", address, "not user memory");
  return {backing_ + ((uintptr_t)address - base_), size};
}

bool UserSpace::Contains(const void* address, size_t size) const {
  uintptr_t start = (uintptr_t)address;
  return start >= base_ && start <= base_ + size_ && size <= base_ + size_ - start;
}

bool UserSpace::Overlaps(const void* address, size_t size) const {
  uintptr_t start = (uintptr_t)address;
  return start < base_ + size_ && start + size > base_;
}

bool UserSpace::Accessible(const void* address, size_t size, Access access) const {
  if (!Contains(address, size)) return false;
  if (size == 0) return true;
  uintptr_t offset = (uintptr_t)address - base_;
  for (size_t page = offset / kPage; page <= (offset + size - 1) / kPage; ++page) {
    if (((uint8_t)pages_[page] & (uint8_t)access) != (uint8_t)access) return false;
  }
  return true;
}

uint8_t* UserSpace::Backing(const void* address) const { return backing_ + ((uintptr_t)address - base_); }

void* UserSpace::MapSystemView(const void* address, size_t size) {
  uintptr_t offset = (uintptr_t)address - base_;
  View view{offset / kPage * kPage, 0, nullptr};
  view.length = (offset + size + kPage - 1) / kPage * kPage - view.firstPage;
  auto reusable = std::find_if(retired_.begin(), retired_.end(), [&view](const View& old) {
    return old.firstPage == view.firstPage && old.length == view.length;
  });
  if (reusable != retired_.end()) {
    view.start = reusable->start;
    retired_.erase(reusable);
  } else {
    void* start = mmap(nullptr, view.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, (off_t)view.firstPage);
    ++systemCalls_;
    if (start == MAP_FAILED) return nullptr;
    view.start = (uint8_t*)start;
  }
  mapped_[(uintptr_t)view.start] = view;
  return view.start + (offset - view.firstPage);
}

void UserSpace::UnmapSystemView(void* systemAddress, size_t size) {
  (void)size;
  auto found = mapped_.find((uintptr_t)systemAddress / kPage * kPage);
  if (found == mapped_.end()) Violation(rule::kBadArgument, "UserSpace::UnmapSystemView", systemAddress, "not a view");
  View view = found->second;
  mapped_.erase(found);
  if (viewsGivenBack_++ < kViewsUnmappedAtOnce) {
    munmap(view.start, view.length);
    ++systemCalls_;
    return;
  }
  retired_.push_back(view);
  if (retired_.size() > 2 * kViewsRetired) {
    for (size_t i = 0; i < kViewsRetired; ++i) {
      munmap(retired_.front().start, retired_.front().length);
      retired_.pop_front();
      ++systemCalls_;
    }
  }
}

}  // namespace host
