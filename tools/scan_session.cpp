#include "scan_session.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <iostream>
#include <ostream>
#include <thread>

#include "scsi_text.h"
#include "trace.h"

namespace tools {

namespace {

using Clock = std::chrono::steady_clock;

void PutBig(uint8_t* bytes, uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    bytes[i] = (uint8_t)value;
    value >>= 8;
  }
}

// The SET WINDOW parameter list of the scanner command set: an 8-byte
// header whose last two bytes give the descriptor's length, and one window
// descriptor of 40 bytes.
std::vector<uint8_t> WindowParameters(const sim::ScanWindow& window) {
  std::vector<uint8_t> list(48, 0);
  PutBig(&list[6], 40, 2);
  uint8_t* d = &list[8];
  d[0] = 0;  // window identifier
  PutBig(d + 2, window.xResolution, 2);
  PutBig(d + 4, window.yResolution, 2);
  PutBig(d + 6, window.upperLeftX, 4);
  PutBig(d + 10, window.upperLeftY, 4);
  PutBig(d + 14, window.width, 4);
  PutBig(d + 18, window.length, 4);
  d[22] = 128;  // brightness, threshold and contrast at their middle
  d[23] = 128;
  d[24] = 128;
  d[25] = (uint8_t)window.composition;
  d[26] = window.bitsPerPixel;
  return list;
}

std::string Outcome(const CommandResult& result) {
  if (!NT_SUCCESS(result.status)) return "request failed with " + StatusName(result.status);
  std::string text = SrbStatusText(result.srbStatus) + ", " + std::to_string(result.bytes) + " bytes";
  if (result.SenseValid()) text += "; " + SenseText(result.sense);
  return text;
}

// A failure a scanner is expected to get over: the command is worth sending
// again.
bool Recoverable(const CommandResult& result) {
  if (!result.SenseValid()) return false;
  uint8_t key = result.sense[2] & 0x0F;
  return key == 0x6 || key == 0x4 || key == 0x2;  // unit attention, hardware error, not ready
}

class Progress {
 public:
  Progress(std::ostream& out, uint64_t total, bool enabled)
      : out_(out), total_(total), enabled_(enabled), terminal_(isatty(fileno(stderr)) && &out == &std::cerr),
        began_(Clock::now()) {}
  void Update(uint64_t done) {
    if (!enabled_ || total_ == 0) return;
    int percent = (int)(done * 100 / total_);
    double seconds = std::chrono::duration<double>(Clock::now() - began_).count();
    double rate = seconds > 0 ? done / seconds / 1e6 : 0;
    char line[160];
    if (terminal_) {
      int filled = percent / 4;
      std::snprintf(line, sizeof(line), "\r[%-25.*s] %3d%%  %.1f of %.1f MB  %.1f MB/s", filled,
                    "#########################", percent, done / 1e6, total_ / 1e6, rate);
      out_ << line << (done == total_ ? "\n" : "") << std::flush;
    } else if (percent >= next_ || done == total_) {
      std::snprintf(line, sizeof(line), "read %3d%%: %.1f of %.1f MB, %.1f MB/s\n", percent, done / 1e6, total_ / 1e6,
                    rate);
      out_ << line;
      next_ = percent / 25 * 25 + 25;
    }
  }

 private:
  std::ostream& out_;
  uint64_t total_;
  bool enabled_, terminal_;
  Clock::time_point began_;
  int next_ = 0;
};

}  // namespace

bool PageSize(const std::string& name, uint32_t* width, uint32_t* length) {
  struct Page {
    const char* name;
    uint32_t width, length;
  };
  static const Page kPages[] = {{"a4", 9921, 14031}, {"a5", 6992, 9921}, {"a3", 14031, 19843}, {"letter", 10200, 13200}};
  for (const Page& page : kPages) {
    if (name == page.name) {
      *width = page.width;
      *length = page.length;
      return true;
    }
  }
  return false;
}

ScanReport Scan(const ScanOptions& options, std::ostream& progressOut) {
  ScanReport report;
  Clock::time_point began = Clock::now();
  RigOptions rigOptions;
  rigOptions.scanner.pageWidth = options.pageWidth;
  rigOptions.scanner.pageLength = options.pageLength;
  rigOptions.scanner.warmUp = options.warmUp;
  rigOptions.scanner.faultRate = options.faultRate;
  rigOptions.srbRecords = 1 << 16;
  Rig rig(rigOptions);
  auto say = [&](const std::string& line) { report.log.push_back(line); };
  auto fail = [&](const std::string& why) {
    report.failure = why;
    say("failed: " + why);
  };
  auto command = [&](const std::string& what, std::initializer_list<uint8_t> cdb, uint32_t direction,
                     std::span<uint8_t> data) {
    CommandResult result = rig.Command(what, cdb, direction, data);
    say(what + ": " + Outcome(result));
    return result;
  };

  std::vector<uint8_t> image;
  const sim::ScanWindow& window = options.window;
  uint64_t total = window.ImageBytes();
  do {
    std::string started = rig.Start();
    if (!started.empty()) {
      fail(started);
      break;
    }
    say("opened " + rig.OpenName());
    if (!NT_SUCCESS(rig.Control(IOCTL_SCSISCAN_LOCKDEVICE, {}, {}).status)) {
      fail("the device is locked by another application");
      break;
    }
    ULONG timeout = 120;
    std::span<uint8_t> timeoutBytes((uint8_t*)&timeout, sizeof(timeout));
    rig.Control(IOCTL_SCSISCAN_SET_TIMEOUT, timeoutBytes, timeoutBytes);
    say("SRB timeout 120 s (was " + std::to_string(timeout) + " s)");
    SCSISCAN_INFO info{};
    if (NT_SUCCESS(rig.Control(IOCTL_SCSISCAN_GET_INFO, {}, std::span<uint8_t>((uint8_t*)&info, sizeof(info))).status)) {
      say("SCSI address: port " + std::to_string(info.PortNumber) + ", path " + std::to_string(info.PathId) +
          ", target " + std::to_string(info.TargetId) + ", logical unit " + std::to_string(info.Lun));
    }

    uint8_t inquiry[36] = {};
    CommandResult identified = command("INQUIRY", {sim::kInquiry, 0, 0, 0, sizeof(inquiry), 0}, SRB_FLAGS_DATA_IN, inquiry);
    if (!identified.Good() || (inquiry[0] & 0x1F) != 0x06) {
      fail("no scanner answers INQUIRY");
      break;
    }
    say("scanner: " + std::string((char*)inquiry + 8, 8) + " " + std::string((char*)inquiry + 16, 16) + " " +
        std::string((char*)inquiry + 32, 4));

    // The lamp warms up: TEST UNIT READY until it answers good, for ten
    // seconds at most.
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    CommandResult ready;
    int waited = 0;
    for (;;) {
      ready = rig.Command("TEST UNIT READY", {sim::kTestUnitReady, 0, 0, 0, 0, 0}, 0, {});
      if (ready.Good() || Clock::now() > deadline) break;
      if (waited++ == 0) say("TEST UNIT READY: " + Outcome(ready) + "; waiting");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ready.Good()) {
      fail("the scanner did not become ready: " + Outcome(ready));
      break;
    }
    say("ready after " + std::to_string(waited) + " waits");

    std::vector<uint8_t> parameters = WindowParameters(window);
    CommandResult set = command("SET WINDOW", {sim::kSetWindow, 0, 0, 0, 0, 0, 0, 0, (uint8_t)parameters.size(), 0},
                                SRB_FLAGS_DATA_OUT, parameters);
    if (!set.Good()) {
      fail("the scanner refused the window: " + Outcome(set));
      break;
    }
    uint8_t scanList[1] = {0};
    if (!command("SCAN", {sim::kScan, 0, 0, 0, 1, 0}, SRB_FLAGS_DATA_OUT, scanList).Good()) {
      fail("the scan did not start");
      break;
    }
    uint8_t bufferStatus[12] = {};
    command("GET DATA BUFFER STATUS", {sim::kGetDataBufferStatus, 0, 0, 0, 0, 0, 0, 0, sizeof(bufferStatus), 0},
            SRB_FLAGS_DATA_IN, bufferStatus);

    // The image, in requests far larger than the adapter's limit.
    image.assign(total, 0);
    uint64_t srbsBefore = rig.Port().SrbCount();
    uint64_t executedBefore = rig.Port().ExecuteCount();
    Progress progress(progressOut, total, options.progress);
    uint64_t done = 0;
    int programRetries = 0;
    while (done < total) {
      uint32_t asked = (uint32_t)std::min<uint64_t>(options.requestBytes, total - done);
      std::span<uint8_t> piece(image.data() + done, asked);
      if (options.via == Via::ReadFile) {
        host::IoResult read = rig.Read(piece);
        ++report.requests;
        if (!NT_SUCCESS(read.status) || read.information == 0) {
          fail("ReadFile failed with " + StatusName(read.status) + " at byte " + std::to_string(done));
          break;
        }
        done += read.information;
      } else {
        CommandResult read = rig.Command("READ", {sim::kRead10, 0, 0, 0, 0, 0, (uint8_t)(asked >> 16),
                                                  (uint8_t)(asked >> 8), (uint8_t)asked, 0},
                                         SRB_FLAGS_DATA_IN, piece);
        ++report.requests;
        done += read.bytes;
        if (!read.Good()) {
          say("READ at byte " + std::to_string(done - read.bytes) + ": " + Outcome(read));
          if (!Recoverable(read) || ++programRetries > 20) {
            fail("READ failed: " + Outcome(read));
            break;
          }
        }
      }
      progress.Update(done);
    }
    if (!report.failure.empty()) break;
    for (const sim::SentSrb& sent : rig.Port().Srbs()) {
      if (sent.sequence >= srbsBefore && sent.srb.Function == SRB_FUNCTION_EXECUTE_SCSI &&
          (sent.completedSrbStatus & 0x3F) != SRB_STATUS_SUCCESS) {
        ++report.retries;
      }
    }
    report.chunks = rig.Port().ExecuteCount() - executedBefore;
    report.bytes = done;
    command("OBJECT POSITION", {sim::kObjectPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, {});
    rig.Control(IOCTL_SCSISCAN_UNLOCKDEVICE, {}, {});
  } while (false);

  report.width = window.PixelsPerLine();
  report.height = window.Lines();
  {
    std::lock_guard<host::WorldLock> lock(rig.World().mu);
    for (const host::ErrorLogEntry& entry : rig.World().errorLog.Entries()) {
      report.errorLog.push_back(ErrorLogEntryText(entry.bytes));
    }
  }
  if (!options.errorLog.empty()) {
    nlohmann::json entries = nlohmann::json::array();
    for (const host::ErrorLogEntry& entry : rig.World().errorLog.Entries()) entries.push_back(Hex(entry.bytes));
    std::ofstream(options.errorLog) << nlohmann::json{{"device", rig.OpenName()}, {"entries", entries}}.dump(1) << "\n";
  }
  if (!options.trace.empty()) {
    if (!WriteTrace(rig, options.trace)) say("the trace could not be written to " + options.trace);
    say(TraceSummary(rig));
  }
  if (report.failure.empty()) {
    sim::TestChart chart(options.pageWidth, options.pageLength);
    report.identical = chart.Render(window) == image;
    if (!options.output.empty()) {
      std::string written = WritePng(options.output, window, image);
      if (!written.empty()) report.failure = written;
    }
  }
  report.leftOver = rig.Finish();
  report.seconds = std::chrono::duration<double>(Clock::now() - began).count();
  report.ok = report.failure.empty() && report.identical && report.leftOver.empty();
  return report;
}

std::string Summary(const ScanReport& report, const ScanOptions& options) {
  char line[256];
  std::string text;
  const char* mode = options.window.composition == sim::ImageComposition::Colour ? "colour"
                     : options.window.composition == sim::ImageComposition::Gray ? "grey"
                                                                                 : "lineart";
  std::snprintf(line, sizeof(line), "image:      %u x %u pixels, %s, %u dpi\n", report.width, report.height, mode,
                options.window.xResolution);
  text += line;
  std::snprintf(line, sizeof(line), "bytes:      %llu\n", (unsigned long long)report.bytes);
  text += line;
  std::snprintf(line, sizeof(line), "requests:   %d %s of up to %u bytes\n", report.requests,
                options.via == Via::ReadFile ? "ReadFile calls" : "READ pass-throughs", options.requestBytes);
  text += line;
  std::snprintf(line, sizeof(line), "chunks:     %llu SRBs at the port\n", (unsigned long long)report.chunks);
  text += line;
  std::snprintf(line, sizeof(line), "retries:    %d\n", report.retries);
  text += line;
  std::snprintf(line, sizeof(line), "error log:  %zu entries\n", report.errorLog.size());
  text += line;
  for (const std::string& entry : report.errorLog) text += "  " + entry + "\n";
  std::snprintf(line, sizeof(line), "time:       %.2f s\n", report.seconds);
  text += line;
  text += std::string("pixels identical to the instrument's page: ") + (report.identical ? "yes" : "no") + "\n";
  for (const std::string& left : report.leftOver) text += "left over: " + left + "\n";
  if (!report.failure.empty()) text += "FAILED: " + report.failure + "\n";
  return text;
}

std::string WritePng(const std::string& path, const sim::ScanWindow& window, const std::vector<uint8_t>& image) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return "cannot write " + path + ": " + std::strerror(errno);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return "libpng could not write " + path;
  }
  png_init_io(png, file);
  int depth = window.bitsPerPixel == 1 ? 1 : 8;
  int type = window.composition == sim::ImageComposition::Colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
  png_set_IHDR(png, info, window.PixelsPerLine(), window.Lines(), depth, type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  uint32_t dpm = (uint32_t)(window.xResolution * 10000 / 254);
  png_set_pHYs(png, info, dpm, (uint32_t)(window.yResolution * 10000 / 254), PNG_RESOLUTION_METER);
  png_write_info(png, info);
  // Lineart's bits are 1 for black; a grey PNG's 1 is white.
  if (depth == 1) png_set_invert_mono(png);
  for (uint32_t line = 0; line < window.Lines(); ++line) {
    png_write_row(png, (png_const_bytep)image.data() + (size_t)line * window.BytesPerLine());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  // The last bytes reach the file only here: a full disk shows now.
  bool flushed = std::fflush(file) == 0 && !std::ferror(file);
  int error = errno;
  if (std::fclose(file) != 0 || !flushed) {
    return "cannot write " + path + ": " + std::strerror(flushed ? errno : error);
  }
  return "";
}

bool ReadPng(const std::string& path, const sim::ScanWindow& window, std::vector<uint8_t>* image) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_read_info(png, info);
  if (png_get_image_width(png, info) != window.PixelsPerLine() || png_get_image_height(png, info) != window.Lines()) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return false;
  }
  if (window.bitsPerPixel == 1) png_set_invert_mono(png);
  png_read_update_info(png, info);
  image->assign(window.ImageBytes(), 0);
  for (uint32_t line = 0; line < window.Lines(); ++line) {
    png_read_row(png, image->data() + (size_t)line * window.BytesPerLine(), nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return true;
}

}  // namespace tools
