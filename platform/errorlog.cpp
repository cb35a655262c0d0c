// The system error log.
#include <cstdlib>
#include <cstring>

#include "world.h"

namespace host {

IO_ERROR_LOG_PACKET ErrorLogEntry::Packet() const {
  IO_ERROR_LOG_PACKET packet;
  std::memset(&packet, 0, sizeof(packet));
  std::memcpy(&packet, bytes.data(), std::min(bytes.size(), sizeof(packet)));
  return packet;
}

std::vector<ULONG> ErrorLogEntry::DumpData() const {
  IO_ERROR_LOG_PACKET packet = Packet();
  std::vector<ULONG> words(packet.DumpDataSize / sizeof(ULONG));
  size_t offset = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  std::memcpy(words.data(), bytes.data() + offset, std::min(words.size() * sizeof(ULONG), bytes.size() - offset));
  return words;
}

std::vector<std::string> ErrorLog::Audit() const {
  std::vector<std::string> left;
  for (const auto& [entry, owner] : allocated_) {
    left.push_back("error log: entry " + Hex(entry) + " allocated but never written");
  }
  return left;
}

ErrorLog::~ErrorLog() {
  for (auto& [entry, owner] : allocated_) std::free(entry);
}

}  // namespace host

using host::Violation;
using host::World;
namespace rule = host::rule;

extern "C" {

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  host::RequireIrql(DISPATCH_LEVEL, "IoAllocateErrorLogEntry", IoObject);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (IoObject == nullptr || (!world.objects.IsLive((PDEVICE_OBJECT)IoObject))) {
    Violation(rule::kBadArgument, "IoAllocateErrorLogEntry", IoObject, "not a device object");
  }
  if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
  if (world.faults.Check(host::Fault::ErrorLogEntry, 0, EntrySize)) return nullptr;
  void* entry = std::calloc(1, EntrySize);
  world.errorLog.allocated_[entry] = {IoObject, EntrySize};
  return entry;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
  host::RequireIrql(DISPATCH_LEVEL, "IoWriteErrorLogEntry", ElEntry);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  auto it = world.errorLog.allocated_.find(ElEntry);
  if (it == world.errorLog.allocated_.end()) {
    Violation(rule::kErrorLogEntry, "IoWriteErrorLogEntry", ElEntry, "not an allocated entry (written twice?)");
  }
  auto [ioObject, size] = it->second;
  auto* packet = (const IO_ERROR_LOG_PACKET*)ElEntry;
  if (packet->DumpDataSize % 4 != 0 ||
      offsetof(IO_ERROR_LOG_PACKET, DumpData) + packet->DumpDataSize > size) {
    Violation(rule::kErrorLogEntry, "IoWriteErrorLogEntry", ElEntry,
              "DumpDataSize " + std::to_string(packet->DumpDataSize) + " in an entry of " + std::to_string(size) +
                  " bytes");
  }
  host::ErrorLogEntry written;
  written.ioObject = ioObject;
  written.bytes.assign((const uint8_t*)ElEntry, (const uint8_t*)ElEntry + size);
  world.errorLog.written_.push_back(std::move(written));
  world.errorLog.allocated_.erase(it);
  std::free(ElEntry);
}

}  // extern "C"
