#include "instrument.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kSourcePage = 4096;
constexpr size_t kSourcePiece = 65536;

// The read pattern from position 0, one piece plus a page long.
const uint8_t* PatternSource() {
  struct Source {
    alignas(kSourcePage) uint8_t bytes[kSourcePiece + kSourcePage];
    Source() {
      for (size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = ScriptedInstrument::PatternByte(i);
    }
  };
  static const Source source;
  return source.bytes;
}

}  // namespace

CdbBytes::CdbBytes(const UCHAR* cdb, size_t count) : length((uint8_t)std::min<size_t>(count, sizeof(bytes))) {
  std::memcpy(bytes, cdb, length);
}

void StreamSummary::Add(uint64_t position, std::span<const uint8_t> data) {
  bytes += data.size();
  const uint8_t* at = data.data();
  size_t left = data.size();
  // A byte alone is its word's value with the other bytes zero.
  auto addByte = [this](uint64_t where, uint8_t value) {
    uint64_t word = (uint64_t)value << (8 * (where % 8));
    sum += word;
    weighted += (where / 8 + 1) * word;
  };
  for (; left != 0 && position % 8 != 0; --left) addByte(position++, *at++);
  size_t words = left / 8;
  if (words != 0) {
    // With A the words' sum and C the sum of the running sums,
    // sum over j of (first + 1 + j) * word[j] = (first + 1 + words) * A - C.
    uint64_t a = 0, c = 0;
    for (size_t j = 0; j < words; ++j) {
      uint64_t word;
      std::memcpy(&word, at + 8 * j, 8);
      a += word;
      c += a;
    }
    uint64_t first = position / 8;
    sum += a;
    weighted += (first + 1 + words) * a - c;
    at += 8 * words;
    position += 8 * words;
    left -= 8 * words;
  }
  for (; left != 0; --left) addByte(position++, *at++);
}

StreamSummary StreamSummary::Of(std::span<const uint8_t> stream) {
  StreamSummary summary;
  summary.Add(0, stream);
  return summary;
}

ScsiOutcome ScsiOutcome::Good(std::optional<ULONG> bytes) {
  ScsiOutcome outcome;
  outcome.bytes = bytes;
  return outcome;
}

ScsiOutcome ScsiOutcome::CheckCondition(UCHAR senseKey, UCHAR asc, UCHAR ascq) {
  ScsiOutcome outcome;
  outcome.srbStatus = SRB_STATUS_ERROR;
  outcome.scsiStatus = SCSISTAT_CHECK_CONDITION;
  outcome.sense = FixedSense(senseKey, asc, ascq);
  return outcome;
}

ScsiOutcome ScsiOutcome::Failed(UCHAR srbStatus, UCHAR scsiStatus) {
  ScsiOutcome outcome;
  outcome.srbStatus = srbStatus;
  outcome.scsiStatus = scsiStatus;
  return outcome;
}

ScsiOutcome ScsiOutcome::Short(ULONG bytes) {
  ScsiOutcome outcome;
  outcome.srbStatus = SRB_STATUS_DATA_OVERRUN;
  outcome.bytes = bytes;
  return outcome;
}

std::vector<uint8_t> FixedSense(UCHAR senseKey, UCHAR asc, UCHAR ascq, UCHAR additionalLength, bool ili) {
  std::vector<uint8_t> sense(18, 0);
  sense[0] = 0x70;
  sense[2] = (uint8_t)((senseKey & 0x0F) | (ili ? 0x20 : 0));
  sense[7] = additionalLength;
  sense[12] = asc;
  sense[13] = ascq;
  return sense;
}

ScriptedInstrument& ScriptedInstrument::Then(const ScsiOutcome& outcome, int times) {
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < times; ++i) script_.push_back(outcome);
  return *this;
}

ScsiOutcome ScriptedInstrument::Execute(const ScsiCommand& command, std::span<uint8_t> data) {
  ScsiOutcome outcome;
  uint64_t position = 0;
  ULONG moved;
  {
    // The stream positions are taken in order here; the data moves outside
    // the lock, so commands on other threads move theirs at the same time.
    std::lock_guard<std::mutex> lock(mu_);
    ++commands_;
    if (!script_.empty()) {
      outcome = std::move(script_.front());
      script_.pop_front();
    }
    bool success = outcome.srbStatus == SRB_STATUS_SUCCESS || outcome.srbStatus == SRB_STATUS_DATA_OVERRUN;
    moved = outcome.bytes.value_or(success ? command.length : 0);
    moved = std::min<ULONG>(moved, (ULONG)data.size());
    if (command.DataIn()) {
      position = readPosition_;
      readPosition_ += moved;
    } else if (command.DataOut()) {
      position = writePosition_;
      writePosition_ += moved;
      if (position == written_.size() && position < keepWritten_) {
        if (written_.capacity() < keepWritten_) written_.reserve(keepWritten_);
        size_t kept = std::min<size_t>(moved, keepWritten_ - position);
        written_.insert(written_.end(), data.begin(), data.begin() + kept);
      }
    }
  }
  if (command.DataIn()) {
    FillPattern(position, data.first(moved));
  } else if (command.DataOut()) {
    StreamSummary piece;
    piece.Add(position, data.first(moved));
    writtenSum_.fetch_add(piece.sum, std::memory_order_relaxed);
    writtenWeighted_.fetch_add(piece.weighted, std::memory_order_relaxed);
  }
  outcome.bytes = moved;
  return outcome;
}

void ScriptedInstrument::FillPattern(uint64_t position, std::span<uint8_t> data) {
  if (data.empty()) return;
  const uint8_t* source = PatternSource();
  // The pattern repeats every 256 bytes, so the source can start at any of
  // the sixteen places in its first page that have the right phase. Take
  // the one that lies 256 to 511 bytes behind the destination modulo the
  // page size: a copy whose source lies a few bytes behind its destination
  // modulo 4096 runs several times slower (its loads wait on stores that
  // look alike in the low address bits). Pieces of a multiple of the page
  // size keep both the phase and that distance.
  uintptr_t destination = (uintptr_t)data.data();
  uintptr_t phase = position % 256;
  uintptr_t lag = (destination - phase) % 256;
  size_t offset = (destination - 256 - lag) % kSourcePage;
  uint8_t* out = data.data();
  size_t left = data.size();
  while (left != 0) {
    size_t piece = std::min(left, kSourcePiece);
    std::memcpy(out, source + offset, piece);
    out += piece;
    left -= piece;
  }
}

std::vector<uint8_t> ScriptedInstrument::Written() const {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
}

void ScriptedInstrument::KeepWritten(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  keepWritten_ = bytes;
  if (written_.size() > bytes) written_.resize(bytes);
}

uint64_t ScriptedInstrument::BytesWritten() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writePosition_;
}

StreamSummary ScriptedInstrument::WrittenSummary() const {
  std::lock_guard<std::mutex> lock(mu_);
  StreamSummary summary;
  summary.bytes = writePosition_;
  summary.sum = writtenSum_.load(std::memory_order_relaxed);
  summary.weighted = writtenWeighted_.load(std::memory_order_relaxed);
  return summary;
}

uint64_t ScriptedInstrument::BytesRead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return readPosition_;
}

int ScriptedInstrument::Commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

size_t ScriptedInstrument::ScriptLeft() const {
  std::lock_guard<std::mutex> lock(mu_);
  return script_.size();
}

}  // namespace sim
