// The scanner simulation the host build uses, sim::SimulatedScanner, behind
// plain types, so that Windows programs can run it without the host build's
// kernel declarations meeting the platform's headers in one source.
// Test-only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {
class SimulatedScanner;
}

namespace testbus {

struct ScannerSetup {
  uint32_t pageWidth = 9921, pageLength = 14031;  // 1/1200 inch, A4
  uint32_t warmUpMs = 300;
  double faultRate = 0;
  uint32_t seed = 1;
};


// One command's outcome, as the unit reports it.
struct Outcome {
  uint8_t srbStatus = 0;   // the low six bits
  uint8_t scsiStatus = 0;
  uint32_t bytes = 0;      // moved
  std::vector<uint8_t> sense;
  bool reportsSenseLength = false;
  uint8_t senseLength = 0;  // with reportsSenseLength
};

class ScannerModel {
 public:
  explicit ScannerModel(const ScannerSetup& setup);
  ~ScannerModel();
  // Data holds the data-out bytes, or receives the data-in bytes.
  Outcome Execute(const uint8_t* cdb, uint8_t cdbLength, uint32_t srbFlags, std::span<uint8_t> data);

 private:
  std::unique_ptr<sim::SimulatedScanner> scanner_;
};

}  // namespace testbus
