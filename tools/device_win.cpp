// The Windows build's device: the first present device of the still-image
// interface, opened by the name its driver published in "CreateFileName"
// (its interface path where it published none), and driven with the
// system's own calls. Requests go through the system's native calls so
// that each result is the status the driver completed it with, as on the
// host, rather than the error code the Win32 calls reduce it to.
//
// The status byte and sense buffer of each command block live in the
// program's memory. Under a kernel that runs drivers in a process of their
// own (Wine's), those addresses mean nothing to the driver unless the same
// memory is mapped at the same address there too: STILLSCSI_SENSE_SECTION,
// "NAME@ADDRESS" (ADDRESS in hex), names a section that the bench has
// mapped at that address in the drivers' process; the program maps it at
// the same address and keeps the two there.
//
// Where the device sits on the test bus, whose control device counts the
// SRBs it carried, the counts are the bus's; on any other bus an
// application cannot see them.
#include "device.h"  // the platform's headers first
#include "testbus_ioctl.h"

#include <fcntl.h>
#include <io.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext, PIO_STATUS_BLOCK io,
                          PVOID buffer, ULONG length, PLARGE_INTEGER offset, PULONG key);
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext, PIO_STATUS_BLOCK io,
                           PVOID buffer, ULONG length, PLARGE_INTEGER offset, PULONG key);
}

namespace tools {

namespace {

std::string Narrow(const std::wstring& wide) {
  std::string text;
  for (wchar_t c : wide) text += c < 0x80 ? (char)c : '?';
  return text;
}

std::string LastError(const char* what) {
  char text[256] = {};
  DWORD error = GetLastError();
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof(text),
                 nullptr);
  std::string reason = text;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) reason.pop_back();
  return std::string(what) + ": " + (reason.empty() ? "error " + std::to_string(error) : reason);
}

// The present still-image devices: for each, the name to open it by.
std::vector<std::wstring> StillImageDevices() {
  std::vector<std::wstring> names;
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_IMAGE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return names;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_IMAGE, index, &data)) break;
    std::vector<BYTE> detail(4096);
    auto* path = (SP_DEVICE_INTERFACE_DETAIL_DATA_W*)detail.data();
    path->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, path, (DWORD)detail.size(), nullptr, &device)) continue;
    std::wstring name = path->DevicePath;
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
      wchar_t value[256] = {};
      DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
      if (RegQueryValueExW(key, L"CreateFileName", nullptr, &type, (BYTE*)value, &size) == ERROR_SUCCESS &&
          type == REG_SZ && size > sizeof(wchar_t)) {
        name = value;
      }
      RegCloseKey(key);
    }
    names.push_back(name);
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

class WindowsDevice : public Device {
 public:
  ~WindowsDevice() override {
    if (handle_ != INVALID_HANDLE_VALUE) Close();
    if (bench_ != INVALID_HANDLE_VALUE) CloseHandle(bench_);
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (section_ != nullptr) CloseHandle(section_);
  }

  std::string Open() override {
    std::string shared = MapSenseSection();
    if (!shared.empty()) return shared;
    // A device may take a moment to appear after the system starts it.
    std::vector<std::wstring> names;
    for (int attempt = 0; attempt < 50 && names.empty(); ++attempt) {
      names = StillImageDevices();
      if (names.empty()) Sleep(100);
    }
    if (names.empty()) return "no still-image device is present";
    openName_ = Narrow(names[0]);
    handle_ = CreateFileW(names[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return LastError(("the device did not open by " + openName_).c_str());
    bench_ = CreateFileW(TESTBUS_OPEN_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    return "";
  }

  std::optional<uint64_t> SrbCount() override {
    std::optional<TESTBUS_STATS> stats = BenchStats();
    if (!stats) return std::nullopt;
    return (uint64_t)stats->Srbs + stats->Releases;
  }
  std::optional<uint64_t> ExecutedCount() override {
    std::optional<TESTBUS_STATS> stats = BenchStats();
    if (!stats) return std::nullopt;
    return stats->Srbs;
  }

  std::vector<std::string> Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return {};
  }

 protected:
  CommandResult DoCommand(std::span<const uint8_t> cdb, uint32_t direction, std::span<uint8_t> data) override {
    PUCHAR status = view_ != nullptr ? (PUCHAR)view_ : own_;
    PUCHAR sense = status + 1;
    std::memset(status, 0, 1 + kSenseBytes);
    SCSISCAN_CMD cmd = CommandBlock(cdb, direction, data.size(), status, sense);
    IoResult io = Ioctl(IOCTL_SCSISCAN_CMD, &cmd, sizeof(cmd), data.data(), (ULONG)data.size());
    CommandResult result;
    result.status = io.status;
    result.bytes = io.information;
    result.srbStatus = status[0];
    result.sense.assign(sense, sense + kSenseBytes);
    return result;
  }

  IoResult DoRead(std::span<uint8_t> data) override {
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = NtReadFile(handle_, nullptr, nullptr, nullptr, &io, data.data(), (ULONG)data.size(), nullptr,
                                 nullptr);
    return Result(status, io);
  }

  IoResult DoWrite(std::span<const uint8_t> data) override {
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = NtWriteFile(handle_, nullptr, nullptr, nullptr, &io, (PVOID)data.data(), (ULONG)data.size(),
                                  nullptr, nullptr);
    return Result(status, io);
  }

  IoResult DoControl(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output) override {
    return Ioctl(code, input.data(), (ULONG)input.size(), output.data(), (ULONG)output.size());
  }

 private:
  // The I/O status block where the request completed into it; the
  // returned status alone where it failed before.
  static IoResult Result(NTSTATUS returned, const IO_STATUS_BLOCK& io) {
    if (returned == STATUS_PENDING || io.Status == returned) return {io.Status, (size_t)io.Information};
    return {returned, 0};
  }

  IoResult Ioctl(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength) {
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, code, input, inputLength, output,
                                            outputLength);
    return Result(status, io);
  }

  std::optional<TESTBUS_STATS> BenchStats() {
    if (bench_ == INVALID_HANDLE_VALUE) return std::nullopt;
    TESTBUS_STATS stats = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(bench_, IOCTL_TESTBUS_GET_STATS, nullptr, 0, &stats, sizeof(stats), &bytes, nullptr)) {
      return std::nullopt;
    }
    return stats;
  }

  std::string MapSenseSection() {
    const char* setting = std::getenv("STILLSCSI_SENSE_SECTION");
    if (setting == nullptr || *setting == '\0') return "";
    std::string text = setting;
    size_t at = text.rfind('@');
    if (at == std::string::npos) return "STILLSCSI_SENSE_SECTION is not NAME@ADDRESS: " + text;
    std::wstring name(text.begin(), text.begin() + (std::ptrdiff_t)at);
    void* address = (void*)(uintptr_t)std::strtoull(text.c_str() + at + 1, nullptr, 16);
    section_ = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (section_ == nullptr) return LastError(("cannot open the section " + text.substr(0, at)).c_str());
    view_ = MapViewOfFileEx(section_, FILE_MAP_ALL_ACCESS, 0, 0, 0, address);
    if (view_ == nullptr) return LastError(("cannot map the section " + text.substr(0, at) + " at its address").c_str());
    return "";
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE bench_ = INVALID_HANDLE_VALUE;  // the test bus's control device, where there is one
  HANDLE section_ = nullptr;
  void* view_ = nullptr;
  UCHAR own_[1 + kSenseBytes] = {};  // the status byte and sense, where no section is shared
};

}  // namespace

void SetBinary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

std::unique_ptr<Device> MakeDevice(const DeviceOptions&) { return std::make_unique<WindowsDevice>(); }

}  // namespace tools
