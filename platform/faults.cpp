// Fault injection: scripted failures of the calls that can fail.
#include "world.h"

namespace host {

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::PoolAllocation: return "pool allocation";
    case Fault::IrpAllocation: return "IRP allocation";
    case Fault::MdlCreation: return "MDL creation";
    case Fault::MdlMapping: return "MDL mapping";
    case Fault::BuildDeviceIoControl: return "IoBuildDeviceIoControlRequest";
    case Fault::StringConversion: return "string conversion";
    case Fault::CreateDevice: return "IoCreateDevice";
    case Fault::AttachDevice: return "IoAttachDeviceToDeviceStack";
    case Fault::RegisterInterface: return "IoRegisterDeviceInterface";
    case Fault::SetInterfaceState: return "IoSetDeviceInterfaceState";
    case Fault::CreateSymbolicLink: return "IoCreateSymbolicLink";
    case Fault::OpenRegistryKey: return "IoOpenDeviceRegistryKey";
    case Fault::SetValueKey: return "ZwSetValueKey";
    case Fault::ErrorLogEntry: return "IoAllocateErrorLogEntry";
    case Fault::CompletionRoutineEx: return "IoSetCompletionRoutineEx";
  }
  return "?";
}

static NTSTATUS DefaultFailure(Fault fault) {
  switch (fault) {
    case Fault::StringConversion: return STATUS_NO_MEMORY;
    case Fault::RegisterInterface: return STATUS_INVALID_DEVICE_REQUEST;
    case Fault::SetInterfaceState: return STATUS_OBJECT_NAME_NOT_FOUND;
    case Fault::CreateSymbolicLink: return STATUS_OBJECT_NAME_COLLISION;
    case Fault::OpenRegistryKey: return STATUS_OBJECT_NAME_NOT_FOUND;
    default: return STATUS_INSUFFICIENT_RESOURCES;
  }
}

FaultRule& FaultRule::Nth(int n) {
  skip_ = n - 1;
  return *this;
}
FaultRule& FaultRule::Times(int n) {
  times_ = n;
  return *this;
}
FaultRule& FaultRule::Always() {
  times_ = -1;
  return *this;
}
FaultRule& FaultRule::Tag(ULONG tag) {
  tag_ = tag;
  return *this;
}
FaultRule& FaultRule::Size(size_t size) {
  size_ = size;
  return *this;
}
FaultRule& FaultRule::MinSize(size_t size) {
  minSize_ = size;
  return *this;
}
FaultRule& FaultRule::Status(NTSTATUS status) {
  status_ = status;
  return *this;
}

FaultRule& Faults::Fail(Fault site) {
  rules_.emplace_back();
  rules_.back().site_ = site;
  return rules_.back();
}

bool Faults::Check(Fault site, ULONG tag, size_t size, NTSTATUS* status) {
  ++calls_[site];
  if (recording_) recorded_.push_back({site, tag, size});
  for (auto& rule : rules_) {
    if (rule.site_ != site) continue;
    if (rule.tag_ && *rule.tag_ != tag) continue;
    if (rule.size_ && *rule.size_ != size) continue;
    if (rule.minSize_ && size < *rule.minSize_) continue;
    int index = rule.matched_++;
    if (index < rule.skip_) continue;
    if (rule.times_ >= 0 && index >= rule.skip_ + rule.times_) continue;
    ++rule.fired_;
    if (status != nullptr) *status = rule.status_ ? *rule.status_ : DefaultFailure(site);
    return true;
  }
  return false;
}

int Faults::Calls(Fault site) const {
  auto it = calls_.find(site);
  return it == calls_.end() ? 0 : it->second;
}

void Faults::Clear() {
  rules_.clear();
  calls_.clear();
  recorded_.clear();
  recording_ = false;
}

}  // namespace host
