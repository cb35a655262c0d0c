// The scanner server's side of the test bus's inverted call, shared by
// scanner_host.exe and wine_test.exe: the serving loop that answers the
// instrument's SRBs with the scanner simulation, and the sense section that
// the application and the driver's process map at one address. Test-only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "scanner_model.h"

namespace testbus {

// What the server saw of one SRB and answered.
struct ServedCommand {
  std::vector<uint8_t> cdb;
  uint32_t srbFlags = 0;
  uint32_t length = 0;        // DataTransferLength
  uint8_t srbStatus = 0;      // answered, low six bits
  uint32_t moved = 0;
  uint64_t dataOutSum = 0;    // of the data-out bytes received
};

class ScannerService {
 public:
  explicit ScannerService(const ScannerSetup& setup) : model_(setup) {}
  // Answers SRBs from the bus until the bus says stop (returns 0) or a
  // request fails (returns the Windows error).
  DWORD Serve(HANDLE bus);
  std::vector<ServedCommand> Log() const;

 private:
  ScannerModel model_;
  mutable std::mutex mu_;
  std::vector<ServedCommand> log_;
};

HANDLE OpenBus();

// NAME@HEXADDRESS, as STILLSCSI_SENSE_SECTION holds it.
bool ParseSection(const std::string& text, std::wstring* name, uint64_t* address);

// A view of the sense section at its agreed address.
struct SenseSection {
  HANDLE mapping = nullptr;
  unsigned char* view = nullptr;
};

// Creates the section (TESTBUS_SENSE_SECTION_SIZE bytes), maps it at Address
// here and has the bus map it at the same address in the driver's process.
bool CreateSenseSection(HANDLE bus, const std::wstring& name, uint64_t address, SenseSection* section);
// Opens and maps a section another program created, as an application does.
bool OpenSenseSection(const std::wstring& name, uint64_t address, SenseSection* section);
void CloseSenseSection(SenseSection* section);

}  // namespace testbus
