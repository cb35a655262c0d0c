#include "scanner.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kWindowHeader = 8;       // parameter list header of SET and GET WINDOW
constexpr size_t kWindowDescriptor = 40;  // the standard part of a window descriptor

uint32_t Big(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

void PutBig(uint8_t* bytes, uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    bytes[i] = (uint8_t)value;
    value >>= 8;
  }
}

}  // namespace

SimulatedScanner::SimulatedScanner(ScannerOptions options)
    : options_(options),
      chart_(options.pageWidth, options.pageLength),
      poweredOn_(std::chrono::steady_clock::now()),
      random_(options.seed),
      sense_(FixedSense(0, 0, 0)) {
  window_.width = options.pageWidth;
  window_.length = options.pageLength;
}

ScanWindow SimulatedScanner::Window() const {
  std::lock_guard<std::mutex> lock(mu_);
  return window_;
}

uint64_t SimulatedScanner::Delivered() const {
  std::lock_guard<std::mutex> lock(mu_);
  return position_;
}

int SimulatedScanner::FaultsInjected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_;
}

bool SimulatedScanner::WarmingUp() const { return std::chrono::steady_clock::now() - poweredOn_ < options_.warmUp; }

// CHECK CONDITION with fixed-format sense; REQUEST SENSE gives it again.
ScsiOutcome SimulatedScanner::Check(UCHAR key, UCHAR asc, UCHAR ascq) {
  ScsiOutcome outcome = ScsiOutcome::CheckCondition(key, asc, ascq);
  sense_ = outcome.sense;
  return outcome;
}

// A command whose data phase carried Count bytes, against a buffer of
// Buffer bytes. The port reports a transfer other than the buffer's length
// as SRB_STATUS_DATA_OVERRUN (an underrun, or an overrun cut at the end of
// the buffer) with the bytes that moved; a good answer moves the whole
// buffer. A class driver that took a short transfer for a good one would
// send the rest of the buffer as another command.
ScsiOutcome SimulatedScanner::Transferred(size_t buffer, size_t count) {
  if (count == buffer) return ScsiOutcome::Good((ULONG)count);
  return ScsiOutcome::Short((ULONG)std::min(count, buffer));
}

// The command's data: at most its allocation length, at most what it has.
ScsiOutcome SimulatedScanner::Answer(std::span<uint8_t> data, const uint8_t* bytes, size_t count, size_t allocation) {
  count = std::min(count, allocation);
  std::memcpy(data.data(), bytes, std::min(count, data.size()));
  sense_ = FixedSense(0, 0, 0);
  return Transferred(data.size(), count);
}

ScsiOutcome SimulatedScanner::SetWindow(std::span<uint8_t> data, uint32_t listLength) {
  size_t length = std::min<size_t>(listLength, data.size());
  if (length < kWindowHeader + kWindowDescriptor || Big(&data[6], 2) < kWindowDescriptor) {
    return Check(0x5, 0x1A, 0x00);  // parameter list length error
  }
  const uint8_t* d = &data[kWindowHeader];
  ScanWindow window;
  window.xResolution = Big(d + 2, 2);
  window.yResolution = Big(d + 4, 2);
  window.upperLeftX = Big(d + 6, 4);
  window.upperLeftY = Big(d + 10, 4);
  window.width = Big(d + 14, 4);
  window.length = Big(d + 18, 4);
  window.composition = (ImageComposition)d[25];
  window.bitsPerPixel = d[26];
  bool composition = (window.composition == ImageComposition::Lineart && window.bitsPerPixel == 1) ||
                     (window.composition == ImageComposition::Gray && window.bitsPerPixel == 8) ||
                     (window.composition == ImageComposition::Colour && window.bitsPerPixel == 24);
  bool resolution = window.xResolution >= 50 && window.xResolution <= 1200 && window.yResolution >= 50 &&
                    window.yResolution <= 1200;
  bool area = window.width != 0 && window.length != 0 &&
              (uint64_t)window.upperLeftX + window.width <= options_.pageWidth &&
              (uint64_t)window.upperLeftY + window.length <= options_.pageLength;
  if (d[0] != 0 || !composition || !resolution || !area || window.PixelsPerLine() == 0 || window.Lines() == 0) {
    return Check(0x5, 0x26, 0x00);  // invalid field in parameter list
  }
  window_ = window;
  scanning_ = false;
  sense_ = FixedSense(0, 0, 0);
  return Transferred(data.size(), listLength);
}

ScsiOutcome SimulatedScanner::ReadImage(std::span<uint8_t> data, uint32_t asked) {
  if (!scanning_) return Check(0x5, 0x2C, 0x00);  // command sequence error: no SCAN
  if (options_.faultRate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < options_.faultRate) {
    ++faults_;
    return faults_ % 2 ? Check(0x6, 0x29, 0x00)    // power on, reset or bus device reset
                       : Check(0x4, 0x44, 0x00);   // internal target failure
  }
  // The scanner has what is left of the image, up to the transfer length;
  // the buffer takes what fits. The image goes on from what reached it.
  uint64_t total = window_.ImageBytes();
  uint32_t sent = (uint32_t)std::min<uint64_t>(asked, total - position_);
  uint32_t moved = (uint32_t)std::min<size_t>(sent, data.size());
  uint32_t bytesPerLine = window_.BytesPerLine();
  line_.resize(bytesPerLine);
  for (uint32_t done = 0; done < moved;) {
    uint32_t line = (uint32_t)(position_ / bytesPerLine), offset = (uint32_t)(position_ % bytesPerLine);
    if (line != lineNumber_) {
      chart_.RenderLine(window_, line, line_.data());
      lineNumber_ = line;
    }
    uint32_t piece = std::min(moved - done, bytesPerLine - offset);
    std::memcpy(data.data() + done, line_.data() + offset, piece);
    done += piece;
    position_ += piece;
  }
  if (sent == asked) {
    sense_ = FixedSense(0, 0, 0);
    return Transferred(data.size(), sent);
  }
  // The page ends before the transfer length: CHECK CONDITION with end of
  // medium, incorrect length and the residue (the transfer length less the
  // bytes sent) in the sense's Information field; an underrun besides when
  // the buffer was not filled.
  ScsiOutcome outcome;
  outcome.srbStatus = moved < data.size() ? SRB_STATUS_DATA_OVERRUN : SRB_STATUS_ERROR;
  outcome.scsiStatus = SCSISTAT_CHECK_CONDITION;
  outcome.bytes = moved;
  outcome.sense = FixedSense(0x0, 0x00, 0x00, 10, true);
  outcome.sense[0] |= 0x80;    // Information valid
  outcome.sense[2] |= 0x40;    // end of medium
  PutBig(&outcome.sense[3], asked - sent, 4);
  sense_ = outcome.sense;
  return outcome;
}

ScsiOutcome SimulatedScanner::Execute(const ScsiCommand& command, std::span<uint8_t> data) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint8_t* cdb = command.cdb.bytes;
  uint8_t opcode = command.cdb.length != 0 ? cdb[0] : 0xFF;
  bool needsLamp = opcode == kTestUnitReady || opcode == kSetWindow || opcode == kScan || opcode == kRead10 ||
                   opcode == kRead6 || opcode == kObjectPosition;
  if (needsLamp && WarmingUp()) return Check(0x2, 0x04, 0x01);  // becoming ready

  switch (opcode) {
    case kTestUnitReady:
      sense_ = FixedSense(0, 0, 0);
      return Transferred(data.size(), 0);
    case kRequestSense: {
      // Reported once: Answer clears it. An allocation length of 0 asks
      // for four bytes (SCSI-2).
      std::vector<uint8_t> sense = sense_;
      return Answer(data, sense.data(), sense.size(), cdb[4] != 0 ? cdb[4] : 4);
    }
    case kInquiry: {
      // Only the standard data: no vital product data pages.
      if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) return Check(0x5, 0x24, 0x00);
      uint8_t inquiry[36] = {};
      inquiry[0] = 0x06;  // scanner device
      inquiry[2] = 0x02;  // SCSI-2
      inquiry[3] = 0x02;  // response data format
      inquiry[4] = sizeof(inquiry) - 5;
      std::memset(inquiry + 8, ' ', 28);
      std::memcpy(inquiry + 8, kVendor, std::strlen(kVendor));
      std::memcpy(inquiry + 16, kProduct, std::strlen(kProduct));
      std::memcpy(inquiry + 32, kRevision, std::strlen(kRevision));
      return Answer(data, inquiry, sizeof(inquiry), cdb[4]);
    }
    case kSetWindow:
      if (command.cdb.length < 10) return Check(0x5, 0x24, 0x00);
      return SetWindow(data, Big(cdb + 6, 3));
    case kGetWindow: {
      if (command.cdb.length < 10) return Check(0x5, 0x24, 0x00);
      uint8_t answer[kWindowHeader + kWindowDescriptor] = {};
      PutBig(answer, (uint32_t)(sizeof(answer) - 2), 2);
      PutBig(answer + 6, kWindowDescriptor, 2);
      uint8_t* d = answer + kWindowHeader;
      PutBig(d + 2, window_.xResolution, 2);
      PutBig(d + 4, window_.yResolution, 2);
      PutBig(d + 6, window_.upperLeftX, 4);
      PutBig(d + 10, window_.upperLeftY, 4);
      PutBig(d + 14, window_.width, 4);
      PutBig(d + 18, window_.length, 4);
      d[25] = (uint8_t)window_.composition;
      d[26] = window_.bitsPerPixel;
      return Answer(data, answer, sizeof(answer), Big(cdb + 6, 3));
    }
    case kScan:
      scanning_ = true;
      position_ = 0;
      lineNumber_ = UINT32_MAX;
      sense_ = FixedSense(0, 0, 0);
      // The window list: one window identifier a byte.
      return Transferred(data.size(), cdb[4]);
    case kRead10:
      if (command.cdb.length < 10) return Check(0x5, 0x24, 0x00);
      if (cdb[2] != 0x00) return Check(0x5, 0x24, 0x00);  // only image data
      return ReadImage(data, Big(cdb + 6, 3));
    case kRead6:
      return ReadImage(data, Big(cdb + 2, 3));
    case kGetDataBufferStatus: {
      if (command.cdb.length < 10) return Check(0x5, 0x24, 0x00);
      uint8_t status[12] = {};
      PutBig(status, sizeof(status) - 3, 3);
      uint64_t left = scanning_ ? window_.ImageBytes() - position_ : 0;
      PutBig(status + 4 + 2, options_.bufferSize, 3);
      PutBig(status + 4 + 5, (uint32_t)std::min<uint64_t>(left, options_.bufferSize), 3);
      return Answer(data, status, sizeof(status), Big(cdb + 7, 2));
    }
    case kObjectPosition:
      if ((cdb[1] & 0x7) == 0) scanning_ = false;  // unload
      sense_ = FixedSense(0, 0, 0);
      return Transferred(data.size(), 0);
    default:
      return Check(0x5, 0x20, 0x00);  // invalid command operation code
  }
}

}  // namespace sim
