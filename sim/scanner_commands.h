// The scanner command set's operation codes, for the simulated scanner and
// for the programs that drive a scanner.
#pragma once

#include <cstdint>
#include <vector>

#include "test_chart.h"

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

// SET WINDOW's parameter list: an 8-byte header whose last two bytes give
// the descriptor's length, and one window descriptor of 40 bytes, numbers
// big-endian; brightness, threshold and contrast at their middle.
inline std::vector<uint8_t> WindowParameters(const ScanWindow& window) {
  std::vector<uint8_t> list(48, 0);
  auto put = [](uint8_t* at, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i, value >>= 8) at[i] = (uint8_t)value;
  };
  put(&list[6], 40, 2);
  uint8_t* d = &list[8];
  put(d + 2, window.xResolution, 2);
  put(d + 4, window.yResolution, 2);
  put(d + 6, window.upperLeftX, 4);
  put(d + 10, window.upperLeftY, 4);
  put(d + 14, window.width, 4);
  put(d + 18, window.length, 4);
  d[22] = d[23] = d[24] = 128;
  d[25] = (uint8_t)window.composition;
  d[26] = window.bitsPerPixel;
  return list;
}

}  // namespace sim
