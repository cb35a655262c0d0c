// A pass-through command block as an application builds it in its own
// memory, with the sense buffer and the status byte placed where a test
// says: at a page offset, across a page end, read-only, in pages that are
// not mapped, or absent.
#pragma once

#include <cstring>
#include <initializer_list>
#include <span>

#include "stillscsi_ioctl.h"
#include "world.h"

// Where one of the caller's buffers lies.
struct Place {
  enum class Kind { Offset, AcrossPageEnd, Null };
  Kind kind = Kind::Offset;
  size_t offset = 0;                     // Offset: bytes into a fresh page
  size_t bytesInFirstPage = 0;           // AcrossPageEnd: how many bytes lie before the page end
  host::Access access = host::Access::ReadWrite;
  host::Access nextPage = host::Access::ReadWrite;  // AcrossPageEnd: the page after the end

  static Place At(size_t offset, host::Access access = host::Access::ReadWrite) {
    return {Kind::Offset, offset, 0, access, access};
  }
  static Place AcrossPageEnd(size_t bytesInFirstPage, host::Access nextPage = host::Access::ReadWrite) {
    return {Kind::AcrossPageEnd, 0, bytesInFirstPage, host::Access::ReadWrite, nextPage};
  }
  static Place ReadOnly(size_t offset = 0) { return At(offset, host::Access::Read); }
  // User addresses in pages that are not mapped: every touch fails.
  static Place Unmapped(size_t offset = 0) { return At(offset, host::Access::None); }
  static Place Null() { return {Kind::Null}; }
};

// Allocates Length bytes of user memory as Where says; null for Place::Null.
inline void* PlaceUserBuffer(host::World& world, size_t length, const Place& where) {
  size_t size = length == 0 ? 1 : length;
  switch (where.kind) {
    case Place::Kind::Null:
      return nullptr;
    case Place::Kind::Offset:
      return world.user.Alloc(size, where.access, where.offset);
    case Place::Kind::AcrossPageEnd: {
      size_t first = where.bytesInFirstPage == 0 ? 1 : where.bytesInFirstPage;
      void* buffer = world.user.Alloc(size > first ? size : first + 1, host::Access::ReadWrite, PAGE_SIZE - first);
      uint8_t* next = (uint8_t*)buffer + first;
      world.user.Protect(next, size > first ? size - first : 1, where.nextPage);
      return buffer;
    }
  }
  return nullptr;
}

// The block and the caller's two buffers, by their user addresses; the
// test reads and fills them through Block(), Sense() and Status().
struct UserCommand {
  host::World* world = nullptr;
  SCSISCAN_CMD* block = nullptr;  // user address of the 56 bytes
  PUCHAR sense = nullptr;         // user address, or what the test put there
  PUCHAR status = nullptr;
  size_t senseBytes = 0;

  // The block as it is in the caller's memory (copied: it may lie at any
  // alignment), and a way to change it there.
  SCSISCAN_CMD Block() const {
    SCSISCAN_CMD copy;
    std::memcpy(&copy, world->user.Bytes(block, sizeof(copy)).data(), sizeof(copy));
    return copy;
  }
  void SetBlock(const SCSISCAN_CMD& value) const {
    std::memcpy(world->user.Bytes(block, sizeof(value)).data(), &value, sizeof(value));
  }
  std::span<uint8_t> Sense() const { return world->user.Bytes(sense, senseBytes); }
  UCHAR& Status() const { return *world->user.As<UCHAR>(status); }
};

// Reads as a sentence:
//   UserCommand cmd = CommandBuilder().Cdb({0x12, 0, 0, 0, 36, 0}).DataIn(36)
//                         .SenseAt(Place::AcrossPageEnd(5)).Build(world);
class CommandBuilder {
 public:
  CommandBuilder& Cdb(std::initializer_list<UCHAR> bytes) {
    cdbLength_ = (UCHAR)bytes.size();
    std::memset(cdb_, 0, sizeof(cdb_));
    std::memcpy(cdb_, bytes.begin(), bytes.size() < 16 ? bytes.size() : 16);
    return *this;
  }
  CommandBuilder& CdbLength(UCHAR length) {  // any value, valid or not
    cdbLength_ = length;
    return *this;
  }
  CommandBuilder& DataIn(ULONG length) { return Data(SRB_FLAGS_DATA_IN, length); }
  CommandBuilder& DataOut(ULONG length) { return Data(SRB_FLAGS_DATA_OUT, length); }
  CommandBuilder& Data(ULONG srbFlags, ULONG length) {
    srbFlags_ = srbFlags;
    transferLength_ = length;
    return *this;
  }
  CommandBuilder& Size(ULONG size) {  // the block's Size field; 56 unless said
    size_ = size;
    return *this;
  }
  CommandBuilder& SenseLength(UCHAR length) {
    senseLength_ = length;
    return *this;
  }
  CommandBuilder& SenseAt(const Place& where) {
    sensePlace_ = where;
    return *this;
  }
  CommandBuilder& StatusAt(const Place& where) {
    statusPlace_ = where;
    return *this;
  }
  // The block itself lies at this place too (an application's input buffer).
  CommandBuilder& BlockAt(const Place& where) {
    blockPlace_ = where;
    return *this;
  }

  UserCommand Build(host::World& world) const {
    UserCommand command;
    command.world = &world;
    command.senseBytes = senseLength_;
    command.sense = (PUCHAR)PlaceUserBuffer(world, senseLength_, sensePlace_);
    command.status = (PUCHAR)PlaceUserBuffer(world, 1, statusPlace_);
    command.block = (SCSISCAN_CMD*)PlaceUserBuffer(world, sizeof(SCSISCAN_CMD), Writable(blockPlace_));
    SCSISCAN_CMD block;
    std::memset(&block, 0, sizeof(block));
    block.Size = size_;
    block.SrbFlags = srbFlags_;
    block.CdbLength = cdbLength_;
    block.SenseLength = senseLength_;
    block.TransferLength = transferLength_;
    std::memcpy(block.Cdb, cdb_, sizeof(cdb_));
    block.pSrbStatus = command.status;
    block.pSenseBuffer = command.sense;
    command.SetBlock(block);
    if (blockPlace_.access != host::Access::ReadWrite) {
      world.user.Protect(command.block, sizeof(SCSISCAN_CMD), blockPlace_.access);
    }
    return command;
  }

 private:
  // The block is filled before its protection is applied.
  static Place Writable(Place where) {
    where.access = host::Access::ReadWrite;
    return where;
  }

  UCHAR cdb_[16]{};
  UCHAR cdbLength_ = 6;
  ULONG srbFlags_ = 0;
  ULONG transferLength_ = 0;
  ULONG size_ = sizeof(SCSISCAN_CMD);
  UCHAR senseLength_ = 18;
  Place sensePlace_;
  Place statusPlace_;
  Place blockPlace_;
};
