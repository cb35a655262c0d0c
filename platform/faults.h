// Fault injection: scripted failures of the calls that can fail.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "host_ddk.h"

namespace host {

enum class Fault {
  PoolAllocation,
  IrpAllocation,
  MdlCreation,
  MdlMapping,
  BuildDeviceIoControl,
  StringConversion,
  CreateDevice,
  AttachDevice,
  RegisterInterface,
  SetInterfaceState,
  CreateSymbolicLink,
  OpenRegistryKey,
  SetValueKey,
  ErrorLogEntry,
  CompletionRoutineEx,
};
const char* FaultName(Fault fault);

// One scripted failure: which calls of a site fail, and with what status
// where the call returns one. Reads as a sentence:
//   world.faults.Fail(Fault::PoolAllocation).Tag(Tag("BulK")).Nth(2);
class FaultRule {
 public:
  FaultRule& Nth(int n);             // the nth matching call fails (1-based); default the first
  FaultRule& Times(int n);           // that many matching calls fail, from the nth on
  FaultRule& Always();               // every matching call from the nth on fails
  FaultRule& Tag(ULONG tag);         // only pool allocations with this tag match
  FaultRule& Size(size_t size);      // only requests of exactly this many bytes match
  FaultRule& MinSize(size_t size);   // only requests of at least this many bytes match
  FaultRule& Status(NTSTATUS status);  // the status a failing call returns
  int Fired() const { return fired_; }

 private:
  friend class Faults;
  Fault site_;
  int skip_ = 0;
  int times_ = 1;
  std::optional<ULONG> tag_;
  std::optional<size_t> size_;
  std::optional<size_t> minSize_;
  std::optional<NTSTATUS> status_;
  int matched_ = 0;
  int fired_ = 0;
};

class Faults {
 public:
  FaultRule& Fail(Fault site);
  // Counts the call and tells whether it fails; *status receives the
  // failure status when the rule names one, else the site's default.
  bool Check(Fault site, ULONG tag = 0, size_t size = 0, NTSTATUS* status = nullptr);
  int Calls(Fault site) const;
  void Clear();

  // Every call of a fault site in order, while recording is on: what a
  // sweep of failure points fails one at a time.
  struct Call {
    Fault site;
    ULONG tag;
    size_t size;
  };
  void Record(bool on) { recording_ = on; }
  const std::vector<Call>& Recorded() const { return recorded_; }

 private:
  std::deque<FaultRule> rules_;
  std::map<Fault, int> calls_;
  bool recording_ = false;
  std::vector<Call> recorded_;
};

}  // namespace host
