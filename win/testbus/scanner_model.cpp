#include "scanner_model.h"

#include "scanner.h"

namespace testbus {

ScannerModel::ScannerModel(const ScannerSetup& setup) {
  sim::ScannerOptions options;
  options.pageWidth = setup.pageWidth;
  options.pageLength = setup.pageLength;
  options.warmUp = std::chrono::milliseconds(setup.warmUpMs);
  options.faultRate = setup.faultRate;
  options.seed = setup.seed;
  scanner_ = std::make_unique<sim::SimulatedScanner>(options);
}

ScannerModel::~ScannerModel() = default;

Outcome ScannerModel::Execute(const uint8_t* cdb, uint8_t cdbLength, uint32_t srbFlags, std::span<uint8_t> data) {
  sim::ScsiCommand command;
  command.cdb = sim::CdbBytes(cdb, cdbLength);
  command.srbFlags = srbFlags;
  command.length = (ULONG)data.size();
  sim::ScsiOutcome outcome = scanner_->Execute(command, data);
  Outcome plain;
  plain.srbStatus = (uint8_t)(outcome.srbStatus & 0x3F);
  plain.scsiStatus = outcome.scsiStatus;
  // As the simulated port driver reads it (sim/port_scsi.cpp).
  plain.bytes = std::min<uint32_t>(outcome.bytes.value_or(0), (uint32_t)data.size());
  plain.sense = outcome.sense;
  plain.reportsSenseLength = outcome.senseLength.has_value();
  plain.senseLength = outcome.senseLength.value_or(0);
  return plain;
}

}  // namespace testbus
