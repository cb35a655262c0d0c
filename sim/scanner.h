// A simulated SCSI scanner: the scanner command set well enough for a
// scanning application (INQUIRY, TEST UNIT READY, REQUEST SENSE, SET and
// GET WINDOW, SCAN, READ, GET DATA BUFFER STATUS, OBJECT POSITION), behind
// the simulated port driver, scanning a test chart.
//
// What it does as a real one would: it is NOT READY, becoming ready, while
// its lamp warms up after power-on; a bad window or an unknown command is
// an ILLEGAL REQUEST; a command answers at most its allocation length and
// a transfer shorter than the buffer is an underrun; a read past the end of
// the image ends short with the residue in the sense data; and, when asked, it fails a read now and then
// (a unit attention or a hardware error) for retries to recover from.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

#include "instrument.h"
#include "scanner_commands.h"
#include "test_chart.h"

namespace sim {

struct ScannerOptions {
  uint32_t pageWidth = kA4Width, pageLength = kA4Length;  // 1/1200 inch
  std::chrono::milliseconds warmUp{0};                    // NOT READY after power-on
  double faultRate = 0;                                   // of reads that fail, recoverably
  uint32_t seed = 1;
  uint32_t bufferSize = 1u << 20;                         // reported by GET DATA BUFFER STATUS
};

class SimulatedScanner : public Instrument {
 public:
  explicit SimulatedScanner(ScannerOptions options = {});
  ScsiOutcome Execute(const ScsiCommand& command, std::span<uint8_t> data) override;

  const TestChart& Chart() const { return chart_; }
  ScanWindow Window() const;
  // Image bytes delivered of the current scan.
  uint64_t Delivered() const;
  int FaultsInjected() const;

  // INQUIRY's identification.
  static constexpr const char* kVendor = "STILLSIM";
  static constexpr const char* kProduct = "CHART SCANNER";
  static constexpr const char* kRevision = "1.0";

 private:
  ScsiOutcome Check(UCHAR key, UCHAR asc, UCHAR ascq);
  static ScsiOutcome Transferred(size_t buffer, size_t count);
  ScsiOutcome Answer(std::span<uint8_t> data, const uint8_t* bytes, size_t count, size_t allocation);
  bool WarmingUp() const;
  ScsiOutcome SetWindow(std::span<uint8_t> data, uint32_t listLength);
  ScsiOutcome ReadImage(std::span<uint8_t> data, uint32_t asked);

  mutable std::mutex mu_;
  ScannerOptions options_;
  TestChart chart_;
  std::chrono::steady_clock::time_point poweredOn_;
  std::minstd_rand random_;
  ScanWindow window_;
  bool scanning_ = false;
  uint64_t position_ = 0;   // next image byte to deliver
  std::vector<uint8_t> line_;  // the image line position_ lies in
  uint32_t lineNumber_ = UINT32_MAX;
  std::vector<uint8_t> sense_;  // for REQUEST SENSE
  int faults_ = 0;
};

}  // namespace sim
