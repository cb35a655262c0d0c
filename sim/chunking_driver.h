// A minimal class driver for measuring and stressing the test bed itself,
// without the real driver: it serves reads and writes on a device attached
// above a port's PDO by cutting each into chunks, with one IRP and one SRB
// per request. Every chunk after the first is sent down again from the
// completion routine of the chunk before, which then returns
// STATUS_MORE_PROCESSING_REQUIRED: the road every data request of a
// chunking driver takes through the I/O manager.
#pragma once

#include <string>

#include "world.h"

namespace sim {

class ChunkingDriver {
 public:
  // Loads the toy, creates its device ("\Device\<Name>"), reachable by
  // applications as "\\.\<Name>", and attaches it above Pdo.
  ChunkingDriver(host::World& world, PDEVICE_OBJECT pdo, ULONG chunkLength, std::string name = "ToyChunker");
  // Detaches and deletes the device and unloads the toy.
  ~ChunkingDriver();
  ChunkingDriver(const ChunkingDriver&) = delete;
  ChunkingDriver& operator=(const ChunkingDriver&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  // The name an application opens the device by.
  std::string OpenName() const { return "\\\\.\\" + name_; }
  ULONG ChunkLength() const { return chunkLength_; }

 private:
  host::World& world_;
  std::string name_;
  ULONG chunkLength_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
};

}  // namespace sim
