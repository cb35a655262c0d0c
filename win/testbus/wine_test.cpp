// The driver image on Wine's kernel: installs the test bus and stillscsi.sys
// from their INFs through SetupAPI, finds the instrument through its device
// interface and through the name the driver published in "CreateFileName",
// and uses it as an application does, with the scanner simulation answering
// the instrument's SRBs from a thread of this program (the bus's inverted
// call) and the status and sense of pass-throughs in the sense section.
// Exit code 0 when every check held.
//   wine_test.exe DIR          the whole test; DIR holds stillscsi.inf, stillscsi.sys, testbus.inf, testbus.sys
//   wine_test.exe install DIR  installs both and returns once the instrument's interface is present
//   wine_test.exe remove       removes the bus and its instrument
//   wine_test.exe probe        a pass-through program of the sense section's contract (STILLSCSI_SENSE_SECTION),
//                              against a scanner server that runs already
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#define STILLSCSI_USER_MODE
#include "scanner_commands.h"
#include "scanner_service.h"
#include "stillscsi_ioctl.h"
#include "test_chart.h"
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


constexpr UCHAR kSrbSuccess = 0x01, kSrbError = 0x04, kSrbSelectionTimeout = 0x0A;
constexpr UCHAR kQueueFrozen = 0x40, kAutosenseValid = 0x80;
constexpr ULONG kDataIn = 0x40, kDataOut = 0x80;
constexpr size_t kSenseOffset = 64;  // of the sense buffer in the section; the status byte is at 0
constexpr UCHAR kSenseLength = 18;

// Installs the driver package and the bus, and waits for the instrument.
bool Install(std::wstring dir, std::wstring* interfacePath, std::wstring* createFileName) {
  if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
  // The driver package goes into the system's INF folder first, so that the
  // Plug and Play manager finds its driver when the bus reports the
  // instrument.
  if (!SetupCopyOEMInfW((dir + L"stillscsi.inf").c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
    Stop("SetupCopyOEMInf (stillscsi.inf)");
  }
  InstallRootDevice(dir + L"testbus.inf", TESTBUS_ROOT_HARDWARE_ID);
  return FindInstrument(interfacePath, createFileName);
}

// One pass-through: status byte and sense buffer at Status and Sense (in the
// sense section, or wherever a check puts them), data as the request's
// output buffer.
struct PassThrough {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD returned = 0;
};

PassThrough SendCommand(HANDLE device, std::initializer_list<UCHAR> cdb, ULONG flags, void* data, DWORD length,
                        UCHAR* status, UCHAR* sense, UCHAR senseLength = kSenseLength) {
  SCSISCAN_CMD cmd = {};
  cmd.Size = sizeof(cmd);
  cmd.SrbFlags = flags;
  cmd.CdbLength = (UCHAR)cdb.size();
  cmd.SenseLength = senseLength;
  cmd.TransferLength = length;
  std::memcpy(cmd.Cdb, cdb.begin(), cdb.size());
  cmd.pSrbStatus = status;
  cmd.pSenseBuffer = sense;
  PassThrough result;
  result.ok = DeviceIoControl(device, IOCTL_SCSISCAN_CMD, &cmd, sizeof(cmd), data, length, &result.returned, nullptr);
  result.error = result.ok ? 0 : GetLastError();
  return result;
}

// A pass-through of a 6-byte CDB without data through NtDeviceIoControlFile,
// for the NTSTATUS itself.
NTSTATUS NtControl(HANDLE device, ULONG code, UCHAR operation, UCHAR* status, UCHAR* sense) {
  typedef NTSTATUS(NTAPI * Routine)(HANDLE, HANDLE, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, PVOID, ULONG);
  static Routine control = (Routine)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeviceIoControlFile");
  SCSISCAN_CMD cmd = {};
  cmd.Size = sizeof(cmd);
  cmd.CdbLength = 6;
  cmd.SenseLength = kSenseLength;
  cmd.Cdb[0] = operation;
  cmd.pSrbStatus = status;
  cmd.pSenseBuffer = sense;
  ULONG_PTR ioStatus[2] = {};
  return control(device, nullptr, nullptr, nullptr, ioStatus, code, &cmd, sizeof(cmd), nullptr, 0);
}

UCHAR Byte(unsigned value, int shift) { return (UCHAR)(value >> shift); }

bool SenseIs(const UCHAR* sense, UCHAR key, UCHAR asc, UCHAR ascq) {
  return (sense[0] & 0x7F) == 0x70 && (sense[2] & 0x0F) == key && sense[12] == asc && sense[13] == ascq;
}

// The section's name and address from STILLSCSI_SENSE_SECTION.
bool SectionFromEnvironment(std::wstring* name, uint64_t* address) {
  const char* text = std::getenv(TESTBUS_SENSE_SECTION_ENV);
  return text != nullptr && testbus::ParseSection(text, name, address);
}

// The contract's program side: INQUIRY and a refused command through the
// section another program created.
int Probe() {
  std::wstring name;
  uint64_t address = 0;
  if (!SectionFromEnvironment(&name, &address)) Stop(TESTBUS_SENSE_SECTION_ENV " is not NAME@HEXADDRESS");
  testbus::SenseSection section;
  Check(testbus::OpenSenseSection(name, address, &section), "the sense section opens and maps at its address");
  if (g_failures) return 1;
  std::wstring interfacePath, createFileName;
  Check(FindInstrument(&interfacePath, &createFileName), "the instrument is present");
  HANDLE device = OpenDevice(interfacePath);
  Check(device != INVALID_HANDLE_VALUE, "opened by its interface");
  if (g_failures) return 1;
  UCHAR* status = section.view;
  UCHAR* sense = section.view + kSenseOffset;
  UCHAR inquiry[36] = {};
  PassThrough sent = SendCommand(device, {0x12, 0, 0, 0, 36, 0}, kDataIn, inquiry, 36, status, sense);
  Check(sent.ok && *status == kSrbSuccess && std::memcmp(inquiry + 8, "STILLSIM", 8) == 0,
        "INQUIRY through the scanner server, its status in the section");
  std::memset(sense, 0, kSenseLength);
  sent = SendCommand(device, {0xC1, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, sense);
  Check(sent.ok && *status == (kSrbError | kQueueFrozen | kAutosenseValid) && SenseIs(sense, 0x5, 0x20, 0x00),
        "an unknown operation code: CHECK CONDITION with its sense in the section");
  CloseHandle(device);
  testbus::CloseSenseSection(&section);
  std::printf("%s: %d check(s) failed\n", g_failures ? "FAILED" : "passed", g_failures);
  return g_failures ? 1 : 0;
}

// The pass-through on Wine, against the scanner simulation: sense and status
// in the section, data through the request's buffer, SRBs as the bus saw
// them. Leaves the scanner scanning a window whose image the caller reads on;
// returns that image, and in *Consumed how much of it was read.
std::vector<uint8_t> CheckPassThrough(HANDLE device, HANDLE bus, const testbus::ScannerService& server,
                                      UCHAR* status, UCHAR* sense, size_t* consumed) {
  // The lamp warms up: NOT READY, becoming ready, with the queue frozen and
  // released by the driver.
  TESTBUS_STATS before = Stats(bus);
  std::memset(sense, 0, kSenseLength);
  PassThrough sent = SendCommand(device, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, sense);
  TESTBUS_STATS after = Stats(bus);
  Check(sent.ok && *status == (kSrbError | kQueueFrozen | kAutosenseValid) && SenseIs(sense, 0x2, 0x04, 0x01),
        "TEST UNIT READY while warming up: CHECK CONDITION, autosense valid, NOT READY 04/01 in the section");
  Check(after.Releases - before.Releases == 1 && after.Served - before.Served == 1,
        "the frozen queue released once, the SRB answered by the scanner server");
  bool ready = false;
  for (int attempt = 0; attempt < 100 && !ready; ++attempt) {
    sent = SendCommand(device, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, sense);
    ready = sent.ok && *status == kSrbSuccess;
    if (!ready) Sleep(100);
  }
  Check(ready, "TEST UNIT READY succeeds once warm");

  UCHAR inquiry[36];
  std::memset(inquiry, 0xEE, sizeof(inquiry));
  sent = SendCommand(device, {0x12, 0, 0, 0, 36, 0}, kDataIn, inquiry, 36, status, sense);
  Check(sent.ok && sent.returned == 36 && *status == kSrbSuccess && inquiry[0] == 0x06 &&
            std::memcmp(inquiry + 8, "STILLSIM", 8) == 0 && std::memcmp(inquiry + 16, "CHART SCANNER   ", 16) == 0,
        "INQUIRY: 36 bytes, a scanner, vendor STILLSIM, product CHART SCANNER");

  std::memset(sense, 0, kSenseLength);
  before = Stats(bus);
  sent = SendCommand(device, {0xC1, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, sense);
  after = Stats(bus);
  Check(sent.ok && *status == (kSrbError | kQueueFrozen | kAutosenseValid) && SenseIs(sense, 0x5, 0x20, 0x00) &&
            after.Releases - before.Releases == 1,
        "an unknown operation code: ILLEGAL REQUEST 20/00 in the section, the queue released");

  // SET WINDOW's 48 bytes go out through the request's output buffer.
  sim::ScanWindow window;
  window.xResolution = window.yResolution = 200;
  window.width = 2400;
  window.length = 3600;
  window.composition = sim::ImageComposition::Gray;
  window.bitsPerPixel = 8;
  std::vector<UCHAR> list = sim::WindowParameters(window);
  uint64_t listSum = 0;
  for (UCHAR byte : list) listSum += byte;
  sent = SendCommand(device, {0x24, 0, 0, 0, 0, 0, 0, 0, 48, 0}, kDataOut, list.data(), 48, status, sense);
  std::vector<testbus::ServedCommand> log = server.Log();
  Check(!log.empty() && log.back().cdb[0] == 0x24 && log.back().length == 48 && log.back().dataOutSum == listSum,
        "SET WINDOW's 48 bytes reach the scanner");
  Check(sent.ok && *status == kSrbSuccess, "SET WINDOW accepted");
  sent = SendCommand(device, {0x1B, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, sense);
  Check(sent.ok && *status == kSrbSuccess, "SCAN");

  // A READ(10) of several chunks: each chunk's CDB states its own length.
  std::vector<uint8_t> image = sim::TestChart().Render(window);
  const DWORD length = 100000;
  std::vector<uint8_t> data(length, 0xEE);
  size_t first = server.Log().size();
  sent = SendCommand(device, {0x28, 0, 0, 0, 0, 0, Byte(length, 16), Byte(length, 8), Byte(length, 0), 0}, kDataIn,
                     data.data(), length, status, sense);
  log = server.Log();
  Check(sent.ok && sent.returned == length && *status == kSrbSuccess, "READ(10) of 100000 bytes");
  Check(std::memcmp(data.data(), image.data(), length) == 0, "the bytes are the chart's render of the window");
  uint64_t stated = 0;
  bool chunks = log.size() - first == (length + TESTBUS_MAXIMUM_TRANSFER - 1) / TESTBUS_MAXIMUM_TRANSFER;
  for (size_t i = first; i < log.size(); ++i) {
    const std::vector<uint8_t>& cdb = log[i].cdb;
    uint32_t chunk = cdb.size() == 10 ? (uint32_t)cdb[6] << 16 | cdb[7] << 8 | cdb[8] : 0;
    chunks &= cdb[0] == 0x28 && chunk == log[i].length && chunk <= TESTBUS_MAXIMUM_TRANSFER;
    stated += chunk;
  }
  Check(chunks && stated == length,
        "cut into 7 chunks, each CDB stating its own length of at most 16384, 100000 in all");
  *consumed = length;
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "probe") == 0) return Probe();
  if (argc == 2 && std::strcmp(argv[1], "remove") == 0) return RemoveInstalled(TESTBUS_ROOT_HARDWARE_ID) ? 0 : 1;
  std::wstring interfacePath, createFileName;
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) {
    if (!Install(Wide(argv[2]), &interfacePath, &createFileName)) Stop("the instrument's interface did not appear");
    std::printf("installed: %ls\n", interfacePath.c_str());
    return 0;
  }
  if (argc != 2) {
    std::printf("usage: wine_test.exe DIR | install DIR | remove | probe\n");
    return 2;
  }

  Check(Install(Wide(argv[1]), &interfacePath, &createFileName), "the instrument's interface and CreateFileName appear");
  if (g_failures) return 1;
  std::printf("interface: %ls\nCreateFileName: %ls\n", interfacePath.c_str(), createFileName.c_str());

  HANDLE bus = OpenDevice(TESTBUS_OPEN_NAME);
  HANDLE serverBus = OpenDevice(TESTBUS_OPEN_NAME);
  if (bus == INVALID_HANDLE_VALUE || serverBus == INVALID_HANDLE_VALUE) Stop("open the test bus");
  HANDLE first = OpenDevice(createFileName);
  HANDLE second = OpenDevice(interfacePath);
  Check(first != INVALID_HANDLE_VALUE, "opened by CreateFileName");
  Check(second != INVALID_HANDLE_VALUE, "opened by its interface");
  if (g_failures) return 1;

  Check(Stats(bus).PatchedImports == 4,
        "the four imports Wine lacks or leaves empty were pointed at the test bus's stand-ins as the image loaded");

  // The sense section, at one address here and in the driver's process.
  testbus::SenseSection section;
  Check(testbus::CreateSenseSection(bus, TESTBUS_SENSE_SECTION_NAME, TESTBUS_SENSE_SECTION_ADDRESS, &section) &&
            Stats(bus).SectionsMapped == 1,
        "the sense section is mapped at 0x7E0000000 here and in the driver's process");
  if (g_failures) return 1;
  UCHAR* status = section.view;
  UCHAR* sense = section.view + kSenseOffset;

  // The scanner behind the bus, served from a thread of this program.
  testbus::ScannerSetup setup;
  setup.warmUpMs = 1500;
  testbus::ScannerService server(setup);
  DWORD served = ~0u;
  std::thread serving([&] { served = server.Serve(serverBus); });

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

  size_t position = 0;
  std::vector<uint8_t> image = CheckPassThrough(first, bus, server, status, sense, &position);

  // Sense and status where the caller owns nothing: refused by the driver's
  // guarded probe, nothing sent. A low address faults in the probe's touch
  // of the page; reserved memory may lie at an address the driver's process
  // has, where the bus refuses it.
  TESTBUS_STATS before = Stats(bus);
  void* reserved = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_READWRITE);
  PassThrough sent = SendCommand(first, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, (UCHAR*)reserved);
  Check(!sent.ok && sent.error == ERROR_NOACCESS, "a sense buffer in reserved, uncommitted memory: ERROR_NOACCESS");
  VirtualFree(reserved, 0, MEM_RELEASE);
  TESTBUS_STATS middle = Stats(bus);
  NTSTATUS refused = NtControl(first, IOCTL_SCSISCAN_CMD, 0x00, status, (UCHAR*)0x1000);
  TESTBUS_STATS after = Stats(bus);
  Check(refused == (NTSTATUS)0xC0000005, "a sense buffer at a low address: STATUS_ACCESS_VIOLATION");
  Check(after.Probes - middle.Probes == 1 && after.ProbesRefused == middle.ProbesRefused,
        "the low address faulted in the probe's touch of the page, caught by the driver's guard");
  Check(after.Srbs == before.Srbs, "nothing was sent for either");

  // ReadFile goes on with the scan's image, cut into chunks.
  const DWORD length = 100000;
  std::vector<unsigned char> data(length);
  DWORD moved = 0;
  before = Stats(bus);
  Check(ReadFile(first, data.data(), length, &moved, nullptr) && moved == length, "ReadFile of 100000 bytes");
  after = Stats(bus);
  Check(std::memcmp(data.data(), image.data() + position, length) == 0, "the bytes read are the scan's next bytes");
  position += length;
  Check(after.Srbs - before.Srbs == (length + TESTBUS_MAXIMUM_TRANSFER - 1) / TESTBUS_MAXIMUM_TRANSFER &&
            after.LargestTransfer <= TESTBUS_MAXIMUM_TRANSFER,
        "cut into chunks the adapter can carry");

  // A write reaches the scanner, which has no WRITE command and refuses it.
  unsigned long long sum = 0;
  const DWORD written = 16384;
  for (DWORD i = 0; i < written; ++i) sum += data[i] = (unsigned char)(i * 13 + 5);
  size_t logged = server.Log().size();
  Check(!WriteFile(first, data.data(), written, &moved, nullptr), "WriteFile of 16384 bytes is refused");
  std::vector<testbus::ServedCommand> log = server.Log();
  Check(log.size() > logged && log[logged].cdb[0] == 0x0A && log[logged].length == written &&
            log[logged].dataOutSum == sum && log[logged].srbStatus == kSrbError,
        "the written bytes reached the scanner, which answered ILLEGAL REQUEST");

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
  Check(ReadFile(first, data.data(), 4096, &moved, nullptr) && moved == 4096 &&
            std::memcmp(data.data(), image.data() + position, 4096) == 0,
        "the next read is served with the scan's next bytes");

  // The server stops when the bus tells it; an SRB without a server ends
  // within the bus's wait, as a target that does not answer selection.
  Check(Control(bus, IOCTL_TESTBUS_STOP_SERVER, nullptr, 0, nullptr, 0), "STOP_SERVER");
  serving.join();
  Check(served == 0, "the serving loop ended as told");
  // A server's pending request ends when cancelled, and when its handle
  // closes; neither leaves a server behind for the next SRB.
  HANDLE gone = CreateFileW(TESTBUS_OPEN_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  auto pending = std::make_unique<TESTBUS_SRB>();
  OVERLAPPED asked = {};
  asked.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL done = DeviceIoControl(gone, IOCTL_TESTBUS_NEXT_SRB, nullptr, 0, pending.get(), sizeof(TESTBUS_SRB), nullptr,
                              &asked);
  bool waits = !done && GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(asked.hEvent, 200) == WAIT_TIMEOUT;
  CancelIoEx(gone, &asked);
  DWORD ignored = 0;
  Check(waits && WaitForSingleObject(asked.hEvent, 3000) == WAIT_OBJECT_0 &&
            !GetOverlappedResult(gone, &asked, &ignored, FALSE) && GetLastError() == ERROR_OPERATION_ABORTED,
        "a server's NEXT_SRB waits, and ends when cancelled");
  ResetEvent(asked.hEvent);
  done = DeviceIoControl(gone, IOCTL_TESTBUS_NEXT_SRB, nullptr, 0, pending.get(), sizeof(TESTBUS_SRB), nullptr, &asked);
  waits = !done && GetLastError() == ERROR_IO_PENDING;
  CloseHandle(gone);
  Check(waits && WaitForSingleObject(asked.hEvent, 3000) == WAIT_OBJECT_0 && asked.Internal != 0,
        "a server's NEXT_SRB ends when its handle closes");
  CloseHandle(asked.hEvent);

  before = Stats(bus);
  DWORD start = GetTickCount();
  sent = SendCommand(first, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0, status, sense);
  DWORD waited = GetTickCount() - start;
  after = Stats(bus);
  Check(sent.ok && *status == kSrbSelectionTimeout && after.NoServer - before.NoServer == 1 &&
            waited >= TESTBUS_SERVER_WAIT_MS - 500 && waited < TESTBUS_SERVER_WAIT_MS + 3000,
        "without a server an SRB ends after the bus's wait with SRB_STATUS_SELECTION_TIMEOUT");

  CloseHandle(first);
  CloseHandle(second);
  CloseHandle(serverBus);
  CloseHandle(bus);
  testbus::CloseSenseSection(&section);

  // Removal through SetupAPI.
  Check(RemoveInstalled(TESTBUS_ROOT_HARDWARE_ID), "DIF_REMOVE of the bus completes");
  HANDLE removed = OpenDevice(createFileName);
  Check(removed == INVALID_HANDLE_VALUE, "the device's name is gone after the removal");
  if (removed != INVALID_HANDLE_VALUE) CloseHandle(removed);

  std::printf("%s: %d check(s) failed\n", g_failures ? "FAILED" : "passed", g_failures);
  return g_failures ? 1 : 0;
}
