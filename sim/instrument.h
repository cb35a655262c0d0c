// The instrument behind a simulated SCSI unit: it executes one CDB against
// the data buffer of the SRB that carries it.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "host_ddk.h"

namespace sim {

struct ScsiCommand {
  std::vector<uint8_t> cdb;  // the first CdbLength bytes
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

class Instrument {
 public:
  virtual ~Instrument() = default;
  // Data is the SRB's data as the port driver reaches it through the
  // request's MDL; empty when there is no data phase.
  virtual ScsiOutcome Execute(const ScsiCommand& command, std::span<uint8_t> data) = 0;
};

// Succeeds with every command unless outcomes are queued; queued outcomes are
// used in order ("CHECK CONDITION 04/01 twice, then good"). Reads receive a
// repeating pattern that continues across commands; written data is kept.
class ScriptedInstrument : public Instrument {
 public:
  ScriptedInstrument& Then(const ScsiOutcome& outcome, int times = 1);
  ScsiOutcome Execute(const ScsiCommand& command, std::span<uint8_t> data) override;

  // The byte the pattern gives at offset Position of the read stream.
  static uint8_t PatternByte(uint64_t position) { return (uint8_t)(position * 7 + 3); }
  std::vector<uint8_t> Written() const;
  uint64_t BytesRead() const;
  int Commands() const;
  size_t ScriptLeft() const;

 private:
  mutable std::mutex mu_;
  std::deque<ScsiOutcome> script_;
  std::vector<uint8_t> written_;
  uint64_t readPosition_ = 0;
  int commands_ = 0;
};

}  // namespace sim
