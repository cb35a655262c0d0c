#include "instrument.h"

#include <algorithm>

namespace sim {

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
  std::lock_guard<std::mutex> lock(mu_);
  ++commands_;
  ScsiOutcome outcome;
  if (!script_.empty()) {
    outcome = script_.front();
    script_.pop_front();
  }
  bool success = outcome.srbStatus == SRB_STATUS_SUCCESS || outcome.srbStatus == SRB_STATUS_DATA_OVERRUN;
  ULONG moved = outcome.bytes.value_or(success ? command.length : 0);
  moved = std::min<ULONG>(moved, (ULONG)data.size());
  if (command.DataIn()) {
    for (ULONG i = 0; i < moved; ++i) data[i] = PatternByte(readPosition_ + i);
    readPosition_ += moved;
  } else if (command.DataOut()) {
    written_.insert(written_.end(), data.begin(), data.begin() + moved);
  }
  outcome.bytes = moved;
  return outcome;
}

std::vector<uint8_t> ScriptedInstrument::Written() const {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
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
