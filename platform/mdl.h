// MDLs: the records of live MDLs and how the stand-in reaches their pages.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_ddk.h"

namespace host {

struct MdlRecord {
  bool user = false;           // describes user memory
  LOCK_OPERATION operation = IoReadAccess;
  void* view = nullptr;        // system view made by MmMapLockedPages
  size_t viewBytes = 0;
  bool kernelInternal = false; // made by the I/O manager for a request
};

class Mdls {
 public:
  PMDL Create(PVOID base, SIZE_T length, bool internal);
  MdlRecord* Find(PMDL mdl);
  // The record of a live MDL; stops the test for anything else.
  MdlRecord& Require(PMDL mdl, const char* routine);
  void Free(PMDL mdl, const char* routine);
  size_t Count() const { return live_.size(); }
  size_t LockedCount() const;
  // MDLs drivers have made (MmCreateMdl), not the I/O manager's own.
  uint64_t MadeByDrivers() const { return madeByDrivers_.load(); }
  std::vector<std::string> Audit() const;
  // Translates an address inside a locked MDL's range into an address the
  // stand-in (or a simulated port driver) can touch.
  uint8_t* Reach(PMDL mdl, const void* address, size_t length, bool write, const char* who);

 private:
  mutable std::mutex mu_;  // guards the table; taken after World::mu, never before
  std::atomic<uint64_t> madeByDrivers_{0};
  std::map<PMDL, MdlRecord> live_;
};

}  // namespace host
