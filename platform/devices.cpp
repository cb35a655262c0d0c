// Driver and device objects, device stacks, the object namespace and
// symbolic links.
#include <cstdlib>
#include <cstring>

#include "world.h"

namespace host {

namespace {

constexpr CSHORT kDeviceType = 3;
constexpr CSHORT kDriverType = 4;

// "\DosDevices\X" and "\??\X" name the same link.
std::u16string CanonicalLink(std::u16string_view name) {
  std::u16string upper = Upper(name);
  const std::u16string dosDevices = u"\\DOSDEVICES\\";
  if (upper.rfind(dosDevices, 0) == 0) return u"\\??\\" + upper.substr(dosDevices.size());
  return upper;
}

}  // namespace

NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT Objects::CreateDriver(std::u16string name) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  auto* driver = (PDRIVER_OBJECT)std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
  driver->Type = kDriverType;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = (PDRIVER_EXTENSION)(driver + 1);
  driver->DriverExtension->DriverObject = driver;
  for (auto& entry : driver->MajorFunction) entry = DefaultDispatch;
  drivers_[driver] = std::move(name);
  return driver;
}

void Objects::DestroyDriver(PDRIVER_OBJECT driver) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  drivers_.erase(driver);
  std::free(driver);
}

DeviceRecord* Objects::Device(const DEVICE_OBJECT* device) {
  auto it = devices_.find(device);
  return it == devices_.end() || it->second.deleted ? nullptr : &it->second;
}

bool Objects::IsLive(const DEVICE_OBJECT* device) { return Device(device) != nullptr; }

PDEVICE_OBJECT Objects::Top(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT Objects::Bottom(PDEVICE_OBJECT device) {
  for (DeviceRecord* record = Device(device); record != nullptr && record->attachedTo != nullptr;
       record = Device(record->attachedTo)) {
    device = record->attachedTo;
  }
  return device;
}

std::optional<std::u16string> Objects::LinkTarget(std::u16string_view link) {
  auto it = links_.find(CanonicalLink(link));
  if (it == links_.end()) return std::nullopt;
  return it->second.second;
}

PDEVICE_OBJECT Objects::Resolve(std::u16string_view name) {
  std::u16string current(name);
  for (int depth = 0; depth < 8; ++depth) {
    auto device = names_.find(Upper(current));
    if (device != names_.end()) return device->second;
    auto target = LinkTarget(current);
    if (!target) return nullptr;
    current = *target;
  }
  return nullptr;
}

std::vector<PDEVICE_OBJECT> Objects::LiveDevices() const {
  std::vector<PDEVICE_OBJECT> live;
  for (const auto& [device, record] : devices_) {
    if (!record.deleted) live.push_back(record.device);
  }
  return live;
}

std::vector<std::string> Objects::Audit() const {
  std::vector<std::string> left;
  for (const auto& [device, record] : devices_) {
    if (record.deleted) continue;
    left.push_back("device: " + Hex(device) + (record.name.empty() ? "" : " " + Narrow(record.name)) +
                   (record.pdo ? " (PDO)" : "") + " not deleted");
  }
  for (const auto& [key, link] : links_) {
    left.push_back("link: " + Narrow(link.first) + " -> " + Narrow(link.second) + " not deleted");
  }
  return left;
}

Objects::~Objects() {
  for (auto& [device, record] : devices_) {
    if (!record.deleted) std::free(record.device);
  }
  for (void* memory : deletedMemory_) std::free(memory);
  for (auto& [driver, name] : drivers_) std::free(driver);
}

}  // namespace host

using host::Violation;
using host::World;
namespace rule = host::rule;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  host::RequireIrql(PASSIVE_LEVEL, "IoCreateDevice", DriverObject);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (DriverObject == nullptr || world.objects.drivers_.count(DriverObject) == 0) {
    Violation(rule::kBadArgument, "IoCreateDevice", DriverObject, "not a driver object");
  }
  NTSTATUS failure;
  if (world.faults.Check(host::Fault::CreateDevice, 0, DeviceExtensionSize, &failure)) return failure;
  std::u16string name = host::FromUnicodeString(DeviceName);
  if (DeviceName != nullptr && (name.empty() || name[0] != u'\\')) return STATUS_OBJECT_NAME_INVALID;
  if (!name.empty() && world.objects.names_.count(host::Upper(name))) return STATUS_OBJECT_NAME_COLLISION;

  size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
  auto* device = (PDEVICE_OBJECT)std::calloc(1, extensionOffset + DeviceExtensionSize);
  device->Type = host::kDeviceType;
  device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? (uint8_t*)device + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->AlignmentRequirement = 0;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;

  host::DeviceRecord record;
  record.device = device;
  record.name = name;
  world.objects.devices_[device] = record;
  if (!name.empty()) world.objects.names_[host::Upper(name)] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  host::RequireIrql(APC_LEVEL, "IoDeleteDevice", DeviceObject);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  auto it = world.objects.devices_.find(DeviceObject);
  if (it == world.objects.devices_.end()) Violation(rule::kBadArgument, "IoDeleteDevice", DeviceObject, "not a device");
  host::DeviceRecord& record = it->second;
  if (record.deleted) Violation(rule::kDeleteTwice, "IoDeleteDevice", DeviceObject);
  if (record.attachedTo != nullptr) {
    Violation(rule::kDeleteAttached, "IoDeleteDevice", DeviceObject, "it is still attached to " + host::Hex(record.attachedTo));
  }
  if (DeviceObject->AttachedDevice != nullptr) {
    Violation(rule::kDeleteAttached, "IoDeleteDevice", DeviceObject,
              "device " + host::Hex(DeviceObject->AttachedDevice) + " is still attached above it");
  }
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  if (!record.name.empty()) world.objects.names_.erase(host::Upper(record.name));
  record.deleted = true;
  world.watches.Forget(DeviceObject);
  // The memory stays readable until the world ends: a request that carried
  // this device in a stack location may still be completing.
  world.objects.deletedMemory_.push_back(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  host::RequireIrql(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack", SourceDevice);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  host::DeviceRecord* source = world.objects.Device(SourceDevice);
  if (source == nullptr || !world.objects.IsLive(TargetDevice)) {
    Violation(rule::kBadArgument, "IoAttachDeviceToDeviceStack", SourceDevice, "not a live device");
  }
  if (source->attachedTo != nullptr) {
    Violation(rule::kBadArgument, "IoAttachDeviceToDeviceStack", SourceDevice, "already attached");
  }
  if (world.faults.Check(host::Fault::AttachDevice)) return nullptr;
  PDEVICE_OBJECT top = world.objects.Top(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  source->attachedTo = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  host::RequireIrql(PASSIVE_LEVEL, "IoDetachDevice", TargetDevice);
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (!world.objects.IsLive(TargetDevice)) Violation(rule::kBadArgument, "IoDetachDevice", TargetDevice, "not a live device");
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) Violation(rule::kDetachUnattached, "IoDetachDevice", TargetDevice);
  host::DeviceRecord* record = world.objects.Device(above);
  if (record != nullptr) record->attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  return world.objects.Top(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  host::RequireIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  std::u16string link = host::FromUnicodeString(SymbolicLinkName);
  std::u16string target = host::FromUnicodeString(DeviceName);
  if (link.empty() || link[0] != u'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  // A scripted answer that is a success code (an informational or warning
  // status) still makes the link, as a call that succeeds does.
  NTSTATUS scripted = STATUS_SUCCESS;
  if (world.faults.Check(host::Fault::CreateSymbolicLink, 0, 0, &scripted) && !NT_SUCCESS(scripted)) return scripted;
  std::u16string key = host::CanonicalLink(link);
  if (world.objects.links_.count(key) || world.objects.names_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
  world.objects.links_[key] = {link, target};
  return scripted;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  host::RequireIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  std::u16string link = host::FromUnicodeString(SymbolicLinkName);
  if (world.objects.links_.erase(host::CanonicalLink(link)) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  return STATUS_SUCCESS;
}

}  // extern "C"
