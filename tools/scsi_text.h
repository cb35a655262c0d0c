// SCSI outcomes in words: SRB status bytes, SCSI status, sense keys and
// additional sense codes, and the driver's error-log entries.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform_names.h"

namespace tools {

// "SUCCESS", "ERROR, queue frozen, sense valid", ...
std::string SrbStatusText(uint8_t srbStatus);
std::string ScsiStatusText(uint8_t scsiStatus);
std::string SenseKeyText(uint8_t senseKey);
// The additional sense code and qualifier, "" when not in the table.
std::string AscText(uint8_t asc, uint8_t ascq);
// Fixed-format sense data decoded: "HARDWARE ERROR: internal target failure
// (44/00)", with ILI, end of medium and the Information field where set.
std::string SenseText(std::span<const uint8_t> sense);
std::string Hex(std::span<const uint8_t> bytes);
// "1 byte", "2 bytes": the count and the word that fits it.
std::string Count(uint64_t count, const std::string& one, const std::string& many);

// One error-log entry of the driver's device in words.
std::string ErrorLogEntryText(std::span<const uint8_t> entry);
std::string ErrorCodeName(NTSTATUS code);
std::string StatusName(NTSTATUS status);

// The service name under which the driver's entries are logged.
inline constexpr const char* kEventSource = "StillScsi";
// The event level of an error code, by its severity (the top two bits):
// "Success", "Information", "Warning" or "Error".
std::string EventLevelText(NTSTATUS code);
// The message text of an I/O error code with Device in place of its
// insertion string; "" for a code without one.
std::string ErrorCodeMessage(NTSTATUS code, const std::string& device);
// One error-log entry as an event viewer shows it: level, source, event ID,
// sequence number, message, device and address (each "" when the log does
// not record it), the codes, the SRB and its sense decoded, and the dump
// data as 32-bit words. Lines end with a newline and start with Indent.
std::string ErrorLogEventText(std::span<const uint8_t> entry, const std::string& device, const std::string& address,
                              const std::string& indent = "  ");

}  // namespace tools
