#include "scan_session.h"

#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <iostream>
#include <ostream>
#include <thread>

#include "exit_codes.h"
#include "scanner_commands.h"
#include "scsi_text.h"
#include "trace.h"

namespace tools {

namespace {

using Clock = std::chrono::steady_clock;

std::string Outcome(const CommandResult& result) {
  if (!NT_SUCCESS(result.status)) return "request failed with " + StatusName(result.status);
  std::string text = SrbStatusText(result.srbStatus) + ", " + Count(result.bytes, "byte", "bytes");
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

constexpr const char* kNotVisible = "not visible to an application";

}  // namespace

ScanReport Scan(const ScanOptions& options, std::ostream& progressOut) {
  DeviceOptions deviceOptions;
  deviceOptions.pageWidth = options.pageWidth;
  deviceOptions.pageLength = options.pageLength;
  deviceOptions.warmUp = options.warmUp;
  deviceOptions.faultRate = options.faultRate;
  deviceOptions.seed = options.seed;
  deviceOptions.srbRecords = 1 << 16;
  std::unique_ptr<Device> device = MakeDevice(deviceOptions);
  return Scan(*device, options, progressOut);
}

ScanReport Scan(Device& device, const ScanOptions& options, std::ostream& progressOut) {
  ScanReport report;
  Clock::time_point began = Clock::now();
  auto say = [&](const std::string& line) { report.log.push_back(line); };
  auto fail = [&](const std::string& why, int code) {
    report.failure = why;
    report.exitCode = code;
  };
  auto command = [&](const std::string& what, std::initializer_list<uint8_t> cdb, uint32_t direction,
                     std::span<uint8_t> data) {
    CommandResult result = device.Command(what, cdb, direction, data);
    say(what + ": " + Outcome(result));
    return result;
  };

  std::vector<uint8_t> image;
  const sim::ScanWindow& window = options.window;
  uint64_t total = window.ImageBytes();
  bool chartScanner = false;
  std::optional<SCSISCAN_INFO> address;
  std::optional<uint64_t> srbsBefore, executedBefore, readsEnded;
  uint64_t done = 0;
  int programRetries = 0, stalled = 0;
  bool reading = false;
  do {
    std::string started = device.Open();
    if (!started.empty()) {
      fail(started, kExitTransport);
      break;
    }
    say("opened " + device.OpenName());
    srbsBefore = device.SrbCount();
    executedBefore = device.ExecutedCount();
    if (!NT_SUCCESS(device.Control(IOCTL_SCSISCAN_LOCKDEVICE, {}, {}).status)) {
      fail("the device is locked by another application", kExitTransport);
      break;
    }
    ULONG timeout = 120;
    std::span<uint8_t> timeoutBytes((uint8_t*)&timeout, sizeof(timeout));
    device.Control(IOCTL_SCSISCAN_SET_TIMEOUT, timeoutBytes, timeoutBytes);
    say("SRB timeout 120 s (was " + std::to_string(timeout) + " s)");
    SCSISCAN_INFO info{};
    if (NT_SUCCESS(device.Control(IOCTL_SCSISCAN_GET_INFO, {}, std::span<uint8_t>((uint8_t*)&info, sizeof(info))).status)) {
      address = info;
      say("SCSI address: port " + std::to_string(info.PortNumber) + ", path " + std::to_string(info.PathId) +
          ", target " + std::to_string(info.TargetId) + ", logical unit " + std::to_string(info.Lun));
    }

    uint8_t inquiry[36] = {};
    CommandResult identified = command("INQUIRY", {sim::kInquiry, 0, 0, 0, sizeof(inquiry), 0}, SRB_FLAGS_DATA_IN, inquiry);
    if (!identified.Good() || (inquiry[0] & 0x1F) != 0x06) {
      fail("no scanner answers INQUIRY", identified.Good() ? kExitOther : ExitCodeOf(identified));
      break;
    }
    std::string vendor((char*)inquiry + 8, 8), product((char*)inquiry + 16, 16);
    say("scanner: " + vendor + " " + product + " " + std::string((char*)inquiry + 32, 4));
    chartScanner = vendor == "STILLSIM" && product == "CHART SCANNER   ";

    // The lamp warms up: TEST UNIT READY until it answers good, for ten
    // seconds at most.
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    CommandResult ready;
    int waited = 0;
    for (;;) {
      ready = device.Command("TEST UNIT READY", {sim::kTestUnitReady, 0, 0, 0, 0, 0}, 0, {});
      if (ready.Good() || Clock::now() > deadline) break;
      if (waited++ == 0) {
        bool becoming = ready.SenseValid() && (ready.sense[2] & 0x0F) == 0x2 && ready.sense[12] == 0x04 &&
                        ready.sense[13] == 0x01;
        say(std::string("TEST UNIT READY: not ready yet, ") +
            (becoming ? "the scanner is becoming ready (its lamp warms up)" : "the scanner is not ready") +
            "; waiting");
        if (options.verbose) say("  " + Outcome(ready));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ready.Good()) {
      fail("the scanner did not become ready: " + Outcome(ready), ExitCodeOf(ready));
      break;
    }
    say("ready after " + std::to_string(waited) + " waits");

    std::vector<uint8_t> parameters = sim::WindowParameters(window);
    CommandResult set = command("SET WINDOW", {sim::kSetWindow, 0, 0, 0, 0, 0, 0, 0, (uint8_t)parameters.size(), 0},
                                SRB_FLAGS_DATA_OUT, parameters);
    if (!set.Good()) {
      fail("the scanner refused the window: " + Outcome(set), ExitCodeOf(set));
      break;
    }
    uint8_t scanList[1] = {0};
    CommandResult scan = command("SCAN", {sim::kScan, 0, 0, 0, 1, 0}, SRB_FLAGS_DATA_OUT, scanList);
    if (!scan.Good()) {
      fail("the scan did not start: " + Outcome(scan), ExitCodeOf(scan));
      break;
    }
    uint8_t bufferStatus[12] = {};
    command("GET DATA BUFFER STATUS", {sim::kGetDataBufferStatus, 0, 0, 0, 0, 0, 0, 0, sizeof(bufferStatus), 0},
            SRB_FLAGS_DATA_IN, bufferStatus);

    // The image, in requests far larger than the adapter's limit.
    image.assign(total, 0);
    srbsBefore = device.SrbCount();
    executedBefore = device.ExecutedCount();
    Progress progress(progressOut, total, options.progress);
    reading = true;
    while (done < total) {
      uint32_t asked = (uint32_t)std::min<uint64_t>(options.requestBytes, total - done);
      std::span<uint8_t> piece(image.data() + done, asked);
      if (options.via == Via::ReadFile) {
        IoResult read = device.Read(piece);
        ++report.requests;
        // A ReadFile that fails says nothing of how far it came (the
        // driver gave each chunk its retries already): the scan ends.
        if (!NT_SUCCESS(read.status) || read.information == 0) {
          fail("ReadFile failed with " + StatusName(read.status) + " at byte " + std::to_string(done),
               read.status == STATUS_DEVICE_NOT_READY ? kExitNotReady
               : read.status == STATUS_IO_DEVICE_ERROR ? kExitMediumOrHardware
                                                       : kExitTransport);
          break;
        }
        done += read.information;
      } else {
        CommandResult read = device.Command("READ", {sim::kRead10, 0, 0, 0, 0, 0, (uint8_t)(asked >> 16),
                                                     (uint8_t)(asked >> 8), (uint8_t)asked, 0},
                                            SRB_FLAGS_DATA_IN, piece);
        ++report.requests;
        done += read.bytes;
        if (!read.Good()) {
          say("READ at byte " + std::to_string(done - read.bytes) + ": " + Outcome(read));
          stalled = read.bytes == 0 ? stalled + 1 : 0;
          if (!Recoverable(read) || stalled > kStalledReads) {
            fail("READ failed: " + Outcome(read), ExitCodeOf(read));
            break;
          }
          ++programRetries;
        } else {
          stalled = 0;
        }
      }
      progress.Update(done);
    }
    readsEnded = device.ExecutedCount();
    if (!report.failure.empty()) break;
    command("OBJECT POSITION", {sim::kObjectPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, {});
    device.Control(IOCTL_SCSISCAN_UNLOCKDEVICE, {}, {});
  } while (false);

  // What the port saw of the reads, where the bench can tell.
  report.bytes = done;
  // The reads' chunks only: none of the commands after them.
  std::optional<uint64_t> executed = readsEnded ? readsEnded : device.ExecutedCount();
  if (executedBefore && executed) report.chunks = *executed - *executedBefore;
  std::vector<SrbRecord> srbs = device.Srbs();
  if (srbsBefore && !srbs.empty()) {
    int retries = 0;
    for (const SrbRecord& sent : srbs) {
      if (sent.sequence >= *srbsBefore && !sent.releaseQueue && (sent.srbStatus & 0x3F) != SRB_STATUS_SUCCESS) {
        ++retries;
      }
    }
    report.retries = retries;
  } else if (options.via == Via::PassThrough && reading) {
    // The driver sends no pass-through again: the program's own count is all.
    report.retries = programRetries;
  }
  report.width = window.PixelsPerLine();
  report.height = window.Lines();
  std::optional<std::vector<std::vector<uint8_t>>> entries = device.ErrorLog();
  if (entries) {
    report.errorLog.emplace();
    for (const std::vector<uint8_t>& entry : *entries) report.errorLog->push_back(ErrorLogEntryText(entry));
  }
  if (!options.errorLog.empty()) {
    nlohmann::json hex = nlohmann::json::array();
    if (entries) {
      for (const std::vector<uint8_t>& entry : *entries) hex.push_back(Hex(entry));
    }
    nlohmann::json log{{"device", device.OpenName()}, {"entries", hex}};
    if (address) {
      log["address"] = {{"port", address->PortNumber}, {"path", address->PathId}, {"target", address->TargetId},
                        {"lun", address->Lun}};
    }
    std::ofstream(options.errorLog) << log.dump(1) << "\n";
  }
  if (!options.trace.empty()) {
    if (!WriteTrace(device, options.trace)) say("the trace could not be written to " + options.trace);
    say(TraceSummary(device));
  }
  if (report.failure.empty()) {
    report.complete = true;
    // The chart scanner's page is known at every point: the image must be
    // its render, pixel for pixel.
    if (chartScanner) report.identical = sim::TestChart(options.pageWidth, options.pageLength).Render(window) == image;
    if (!options.output.empty()) {
      std::string written = WritePng(options.output, window, image);
      if (!written.empty()) fail(written, kExitFile);
    }
  }
  report.leftOver = device.Close();
  report.seconds = std::chrono::duration<double>(Clock::now() - began).count();
  report.ok = report.failure.empty() && report.identical.value_or(true) && report.leftOver.empty();
  if (report.failure.empty() && !report.ok) report.exitCode = kExitOther;
  return report;
}

std::string Summary(const ScanReport& report, const ScanOptions& options) {
  char line[256];
  std::string text;
  const char* mode = options.window.composition == sim::ImageComposition::Colour ? "colour"
                     : options.window.composition == sim::ImageComposition::Gray ? "grey"
                                                                                 : "lineart";
  if (report.complete) {
    std::snprintf(line, sizeof(line), "image:      %u x %u pixels, %s, %u dpi\n", report.width, report.height, mode,
                  options.window.xResolution);
    text += line;
    text += "bytes:      " + std::to_string(report.bytes) + "\n";
  } else {
    text += "bytes:      " + std::to_string(report.bytes) + " of " + std::to_string(options.window.ImageBytes()) + "\n";
  }
  text += "requests:   " +
          Count(report.requests, options.via == Via::ReadFile ? "ReadFile call" : "READ pass-through",
                options.via == Via::ReadFile ? "ReadFile calls" : "READ pass-throughs") +
          " of up to " + Count(options.requestBytes, "byte", "bytes") + "\n";
  text += "chunks:     " + (report.chunks ? Count(*report.chunks, "SRB", "SRBs") + " at the port" : kNotVisible) + "\n";
  text += "retries:    " + (report.retries ? std::to_string(*report.retries) : kNotVisible) + "\n";
  if (report.errorLog) {
    text += "error log:  " + Count(report.errorLog->size(), "entry", "entries") + "\n";
    for (const std::string& entry : *report.errorLog) text += "  " + entry + "\n";
  } else {
    text += std::string("error log:  ") + kNotVisible + " (the system's event log has it)\n";
  }
  std::snprintf(line, sizeof(line), "time:       %.2f s\n", report.seconds);
  text += line;
  if (report.identical) {
    text += std::string("pixels identical to the instrument's page: ") + (*report.identical ? "yes" : "no") + "\n";
  } else if (report.complete) {
    text += "pixels not compared: the scanner is not the chart scanner, whose page is known\n";
  }
  for (const std::string& left : report.leftOver) text += "left over: " + left + "\n";
  if (!report.failure.empty()) text += "FAILED: " + report.failure + "\n";
  return text;
}

namespace {

void WriteToFile(void* context, void* data, int size) {
  auto* file = (std::FILE*)context;
  std::fwrite(data, 1, (size_t)size, file);
}

// The image as 8-bit samples, one or three a pixel; lineart (1 bit a
// pixel, 1 for black) as grey 0 and 255.
std::vector<uint8_t> Samples(const sim::ScanWindow& window, const std::vector<uint8_t>& image) {
  if (window.bitsPerPixel != 1) return image;
  uint32_t width = window.PixelsPerLine(), lines = window.Lines();
  std::vector<uint8_t> samples((size_t)width * lines);
  for (uint32_t line = 0; line < lines; ++line) {
    const uint8_t* row = image.data() + (size_t)line * window.BytesPerLine();
    for (uint32_t x = 0; x < width; ++x) {
      samples[(size_t)line * width + x] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    }
  }
  return samples;
}

}  // namespace

std::string WritePng(const std::string& path, const sim::ScanWindow& window, const std::vector<uint8_t>& image) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return "cannot write " + path + ": " + std::strerror(errno);
  int channels = window.composition == sim::ImageComposition::Colour ? 3 : 1;
  std::vector<uint8_t> samples = Samples(window, image);
  int width = (int)window.PixelsPerLine();
  bool encoded = stbi_write_png_to_func(WriteToFile, file, width, (int)window.Lines(), channels, samples.data(),
                                        width * channels) != 0;
  // The last bytes reach the file only here: a full disk shows now.
  bool flushed = std::fflush(file) == 0 && !std::ferror(file);
  int error = errno;
  if (std::fclose(file) != 0 || !flushed) {
    return "cannot write " + path + ": " + std::strerror(flushed ? errno : error);
  }
  if (!encoded) return "the PNG encoder could not encode the image for " + path;
  return "";
}

bool ReadPng(const std::string& path, const sim::ScanWindow& window, std::vector<uint8_t>* image) {
  int width = 0, height = 0, channels = 0;
  int wanted = window.composition == sim::ImageComposition::Colour ? 3 : 1;
  uint8_t* samples = stbi_load(path.c_str(), &width, &height, &channels, wanted);
  if (samples == nullptr) return false;
  bool fits = (uint32_t)width == window.PixelsPerLine() && (uint32_t)height == window.Lines();
  if (fits && window.bitsPerPixel == 1) {
    image->assign(window.ImageBytes(), 0);
    for (int line = 0; line < height; ++line) {
      uint8_t* row = image->data() + (size_t)line * window.BytesPerLine();
      for (int x = 0; x < width; ++x) {
        if (samples[(size_t)line * width + x] < 128) row[x / 8] |= (uint8_t)(0x80 >> (x % 8));
      }
    }
  } else if (fits) {
    image->assign(samples, samples + (size_t)width * height * wanted);
  }
  stbi_image_free(samples);
  return fits;
}

}  // namespace tools
