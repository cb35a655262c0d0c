// Device interfaces and the registry keys of devices.
#include <cstdio>
#include <cstring>

#include "world.h"

namespace host {

namespace {

// The platform spells the class GUID of an interface name in lower case.
std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return Utf16(text);
}

// Allocates Buffer as the kernel allocates the strings it hands to drivers:
// a pool block that RtlFreeUnicodeString gives back.
bool AllocateKernelString(World& world, std::u16string_view text, PUNICODE_STRING out) {
  size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  auto* buffer = (PWSTR)world.pool.Allocate(PagedPool, bytes, kStringPoolTag, "kernel string",
                                            __builtin_return_address(0), false);
  if (buffer == nullptr) return false;
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  out->Buffer = buffer;
  out->Length = (USHORT)(text.size() * sizeof(WCHAR));
  out->MaximumLength = (USHORT)bytes;
  return true;
}

}  // namespace

const InterfaceRecord* Interfaces::Find(std::u16string_view name) const {
  auto it = interfaces_.find(Upper(name));
  return it == interfaces_.end() ? nullptr : &it->second;
}

std::vector<InterfaceRecord> Interfaces::For(const DEVICE_OBJECT* pdo) const {
  std::vector<InterfaceRecord> found;
  for (const auto& [key, record] : interfaces_) {
    if (record.pdo == pdo) found.push_back(record);
  }
  return found;
}

std::u16string RegistryValue::Text() const {
  std::u16string text(data.size() / sizeof(WCHAR), u'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

const RegistryValue* Registry::Value(const DEVICE_OBJECT* pdo, ULONG keyType, std::u16string_view name) const {
  auto key = keys_.find({pdo, keyType});
  if (key == keys_.end()) return nullptr;
  auto value = key->second.values.find(Upper(name));
  return value == key->second.values.end() ? nullptr : &value->second;
}

int Registry::Writes(const DEVICE_OBJECT* pdo, ULONG keyType, std::u16string_view name) const {
  auto key = keys_.find({pdo, keyType});
  if (key == keys_.end()) return 0;
  auto writes = key->second.writes.find(Upper(name));
  return writes == key->second.writes.end() ? 0 : writes->second;
}

std::vector<std::string> Registry::Audit() const {
  std::vector<std::string> left;
  for (const auto& [handle, key] : open_) {
    left.push_back("registry: key handle " + Hex(handle) + " of device " + Hex(key.first) + " still open");
  }
  return left;
}

}  // namespace host

using host::Violation;
using host::World;
namespace rule = host::rule;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  host::RequireIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface", PhysicalDeviceObject);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  host::DeviceRecord* device = world.objects.Device(PhysicalDeviceObject);
  if (device == nullptr || !device->pdo) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS failure;
  if (world.faults.Check(host::Fault::RegisterInterface, 0, 0, &failure)) return failure;
  std::u16string instance = device->instancePath;
  for (auto& c : instance) {
    if (c == u'\\') c = u'#';
  }
  std::u16string name = u"\\??\\" + instance + u"#" + host::GuidText(*InterfaceClassGuid);
  std::u16string reference = host::FromUnicodeString(ReferenceString);
  if (!reference.empty()) name += u"\\" + reference;
  if (!host::AllocateKernelString(world, name, SymbolicLinkName)) return STATUS_INSUFFICIENT_RESOURCES;
  auto& record = world.interfaces.interfaces_[host::Upper(name)];
  if (record.name.empty()) {
    record.name = name;
    record.pdo = PhysicalDeviceObject;
    record.guid = *InterfaceClassGuid;
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  host::RequireIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  NTSTATUS failure;
  if (world.faults.Check(host::Fault::SetInterfaceState, 0, 0, &failure)) return failure;
  auto it = world.interfaces.interfaces_.find(host::Upper(host::FromUnicodeString(SymbolicLinkName)));
  if (it == world.interfaces.interfaces_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  host::InterfaceRecord& record = it->second;
  if (Enable) {
    if (record.enabled) return STATUS_OBJECT_NAME_EXISTS;
    record.enabled = true;
    ++record.enables;
  } else {
    if (!record.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    record.enabled = false;
    ++record.disables;
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  (void)DesiredAccess;
  host::RequireIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey", DeviceObject);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  host::DeviceRecord* device = world.objects.Device(DeviceObject);
  if (device == nullptr || !device->pdo) return STATUS_INVALID_DEVICE_REQUEST;
  if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER && DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS failure;
  if (world.faults.Check(host::Fault::OpenRegistryKey, 0, 0, &failure)) return failure;
  HANDLE handle = (HANDLE)world.registry.nextHandle_;
  world.registry.nextHandle_ += 4;
  world.registry.keys_[{DeviceObject, DevInstKeyType}];
  world.registry.open_[handle] = {DeviceObject, DevInstKeyType};
  *DevInstRegKey = handle;
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  (void)TitleIndex;
  host::RequireIrql(PASSIVE_LEVEL, "ZwSetValueKey", KeyHandle);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  auto open = world.registry.open_.find(KeyHandle);
  if (open == world.registry.open_.end()) Violation(rule::kClosedHandle, "ZwSetValueKey", KeyHandle);
  if (DataSize != 0 && Data == nullptr) Violation(rule::kBadArgument, "ZwSetValueKey", KeyHandle, "no data");
  NTSTATUS failure;
  if (world.faults.Check(host::Fault::SetValueKey, 0, DataSize, &failure)) return failure;
  std::u16string name = host::Upper(host::FromUnicodeString(ValueName));
  auto& key = world.registry.keys_[open->second];
  host::RegistryValue& value = key.values[name];
  value.type = Type;
  value.data.assign((const uint8_t*)Data, (const uint8_t*)Data + DataSize);
  ++key.writes[name];
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  host::RequireIrql(PASSIVE_LEVEL, "ZwClose", Handle);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (world.registry.open_.erase(Handle) == 0) Violation(rule::kClosedHandle, "ZwClose", Handle);
  return STATUS_SUCCESS;
}

}  // extern "C"
