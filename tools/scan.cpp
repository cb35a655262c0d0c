// Scans a page of the simulated scanner through the driver to a PNG, as
// scanner software would, and prints what happened.
//
//   stillscsi_scan [--resolution DPI] [--mode colour|grey|lineart] [--page a4|a5|a3|letter]
//                  [--area X,Y,W,H (mm)] [--output FILE] [--via passthrough|read]
//                  [--fault-rate P] [--request-bytes N] [--trace FILE] [--error-log FILE]
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "scan_session.h"
#include "version.h"

namespace {

uint32_t Units(double millimetres) { return (uint32_t)(millimetres * sim::kUnitsPerInch / 25.4 + 0.5); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Scans a page of the simulated scanner through the driver to a PNG."};
  app.set_version_flag("--version", STILLSCSI_TOOLS_VERSION);
  // Options start with a dash in every build; a path such as /tmp/x is a path.
  app.allow_windows_style_options(false);
  // Every option's default is shown in the help.
  app.option_defaults()->always_capture_default();
  tools::ScanOptions options;
  uint32_t resolution = 150;
  std::string mode = "colour", page = "a4", via = "passthrough";
  std::vector<double> area;
  int warmUp = 300;
  bool quiet = false;
  options.output = "scan.png";
  app.add_option("-r,--resolution", resolution, "dots per inch, 50 to 1200")->check(CLI::Range(50, 1200));
  app.add_option("-m,--mode", mode, "colour, grey or lineart")->check(CLI::IsMember({"colour", "color", "grey", "gray", "lineart"}));
  app.add_option("-p,--page", page, "the page's size")->check(CLI::IsMember({"a4", "a5", "a3", "letter"}));
  app.add_option("-a,--area", area, "the area to scan: left, top, width and height in millimetres")->expected(4);
  app.add_option("-o,--output", options.output, "the PNG to write");
  app.add_option("--via", via, "passthrough (READ through IOCTL_SCSISCAN_CMD) or read (ReadFile)")
      ->check(CLI::IsMember({"passthrough", "read"}));
  app.add_option("--fault-rate", options.faultRate, "share of the scanner's reads that fail, recoverably")
      ->check(CLI::Range(0.0, 0.5));
  app.add_option("--request-bytes", options.requestBytes, "bytes per read request, 512 to 16777215")
      ->check(CLI::Range(512u, 0xFFFFFFu))
      ->capture_default_str();
  app.add_option("--warm-up", warmUp, "milliseconds the lamp takes to warm up")->check(CLI::Range(0, 5000));
  app.add_option("--trace", options.trace, "write a trace of requests and SRBs (trace-event JSON) here");
  app.add_option("--error-log", options.errorLog, "write the driver's error-log entries (JSON) here");
  app.add_flag("-q,--quiet", quiet, "no progress and no command log");
  CLI11_PARSE(app, argc, argv);

  // Where the image goes is checked before the page is scanned.
  if (options.output.empty()) {
    std::cerr << "stillscsi_scan: --output needs a file name\n";
    return 2;
  }
  std::string folder = std::filesystem::path(options.output).parent_path().string();
  if (folder.empty()) folder = ".";
  if (access(folder.c_str(), W_OK) != 0) {
    std::cerr << "stillscsi_scan: cannot write " << options.output << ": " << std::strerror(errno) << "\n";
    return 2;
  }

  if (!tools::PageSize(page, &options.pageWidth, &options.pageLength)) return 2;
  sim::ScanWindow& window = options.window;
  window.xResolution = window.yResolution = resolution;
  if (area.empty()) {
    window.width = options.pageWidth;
    window.length = options.pageLength;
  } else {
    window.upperLeftX = Units(area[0]);
    window.upperLeftY = Units(area[1]);
    window.width = Units(area[2]);
    window.length = Units(area[3]);
  }
  if (mode == "grey" || mode == "gray") {
    window.composition = sim::ImageComposition::Gray;
    window.bitsPerPixel = 8;
  } else if (mode == "lineart") {
    window.composition = sim::ImageComposition::Lineart;
    window.bitsPerPixel = 1;
  }
  options.via = via == "read" ? tools::Via::ReadFile : tools::Via::PassThrough;
  options.warmUp = std::chrono::milliseconds(warmUp);
  options.progress = !quiet;

  tools::ScanReport report = tools::Scan(options, std::cerr);
  if (!quiet) {
    for (const std::string& line : report.log) std::cout << line << "\n";
  }
  std::cout << tools::Summary(report, options);
  if (report.ok && !options.output.empty()) std::cout << "wrote " << options.output << "\n";
  return report.ok ? 0 : 1;
}
