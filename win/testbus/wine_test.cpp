// The driver image on Wine's kernel: installs the test bus and stillscsi.sys
// from their INFs through SetupAPI, finds the instrument through its device
// interface and through the name the driver published in "CreateFileName",
// and uses it as an application does. Exit code 0 when every check held.
//   wine_test.exe DIR      DIR holds stillscsi.inf, stillscsi.sys, testbus.inf, testbus.sys
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#define STILLSCSI_USER_MODE
#include "stillscsi_ioctl.h"
#include "testbus_ioctl.h"

namespace {

int g_failures = 0;

void Check(bool condition, const char* what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
  std::fflush(stdout);
  if (!condition) ++g_failures;
}

[[noreturn]] void Stop(const char* what) {
  std::printf("FAILED: %s (error %lu)\n", what, GetLastError());
  std::exit(1);
}

std::wstring Wide(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide += (wchar_t)(unsigned char)*text;
  return wide;
}

// Registers a root-enumerated device with Hardware id and installs the
// driver of Inf for it.
void InstallRootDevice(const std::wstring& inf, const wchar_t* hardwareId) {
  GUID classGuid;
  wchar_t className[64];
  if (!SetupDiGetINFClassW(inf.c_str(), &classGuid, className, 64, nullptr)) Stop("SetupDiGetINFClass");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) Stop("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  if (!SetupDiCreateDeviceInfoW(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device)) {
    Stop("SetupDiCreateDeviceInfo");
  }
  std::wstring ids = std::wstring(hardwareId) + L'\0' + L'\0';
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE*)ids.data(),
                                         (DWORD)(ids.size() * sizeof(wchar_t)))) {
    Stop("SetupDiSetDeviceRegistryProperty");
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) Stop("DIF_REGISTERDEVICE");
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
    Stop("UpdateDriverForPlugAndPlayDevices (bus)");
  }
  SetupDiDestroyDeviceInfoList(set);
}

// The path of the first present device of the still-image interface, and
// its device's "CreateFileName"; waits for it a bounded time.
bool FindInstrument(std::wstring* interfacePath, std::wstring* createFileName) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_IMAGE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set != INVALID_HANDLE_VALUE) {
      SP_DEVICE_INTERFACE_DATA data = {};
      data.cbSize = sizeof(data);
      if (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_IMAGE, 0, &data)) {
        std::vector<BYTE> detail(4096);
        auto* path = (SP_DEVICE_INTERFACE_DETAIL_DATA_W*)detail.data();
        path->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, path, (DWORD)detail.size(), nullptr, &device)) {
          *interfacePath = path->DevicePath;
          HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
          if (key != INVALID_HANDLE_VALUE) {
            wchar_t value[256] = {};
            DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
            if (RegQueryValueExW(key, L"CreateFileName", nullptr, &type, (BYTE*)value, &size) == ERROR_SUCCESS &&
                type == REG_SZ && size != 0) {
              *createFileName = std::wstring(value, size / sizeof(wchar_t));
            }
            RegCloseKey(key);
          }
          SetupDiDestroyDeviceInfoList(set);
          if (!createFileName->empty()) return true;
        }
      } else {
        SetupDiDestroyDeviceInfoList(set);
      }
    }
    Sleep(100);
  }
  return false;
}

HANDLE OpenDevice(const std::wstring& name) {
  return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

bool Control(HANDLE device, DWORD code, void* input, DWORD inputLength, void* output, DWORD outputLength,
             DWORD* returned = nullptr) {
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(device, code, input, inputLength, output, outputLength, &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok != FALSE;
}

TESTBUS_STATS Stats(HANDLE bus) {
  TESTBUS_STATS stats = {};
  if (!Control(bus, IOCTL_TESTBUS_GET_STATS, nullptr, 0, &stats, sizeof(stats))) Stop("IOCTL_TESTBUS_GET_STATS");
  return stats;
}

// Removes every device of the still-image class and of the system class
// that the test installed (DIF_REMOVE sends IRP_MN_REMOVE_DEVICE).
bool RemoveInstalled(const wchar_t* hardwareId) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool removed = false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    wchar_t ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, (BYTE*)ids, sizeof(ids) - 4,
                                           nullptr)) {
      continue;
    }
    for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) {
      if (_wcsicmp(id, hardwareId) == 0) {
        removed |= SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
        break;
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return removed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: wine_test.exe DIR\n");
    return 2;
  }
  std::wstring dir = Wide(argv[1]);
  if (!dir.empty() && dir.back() != L'\\') dir += L'\\';

  // The driver package goes into the system's INF folder first, so that the
  // Plug and Play manager finds its driver when the bus reports the
  // instrument.
  if (!SetupCopyOEMInfW((dir + L"stillscsi.inf").c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
    Stop("SetupCopyOEMInf (stillscsi.inf)");
  }
  InstallRootDevice(dir + L"testbus.inf", TESTBUS_ROOT_HARDWARE_ID);

  std::wstring interfacePath, createFileName;
  Check(FindInstrument(&interfacePath, &createFileName), "the instrument's interface and CreateFileName appear");
  if (g_failures) return 1;
  std::printf("interface: %ls\nCreateFileName: %ls\n", interfacePath.c_str(), createFileName.c_str());

  HANDLE bus = OpenDevice(TESTBUS_OPEN_NAME);
  if (bus == INVALID_HANDLE_VALUE) Stop("open the test bus");
  HANDLE first = OpenDevice(createFileName);
  HANDLE second = OpenDevice(interfacePath);
  Check(first != INVALID_HANDLE_VALUE, "opened by CreateFileName");
  Check(second != INVALID_HANDLE_VALUE, "opened by its interface");
  if (g_failures) return 1;

  Check(Stats(bus).PatchedImports == 4,
        "the four imports Wine lacks or leaves empty were pointed at the test bus's stand-ins as the image loaded");

  // The SCSI address the bus reports.
  SCSISCAN_INFO info;
  std::memset(&info, 0xA5, sizeof(info));
  DWORD returned = 0;
  Check(Control(first, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, &info, sizeof(info), &returned) &&
            info.PortNumber == TESTBUS_PORT && info.PathId == TESTBUS_PATH && info.TargetId == TESTBUS_TARGET &&
            info.Lun == TESTBUS_LUN,
        "GET_INFO gives the address the bus reports");

  // Lock, and a second handle refused while it is held.
  Check(Control(first, IOCTL_SCSISCAN_LOCKDEVICE, nullptr, 0, nullptr, 0), "LOCKDEVICE");
  Check(!Control(second, IOCTL_SCSISCAN_LOCKDEVICE, nullptr, 0, nullptr, 0) && GetLastError() == ERROR_BUSY,
        "a second handle's LOCKDEVICE fails with ERROR_BUSY");
  Check(!Control(second, IOCTL_SCSISCAN_GET_INFO, nullptr, 0, &info, sizeof(info)) && GetLastError() == ERROR_BUSY,
        "a second handle's request is refused while the first holds the lock");
  Check(Control(first, IOCTL_SCSISCAN_UNLOCKDEVICE, nullptr, 0, nullptr, 0), "UNLOCKDEVICE");

  // The timeout: the previous value comes back.
  ULONG timeout = 120, previous = 0;
  Check(Control(first, IOCTL_SCSISCAN_SET_TIMEOUT, &timeout, sizeof(timeout), &previous, sizeof(previous)) &&
            previous == 60,
        "SET_TIMEOUT gives back the previous timeout, 60");
  timeout = 60;
  Check(Control(first, IOCTL_SCSISCAN_SET_TIMEOUT, &timeout, sizeof(timeout), &previous, sizeof(previous)) &&
            previous == 120,
        "SET_TIMEOUT gives back 120");

  // A read of several chunks brings the instrument's bytes exactly.
  TESTBUS_STATS before = Stats(bus);
  const DWORD length = 100000;
  std::vector<unsigned char> data(length);
  DWORD moved = 0;
  Check(ReadFile(first, data.data(), length, &moved, nullptr) && moved == length, "ReadFile of 100000 bytes");
  TESTBUS_STATS after = Stats(bus);
  bool same = true;
  for (DWORD i = 0; i < length; ++i) same &= data[i] == TestBusPatternByte(before.ReadBytes + i);
  Check(same, "the bytes read are the instrument's");
  Check(after.Srbs - before.Srbs == (length + TESTBUS_MAXIMUM_TRANSFER - 1) / TESTBUS_MAXIMUM_TRANSFER &&
            after.LargestTransfer <= TESTBUS_MAXIMUM_TRANSFER,
        "cut into chunks the adapter can carry");

  // A write reaches the instrument.
  unsigned long long sum = 0;
  for (DWORD i = 0; i < length; ++i) sum += data[i] = (unsigned char)(i * 13 + 5);
  before = Stats(bus);
  Check(WriteFile(first, data.data(), length, &moved, nullptr) && moved == length, "WriteFile of 100000 bytes");
  after = Stats(bus);
  Check(after.WrittenBytes - before.WrittenBytes == length && after.WrittenSum - before.WrittenSum == sum,
        "the instrument received the bytes written");

  // A hardware error on every attempt: a device error after the retries,
  // each freeze released.
  ULONG failures = 5;
  Check(Control(bus, IOCTL_TESTBUS_FAIL_NEXT, &failures, sizeof(failures), nullptr, 0), "script five failures");
  before = Stats(bus);
  Check(!ReadFile(first, data.data(), 4096, &moved, nullptr) && GetLastError() == ERROR_IO_DEVICE,
        "a read failing with a hardware error ends as a device error (ERROR_IO_DEVICE)");
  after = Stats(bus);
  Check(after.Failed - before.Failed == 5 && after.Releases - before.Releases == 5,
        "tried five times, each frozen queue released");
  Check(ReadFile(first, data.data(), 4096, &moved, nullptr) && moved == 4096, "the next read is served");

  CloseHandle(first);
  CloseHandle(second);
  CloseHandle(bus);

  // Removal through SetupAPI.
  Check(RemoveInstalled(TESTBUS_ROOT_HARDWARE_ID), "DIF_REMOVE of the bus completes");
  HANDLE gone = OpenDevice(createFileName);
  Check(gone == INVALID_HANDLE_VALUE, "the device's name is gone after the removal");
  if (gone != INVALID_HANDLE_VALUE) CloseHandle(gone);

  std::printf("%s: %d check(s) failed\n", g_failures ? "FAILED" : "passed", g_failures);
  return g_failures ? 1 : 0;
}
