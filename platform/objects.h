// Objects and names: devices, symbolic links, device interfaces, the
// registry and the error log.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host_ddk.h"

namespace host {

struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  std::u16string name;
  bool deleted = false;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached above
  bool pdo = false;
  std::u16string instancePath;
};

class Objects {
 public:
  PDRIVER_OBJECT CreateDriver(std::u16string name);
  void DestroyDriver(PDRIVER_OBJECT driver);
  DeviceRecord* Device(const DEVICE_OBJECT* device);  // live devices only
  bool IsLive(const DEVICE_OBJECT* device);
  PDEVICE_OBJECT Top(PDEVICE_OBJECT device);
  // The device at the bottom of the stack Device is in (its PDO).
  PDEVICE_OBJECT Bottom(PDEVICE_OBJECT device);
  // Resolves a kernel object name through symbolic links to a device.
  PDEVICE_OBJECT Resolve(std::u16string_view name);
  std::optional<std::u16string> LinkTarget(std::u16string_view link);
  std::vector<PDEVICE_OBJECT> LiveDevices() const;
  std::vector<std::string> Audit() const;
  ~Objects();

  // State, guarded by World::mu.
  std::map<const DEVICE_OBJECT*, DeviceRecord> devices_;
  std::vector<void*> deletedMemory_;  // kept until the world ends: late references stay readable
  std::map<std::u16string, PDEVICE_OBJECT> names_;  // upper-cased name -> device
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> links_;  // upper -> (link, target)
  std::map<PDRIVER_OBJECT, std::u16string> drivers_;
};

// The default dispatch entry of every major function a driver leaves unset.
NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

struct InterfaceRecord {
  std::u16string name;
  PDEVICE_OBJECT pdo = nullptr;
  GUID guid{};
  bool enabled = false;
  int enables = 0;
  int disables = 0;
};

class Interfaces {
 public:
  const InterfaceRecord* Find(std::u16string_view name) const;
  std::vector<InterfaceRecord> For(const DEVICE_OBJECT* pdo) const;

  std::map<std::u16string, InterfaceRecord> interfaces_;  // upper-cased name
};

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  std::u16string Text() const;  // REG_SZ data as text
};

class Registry {
 public:
  const RegistryValue* Value(const DEVICE_OBJECT* pdo, ULONG keyType, std::u16string_view name) const;
  int Writes(const DEVICE_OBJECT* pdo, ULONG keyType, std::u16string_view name) const;
  size_t OpenHandles() const { return open_.size(); }
  std::vector<std::string> Audit() const;

  struct Key {
    std::map<std::u16string, RegistryValue> values;
    std::map<std::u16string, int> writes;
  };
  std::map<std::pair<const DEVICE_OBJECT*, ULONG>, Key> keys_;
  std::map<HANDLE, std::pair<const DEVICE_OBJECT*, ULONG>> open_;
  uintptr_t nextHandle_ = 0x80000004;
};

struct ErrorLogEntry {
  const void* ioObject = nullptr;
  std::vector<uint8_t> bytes;  // the whole entry as the driver wrote it
  IO_ERROR_LOG_PACKET Packet() const;
  std::vector<ULONG> DumpData() const;  // DumpDataSize / 4 words
};

class ErrorLog {
 public:
  const std::vector<ErrorLogEntry>& Entries() const { return written_; }
  std::vector<std::string> Audit() const;
  ~ErrorLog();

  std::map<void*, std::pair<const void*, size_t>> allocated_;
  std::vector<ErrorLogEntry> written_;
};

}  // namespace host
