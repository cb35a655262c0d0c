// Scans a page through the driver to a PNG, as scanner software would, and
// prints what happened: on the host build a page of the simulated scanner,
// on Windows the first still-image device present.
//
//   stillscsi_scan [--resolution DPI] [--mode colour|grey|lineart] [--page a4|a5|a3|letter]
//                  [--area X Y W H (mm)] [--output FILE] [--via passthrough|read]
//                  [--request-bytes N] [--trace FILE] [--error-log FILE] [-q] [-v]
//                  [--fault-rate P] [--seed N] [--warm-up MS]   (the simulated scanner's)
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "exit_codes.h"
#include "scan_session.h"
#include "version.h"

namespace {

uint32_t Units(double millimetres) { return (uint32_t)(millimetres * sim::kUnitsPerInch / 25.4 + 0.5); }

// Millimetres to a tenth, without a trailing ".0".
std::string Millimetres(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  std::string shown = text;
  if (shown.size() > 2 && shown.compare(shown.size() - 2, 2, ".0") == 0) shown.resize(shown.size() - 2);
  return shown;
}

// "" when the area (left, top, width, height in millimetres) lies on the
// page, or why not.
std::string AreaFault(const std::vector<double>& area, const std::string& page, uint32_t pageWidth,
                      uint32_t pageLength) {
  double width = pageWidth * 25.4 / sim::kUnitsPerInch, length = pageLength * 25.4 / sim::kUnitsPerInch;
  std::string name = page == "letter" ? "Letter" : page;
  if (page != "letter") name[0] = 'A';
  std::string onPage = name + " (" + Millimetres(width) + " x " + Millimetres(length) + " mm)";
  if (area[0] < 0 || area[1] < 0) return "the left and top edges are at 0 mm or more";
  if (area[2] <= 0 || area[3] <= 0) return "the width and height are more than 0 mm";
  // Half a unit of slack: the page's own size given in millimetres fits.
  double slack = 25.4 / sim::kUnitsPerInch / 2;
  if (area[0] + area[2] > width + slack) {
    return Millimetres(area[0] + area[2]) + " mm exceeds " + onPage + ": left + width is at most " +
           Millimetres(width) + " mm";
  }
  if (area[1] + area[3] > length + slack) {
    return Millimetres(area[1] + area[3]) + " mm exceeds " + onPage + ": top + height is at most " +
           Millimetres(length) + " mm";
  }
  return "";
}

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
  app.add_option("--fault-rate", options.faultRate,
                 "share of the simulated scanner's reads that fail, recoverably (host build). Through the "
                 "pass-through the scan sends a READ again after each, up to 20 times in a row that move no "
                 "byte; with --via read the driver retries each chunk 4 times and a fifth failure ends the "
                 "scan, so that above 0.05 a whole page seldom survives")
      ->check(CLI::Range(0.0, 0.5));
  app.add_option("--seed", options.seed, "of the simulated scanner's faults: the same seed, the same faults");
  app.add_option("--request-bytes", options.requestBytes, "bytes per read request, 512 to 16777215")
      ->check(CLI::Range(512u, 0xFFFFFFu))
      ->capture_default_str();
  app.add_option("--warm-up", warmUp, "milliseconds the lamp takes to warm up")->check(CLI::Range(0, 5000));
  app.add_option("--trace", options.trace, "write a trace of requests and SRBs (trace-event JSON) here");
  app.add_option("--error-log", options.errorLog, "write the driver's error-log entries (JSON) here");
  app.add_flag("-q,--quiet", quiet, "no progress and no command log");
  app.add_flag("-v,--verbose", options.verbose, "every command's outcome in full");
  app.footer(tools::kExitCodesHelp);
  int parsed = tools::Parse(app, argc, argv);
  if (parsed >= 0) return parsed;

  // Where the image goes is checked before the page is scanned.
  if (options.output.empty()) {
    std::cerr << "stillscsi_scan: --output needs a file name\n";
    return tools::kExitUsage;
  }
  std::string folder = std::filesystem::path(options.output).parent_path().string();
  if (folder.empty()) folder = ".";
  if (access(folder.c_str(), W_OK) != 0) {
    std::cerr << "stillscsi_scan: cannot write " << options.output << ": " << std::strerror(errno) << "\n";
    return tools::kExitFile;
  }

  if (!sim::PageSize(page, &options.pageWidth, &options.pageLength)) return tools::kExitUsage;
  // The area must lie on the page; the scanner would refuse it only after
  // the lamp warmed up.
  if (!area.empty()) {
    std::string why = AreaFault(area, page, options.pageWidth, options.pageLength);
    if (!why.empty()) {
      std::cerr << "stillscsi_scan: --area: " << why << "\n";
      return tools::kExitUsage;
    }
  }
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
  if (report.ok && !options.output.empty()) std::cout << "wrote " << options.output << "\n";
  std::cout << tools::Summary(report, options);
  return report.ok ? tools::kExitSuccess : report.exitCode;
}
