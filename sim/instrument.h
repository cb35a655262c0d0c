// The instrument behind a simulated SCSI unit: it executes one CDB against
// the data buffer of the SRB that carries it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "host_ddk.h"

namespace sim {

// The first CdbLength bytes of a CDB (at most 16), kept in place. Reads like
// a container of bytes: cdb[0], cdb.size(), ranges and matchers.
struct CdbBytes {
  using value_type = uint8_t;
  using size_type = size_t;
  using const_iterator = const uint8_t*;
  using iterator = const uint8_t*;

  uint8_t bytes[16]{};
  uint8_t length = 0;

  CdbBytes() = default;
  CdbBytes(const UCHAR* cdb, size_t count);
  const uint8_t* begin() const { return bytes; }
  const uint8_t* end() const { return bytes + length; }
  size_t size() const { return length; }
  bool empty() const { return length == 0; }
  uint8_t operator[](size_t index) const { return bytes[index]; }
};

struct ScsiCommand {
  CdbBytes cdb;
  ULONG srbFlags = 0;
  ULONG length = 0;          // DataTransferLength asked
  bool DataIn() const { return (srbFlags & SRB_FLAGS_DATA_IN) != 0; }
  bool DataOut() const { return (srbFlags & SRB_FLAGS_DATA_OUT) != 0; }
};

// What the unit reports for one command.
struct ScsiOutcome {
  UCHAR srbStatus = SRB_STATUS_SUCCESS;  // low six bits; the port adds 0x40 and 0x80
  UCHAR scsiStatus = SCSISTAT_GOOD;
  std::optional<ULONG> bytes;            // moved; default all asked on success, 0 on failure
  std::vector<uint8_t> sense;            // autosense data; empty for none
  std::optional<UCHAR> senseLength;      // SenseInfoBufferLength reported; default the bytes copied

  static ScsiOutcome Good(std::optional<ULONG> bytes = std::nullopt);
  // CHECK CONDITION with fixed-format sense data (18 bytes, additional length 10).
  static ScsiOutcome CheckCondition(UCHAR senseKey, UCHAR asc = 0, UCHAR ascq = 0);
  // A failure reported by the SRB status alone, without sense data.
  static ScsiOutcome Failed(UCHAR srbStatus, UCHAR scsiStatus = SCSISTAT_GOOD);
  // Fewer bytes than asked.
  static ScsiOutcome Short(ULONG bytes);
};

// Fixed-format sense data.
std::vector<uint8_t> FixedSense(UCHAR senseKey, UCHAR asc, UCHAR ascq, UCHAR additionalLength = 10, bool ili = false);

// A summary of a byte stream that costs two additions per eight bytes and
// can be built from pieces in any order. The stream is read as 64-bit
// little-endian words from position 0; Sum adds the words and Weighted adds
// each word times its index plus one, both modulo 2^64. Any change of one
// byte changes Sum; moved or reordered words change Weighted.
struct StreamSummary {
  uint64_t bytes = 0;
  uint64_t sum = 0;
  uint64_t weighted = 0;

  // Adds Data as the stream's bytes from Position on.
  void Add(uint64_t position, std::span<const uint8_t> data);
  // The summary of a whole stream.
  static StreamSummary Of(std::span<const uint8_t> stream);
  bool operator==(const StreamSummary&) const = default;
};

class Instrument {
 public:
  virtual ~Instrument() = default;
  // Data is the SRB's data as the port driver reaches it through the
  // request's MDL; empty when there is no data phase. Called from as many
  // threads as the port completes on.
  virtual ScsiOutcome Execute(const ScsiCommand& command, std::span<uint8_t> data) = 0;
};

// Succeeds with every command unless outcomes are queued; queued outcomes are
// used in order ("CHECK CONDITION 04/01 twice, then good"). Reads receive a
// repeating pattern that continues across commands. Writes are counted and
// summarised; their first bytes are kept.
class ScriptedInstrument : public Instrument {
 public:
  static constexpr size_t kDefaultKeptWritten = size_t(1) << 20;

  ScriptedInstrument& Then(const ScsiOutcome& outcome, int times = 1);
  ScsiOutcome Execute(const ScsiCommand& command, std::span<uint8_t> data) override;

  // The byte the pattern gives at offset Position of the read stream.
  static uint8_t PatternByte(uint64_t position) { return (uint8_t)(position * 7 + 3); }
  // Fills Data with the pattern's bytes from Position on, at the speed of a
  // memory copy.
  static void FillPattern(uint64_t position, std::span<uint8_t> data);

  // The first bytes written, up to the bound KeepWritten sets (default
  // kDefaultKeptWritten); set it before the first write.
  std::vector<uint8_t> Written() const;
  void KeepWritten(size_t bytes);
  uint64_t BytesWritten() const;
  // The summary of every byte written, kept or not.
  StreamSummary WrittenSummary() const;

  uint64_t BytesRead() const;
  int Commands() const;
  size_t ScriptLeft() const;

 private:
  mutable std::mutex mu_;
  std::deque<ScsiOutcome> script_;
  std::vector<uint8_t> written_;
  size_t keepWritten_ = kDefaultKeptWritten;
  uint64_t writePosition_ = 0;
  // Added to outside the lock by commands that write at once.
  std::atomic<uint64_t> writtenSum_{0};
  std::atomic<uint64_t> writtenWeighted_{0};
  uint64_t readPosition_ = 0;
  int commands_ = 0;
};

}  // namespace sim
