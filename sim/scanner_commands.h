// The scanner command set's operation codes, for the simulated scanner and
// for the programs that drive a scanner.
#pragma once

#include <cstdint>

namespace sim {

// The scanner command set's operation codes.
enum ScannerCommand : uint8_t {
  kTestUnitReady = 0x00,
  kRequestSense = 0x03,
  kRead6 = 0x08,
  kInquiry = 0x12,
  kScan = 0x1B,
  kSetWindow = 0x24,
  kGetWindow = 0x25,
  kRead10 = 0x28,
  kObjectPosition = 0x31,
  kGetDataBufferStatus = 0x34,
};

}  // namespace sim
