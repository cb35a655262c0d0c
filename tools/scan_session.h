// A scan as scanner software makes it, through the driver's public
// interface only: open by the published name, lock, timeout, address,
// INQUIRY, TEST UNIT READY until ready, SET WINDOW, SCAN, READ in large
// requests through the pass-through or ReadFile, OBJECT POSITION, unlock;
// then a PNG of the image and a check against the instrument's page.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "rig.h"
#include "test_chart.h"

namespace tools {

enum class Via { PassThrough, ReadFile };

struct ScanOptions {
  sim::ScanWindow window;              // in 1/1200 inch, resolution in dpi
  uint32_t pageWidth = sim::kA4Width, pageLength = sim::kA4Length;
  Via via = Via::PassThrough;
  uint32_t requestBytes = 1u << 20;    // per read request: the driver cuts it into chunks
  double faultRate = 0;
  std::chrono::milliseconds warmUp{300};
  std::string output;                  // the PNG; none when empty
  std::string trace;                   // trace-event JSON; none when empty
  std::string errorLog;                // the error log as JSON; none when empty
  bool progress = true;
};

struct ScanReport {
  bool ok = false;
  std::string failure;                 // what went wrong, in words
  uint32_t width = 0, height = 0;
  uint64_t bytes = 0;
  int requests = 0;                    // application requests
  uint64_t chunks = 0;                 // SRBs the port executed
  int retries = 0;                     // chunks sent again (by the driver or by the program)
  std::vector<std::string> errorLog;   // the driver's entries, in words
  double seconds = 0;
  bool identical = false;              // pixels identical to the instrument's page
  std::vector<std::string> leftOver;   // what the stand-in's audit found
  std::vector<std::string> log;        // each command and its outcome, in words
};

ScanReport Scan(const ScanOptions& options, std::ostream& progress);
std::string Summary(const ScanReport& report, const ScanOptions& options);

// Page sizes by name (a4, a5, a3, letter), in 1/1200 inch; false when unknown.
bool PageSize(const std::string& name, uint32_t* width, uint32_t* length);

// Writes the image as a PNG; "" or why not.
std::string WritePng(const std::string& path, const sim::ScanWindow& window, const std::vector<uint8_t>& image);
// Reads a PNG back into the scanner's layout (for tests).
bool ReadPng(const std::string& path, const sim::ScanWindow& window, std::vector<uint8_t>* image);

}  // namespace tools
