// scanner_host.exe: the scanner server for the test bus on Wine. Attaches to
// the bus, optionally creates the sense section and has the bus map it,
// prints "ready", and answers the instrument's SRBs with the scanner
// simulation until killed or until the bus tells it to stop. Test-only.
//   scanner_host.exe [--warm-up MS] [--page a4|a5|a3|letter] [--fault-rate R]
//                    [--seed N] [--sense-section NAME@HEXADDRESS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scanner_service.h"
#include "test_chart.h"
#include "testbus_ioctl.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: scanner_host.exe [--warm-up MS] [--page a4|a5|a3|letter] [--fault-rate R] [--seed N]\n"
               "                        [--sense-section NAME@HEXADDRESS]\n"
               "  --warm-up MS         NOT READY for MS milliseconds after the start (default 300)\n"
               "  --page SIZE          the chart's page (default a4)\n"
               "  --fault-rate R       share of reads that fail, recoverably (default 0)\n"
               "  --seed N             of the fault choice (default 1)\n"
               "  --sense-section S    create the sense section S (e.g. Global\\StillScsiSense@7E0000000) and have\n"
               "                       the bus map it (default none)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  testbus::ScannerSetup setup;
  std::string section;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string value = argv[++i];
    char* end = nullptr;
    if (option == "--warm-up") {
      setup.warmUpMs = (uint32_t)std::strtoul(value.c_str(), &end, 10);
    } else if (option == "--page") {
      if (!sim::PageSize(value, &setup.pageWidth, &setup.pageLength)) return Usage();
      continue;
    } else if (option == "--fault-rate") {
      setup.faultRate = std::strtod(value.c_str(), &end);
      if (setup.faultRate < 0 || setup.faultRate > 1) return Usage();
    } else if (option == "--seed") {
      setup.seed = (uint32_t)std::strtoul(value.c_str(), &end, 10);
    } else if (option == "--sense-section") {
      section = value;
      continue;
    } else {
      return Usage();
    }
    if (end == nullptr || *end != 0 || value.empty()) return Usage();
  }

  // The bus appears when its installation has started it.
  HANDLE bus = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && bus == INVALID_HANDLE_VALUE; ++attempt) {
    bus = testbus::OpenBus();
    if (bus == INVALID_HANDLE_VALUE) Sleep(100);
  }
  if (bus == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "scanner_host: the test bus is not there (error %lu)\n", GetLastError());
    return 1;
  }
  testbus::SenseSection sense;
  if (!section.empty()) {
    std::wstring name;
    uint64_t address = 0;
    if (!testbus::ParseSection(section, &name, &address)) return Usage();
    if (!testbus::CreateSenseSection(bus, name, address, &sense)) {
      std::fprintf(stderr, "scanner_host: the sense section %s could not be shared (error %lu)\n", section.c_str(),
                   GetLastError());
      return 1;
    }
  }
  testbus::ScannerService service(setup);
  std::printf("ready\n");
  std::fflush(stdout);
  DWORD error = service.Serve(bus);
  testbus::CloseSenseSection(&sense);
  CloseHandle(bus);
  if (error != 0) std::fprintf(stderr, "scanner_host: serving ended (error %lu)\n", error);
  return error == 0 ? 0 : 1;
}
