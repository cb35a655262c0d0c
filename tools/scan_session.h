// A scan as scanner software makes it, through the driver's public
// interface only: open by the published name, lock, timeout, address,
// INQUIRY, TEST UNIT READY until ready, SET WINDOW, SCAN, READ in large
// requests through the pass-through or ReadFile, OBJECT POSITION, unlock;
// then a PNG of the image and a check against the instrument's page.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "test_chart.h"

namespace tools {

enum class Via { PassThrough, ReadFile };

// After a recoverable failure, a READ (or a ReadFile) is sent again; a
// scan gives up after this many in a row that moved no byte.
inline constexpr int kStalledReads = 20;

struct ScanOptions {
  sim::ScanWindow window;              // in 1/1200 inch, resolution in dpi
  uint32_t pageWidth = sim::kA4Width, pageLength = sim::kA4Length;
  Via via = Via::PassThrough;
  uint32_t requestBytes = 1u << 20;    // per read request: the driver cuts it into chunks
  double faultRate = 0;                // the host's simulated scanner
  uint32_t seed = 1;                   // of its faults
  std::chrono::milliseconds warmUp{300};
  std::string output;                  // the PNG; none when empty
  std::string trace;                   // trace-event JSON; none when empty
  std::string errorLog;                // the error log as JSON; none when empty
  bool progress = true;
  bool verbose = false;                // every command's outcome in full
};

// What a scan did. The optional fields are those only the bench under the
// device can tell, or that apply only to some scanners.
struct ScanReport {
  bool ok = false;
  int exitCode = 0;                    // by the exit-code scheme of the tools
  std::string failure;                 // what went wrong, in words
  bool complete = false;               // every byte of the image read
  uint32_t width = 0, height = 0;
  uint64_t bytes = 0;                  // image bytes read
  int requests = 0;                    // application requests
  std::optional<uint64_t> chunks;      // SRBs the port executed for the reads
  std::optional<int> retries;          // chunks sent again (by the driver or by the program)
  std::optional<std::vector<std::string>> errorLog;  // the driver's entries, in words
  double seconds = 0;
  std::optional<bool> identical;       // pixels identical to the chart scanner's page
  std::vector<std::string> leftOver;   // what the stand-in's audit found
  std::vector<std::string> log;        // each command and its outcome, in words
};

// A scan of the build's device, or of the given one.
ScanReport Scan(const ScanOptions& options, std::ostream& progress);
ScanReport Scan(Device& device, const ScanOptions& options, std::ostream& progress);
std::string Summary(const ScanReport& report, const ScanOptions& options);


// Writes the image as a PNG; "" or why not.
std::string WritePng(const std::string& path, const sim::ScanWindow& window, const std::vector<uint8_t>& image);
// Reads a PNG back into the scanner's layout (for tests).
bool ReadPng(const std::string& path, const sim::ScanWindow& window, std::vector<uint8_t>* image);

}  // namespace tools
