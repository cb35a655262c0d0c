#include "scsi_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tools {

namespace {

struct Named {
  uint32_t value;
  const char* name;
};

const Named kSrbStatus[] = {
    {0x00, "PENDING"},         {0x01, "SUCCESS"},          {0x02, "ABORTED"},           {0x03, "ABORT FAILED"},
    {0x04, "ERROR"},           {0x05, "BUSY"},             {0x06, "INVALID REQUEST"},   {0x07, "INVALID PATH ID"},
    {0x08, "NO DEVICE"},       {0x09, "TIMEOUT"},          {0x0A, "SELECTION TIMEOUT"}, {0x0B, "COMMAND TIMEOUT"},
    {0x0D, "MESSAGE REJECTED"}, {0x0E, "BUS RESET"},       {0x0F, "PARITY ERROR"},      {0x10, "REQUEST SENSE FAILED"},
    {0x11, "NO HBA"},          {0x12, "DATA OVERRUN"},     {0x13, "UNEXPECTED BUS FREE"}, {0x14, "PHASE SEQUENCE FAILURE"},
    {0x15, "BAD SRB BLOCK LENGTH"}, {0x16, "REQUEST FLUSHED"}, {0x20, "INVALID LUN"},   {0x21, "INVALID TARGET ID"},
    {0x22, "BAD FUNCTION"},    {0x23, "ERROR RECOVERY"},   {0x24, "NOT POWERED"},       {0x30, "INTERNAL ERROR"},
};

const Named kScsiStatus[] = {{0x00, "GOOD"},  {0x02, "CHECK CONDITION"}, {0x04, "CONDITION MET"},
                             {0x08, "BUSY"},  {0x10, "INTERMEDIATE"},    {0x18, "RESERVATION CONFLICT"},
                             {0x22, "COMMAND TERMINATED"}, {0x28, "QUEUE FULL"}};

const char* const kSenseKeys[] = {"NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
                                  "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
                                  "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
                                  "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED"};

// Additional sense codes: ASC << 8 | ASCQ, or ASC << 8 | 0xFF for any ASCQ.
const Named kAsc[] = {
    {0x0000, "no additional sense information"},
    {0x0401, "logical unit is in process of becoming ready"},
    {0x0402, "logical unit not ready, initializing command required"},
    {0x0403, "logical unit not ready, manual intervention required"},
    {0x0404, "logical unit not ready, format in progress"},
    {0x04FF, "logical unit not ready"},
    {0x11FF, "unrecovered read error"},
    {0x14FF, "recorded entity not found"},
    {0x15FF, "random positioning error"},
    {0x17FF, "recovered data with no error correction applied"},
    {0x18FF, "recovered data with error correction applied"},
    {0x1A00, "parameter list length error"},
    {0x2000, "invalid command operation code"},
    {0x2100, "logical block address out of range"},
    {0x2400, "invalid field in CDB"},
    {0x2500, "logical unit not supported"},
    {0x2600, "invalid field in parameter list"},
    {0x2700, "write protected"},
    {0x29FF, "power on, reset, or bus device reset occurred"},
    {0x2C00, "command sequence error"},
    {0x3AFF, "medium not present"},
    {0x3B0D, "medium destination element full"},
    {0x3B0E, "medium source element empty"},
    {0x44FF, "internal target failure"},
    {0x5300, "media load or eject failed"},
};

const Named kErrorCodes[] = {{(uint32_t)IO_ERR_BAD_BLOCK, "IO_ERR_BAD_BLOCK"},
                             {(uint32_t)IO_ERR_CONTROLLER_ERROR, "IO_ERR_CONTROLLER_ERROR"},
                             {(uint32_t)IO_ERR_SEEK_ERROR, "IO_ERR_SEEK_ERROR"},
                             {(uint32_t)IO_RECOVERED_VIA_ECC, "IO_RECOVERED_VIA_ECC"},
                             {(uint32_t)IO_ERR_NOT_READY, "IO_ERR_NOT_READY"}};

// The message text of each I/O error code the driver logs, in the words the
// platform's message file gives them; %1 stands for the device.
const Named kErrorMessages[] = {
    {(uint32_t)IO_ERR_SEEK_ERROR, "The device, %1, had a seek error."},
    {(uint32_t)IO_ERR_BAD_BLOCK, "The device, %1, has a bad block."},
    {(uint32_t)IO_ERR_CONTROLLER_ERROR, "The driver found a controller error on %1."},
    {(uint32_t)IO_ERR_NOT_READY, "The device, %1, is not ready for access yet."},
    {(uint32_t)IO_RECOVERED_VIA_ECC, "Data on %1 was recovered by error correction."},
};

const Named kStatuses[] = {{(uint32_t)STATUS_SUCCESS, "STATUS_SUCCESS"},
                           {(uint32_t)STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
                           {(uint32_t)STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
                           {(uint32_t)STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
                           {(uint32_t)STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
                           {(uint32_t)STATUS_INVALID_BLOCK_LENGTH, "STATUS_INVALID_BLOCK_LENGTH"},
                           {(uint32_t)STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"}};

const char* Find(const Named* table, size_t count, uint32_t value) {
  for (size_t i = 0; i < count; ++i) {
    if (table[i].value == value) return table[i].name;
  }
  return nullptr;
}

std::string HexValue(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

}  // namespace

std::string SrbStatusText(uint8_t srbStatus) {
  const char* name = Find(kSrbStatus, std::size(kSrbStatus), srbStatus & 0x3F);
  std::string text = name ? name : "SRB status " + HexValue(srbStatus & 0x3F, 2);
  if (srbStatus & 0x40) text += ", queue frozen";
  if (srbStatus & 0x80) text += ", sense valid";
  return text;
}

std::string ScsiStatusText(uint8_t scsiStatus) {
  const char* name = Find(kScsiStatus, std::size(kScsiStatus), scsiStatus);
  return name ? name : "SCSI status " + HexValue(scsiStatus, 2);
}

std::string SenseKeyText(uint8_t senseKey) { return kSenseKeys[senseKey & 0x0F]; }

std::string AscText(uint8_t asc, uint8_t ascq) {
  const char* name = Find(kAsc, std::size(kAsc), (uint32_t)asc << 8 | ascq);
  if (name == nullptr) name = Find(kAsc, std::size(kAsc), (uint32_t)asc << 8 | 0xFF);
  return name ? name : "";
}

std::string SenseText(std::span<const uint8_t> sense) {
  if (sense.size() < 3) return "no sense data";
  uint8_t key = sense[2] & 0x0F;
  uint8_t asc = sense.size() > 12 ? sense[12] : 0, ascq = sense.size() > 13 ? sense[13] : 0;
  char codes[16];
  std::snprintf(codes, sizeof(codes), "%02X/%02X", asc, ascq);
  std::string words = AscText(asc, ascq);
  std::string text = SenseKeyText(key) + ": " + (words.empty() ? "additional sense code" : words) + " (" + codes + ")";
  if (sense[2] & 0x20) text += ", incorrect length";
  if (sense[2] & 0x40) text += ", end of medium";
  if ((sense[0] & 0x80) && sense.size() >= 7) {
    uint32_t information = (uint32_t)sense[3] << 24 | (uint32_t)sense[4] << 16 | (uint32_t)sense[5] << 8 | sense[6];
    text += ", information " + std::to_string(information);
  }
  return text;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof(byte), i ? " %02x" : "%02x", bytes[i]);
    text += byte;
  }
  return text;
}

std::string Count(uint64_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string ErrorCodeName(NTSTATUS code) {
  const char* name = Find(kErrorCodes, std::size(kErrorCodes), (uint32_t)code);
  return name ? name : HexValue((uint32_t)code, 8);
}

std::string StatusName(NTSTATUS status) {
  const char* name = Find(kStatuses, std::size(kStatuses), (uint32_t)status);
  return name ? name : HexValue((uint32_t)status, 8);
}

std::string ErrorLogEntryText(std::span<const uint8_t> entry) {
  IO_ERROR_LOG_PACKET packet{};
  std::memcpy(&packet, entry.data(), std::min(entry.size(), sizeof(packet)));
  size_t words = packet.DumpDataSize / 4;
  uint32_t dump[6] = {};
  size_t offset = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  for (size_t i = 0; i < words && i < 6 && offset + 4 * (i + 1) <= entry.size(); ++i) {
    std::memcpy(&dump[i], entry.data() + offset + 4 * i, 4);
  }
  char text[256];
  std::snprintf(text, sizeof(text), "%s (unique %u), final %s, retry %u, major 0x%02X", ErrorCodeName(packet.ErrorCode).c_str(),
                (unsigned)packet.UniqueErrorValue, StatusName(packet.FinalStatus).c_str(), packet.RetryCount,
                packet.MajorFunctionCode);
  std::string line = text;
  if (words >= 5) {
    // Words 0 to 2 are the logged SRB's own path, target and LUN, which
    // the driver leaves 0: not the device's address, so not shown.
    std::snprintf(text, sizeof(text), "; SRB %s; SCSI %s", SrbStatusText((uint8_t)(dump[4] >> 8)).c_str(),
                  ScsiStatusText((uint8_t)dump[4]).c_str());
    line += text;
  }
  if (words >= 6 && dump[5] != 0) {
    std::snprintf(text, sizeof(text), "; sense %s %02X/%02X", SenseKeyText((uint8_t)(dump[5] >> 16)).c_str(),
                  (dump[5] >> 8) & 0xFF, dump[5] & 0xFF);
    line += text;
  }
  return line;
}

std::string EventLevelText(NTSTATUS code) {
  static const char* const kLevels[] = {"Success", "Information", "Warning", "Error"};
  return kLevels[(uint32_t)code >> 30];
}

std::string ErrorCodeMessage(NTSTATUS code, const std::string& device) {
  const char* message = Find(kErrorMessages, std::size(kErrorMessages), (uint32_t)code);
  if (message == nullptr) return "";
  std::string text = message;
  size_t at = text.find("%1");
  if (at != std::string::npos) text.replace(at, 2, device);
  return text;
}

std::string ErrorLogEventText(std::span<const uint8_t> entry, const std::string& device, const std::string& address,
                              const std::string& indent) {
  IO_ERROR_LOG_PACKET packet{};
  std::memcpy(&packet, entry.data(), std::min(entry.size(), sizeof(packet)));
  size_t offset = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  // The dump words the entry says it has and holds whole.
  std::vector<uint32_t> dump;
  for (size_t i = 0; i < packet.DumpDataSize / 4 && offset + 4 * (i + 1) <= entry.size(); ++i) {
    uint32_t word;
    std::memcpy(&word, entry.data() + offset + 4 * i, 4);
    dump.push_back(word);
  }

  std::string text;
  auto line = [&](const char* label, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof(head), "%-16s", label);
    text += indent + head + value + "\n";
  };
  const std::string notRecorded = "not recorded in this log";
  uint16_t eventId = (uint16_t)((uint32_t)packet.ErrorCode & 0xFFFF);
  std::string message = ErrorCodeMessage(packet.ErrorCode, device.empty() ? "the device" : device);
  if (message.empty()) {
    message = "No message text for event ID " + std::to_string(eventId) + " of source " + kEventSource + ".";
  }
  line("Level:", EventLevelText(packet.ErrorCode));
  line("Source:", kEventSource);
  line("Event ID:", std::to_string(eventId));
  line("Sequence:", std::to_string(packet.SequenceNumber));
  line("Message:", message);
  line("Device:", device.empty() ? notRecorded : device);
  line("Address:", address.empty() ? notRecorded : address);
  line("Error code:", HexValue((uint32_t)packet.ErrorCode, 8) + " " + ErrorCodeName(packet.ErrorCode) + ", unique value " +
                          std::to_string(packet.UniqueErrorValue));
  // The driver logs STATUS_SUCCESS as the final status while the command
  // is still to be sent again, and for an error the device recovered from.
  line("Final status:", StatusName(packet.FinalStatus) +
                            (packet.FinalStatus == STATUS_SUCCESS ? " (sent again, or recovered by the device)" : ""));
  line("Retries:", std::to_string(packet.RetryCount));
  line("Major function:", HexValue(packet.MajorFunctionCode, 2) + (packet.MajorFunctionCode == IRP_MJ_SCSI ? " (IRP_MJ_SCSI)" : ""));
  if (dump.size() >= 5) {
    uint8_t srbStatus = (uint8_t)(dump[4] >> 8);
    line("SRB:", SrbStatusText(srbStatus) + "; SCSI " + ScsiStatusText((uint8_t)dump[4]));
    if (!(srbStatus & SRB_STATUS_AUTOSENSE_VALID)) {
      // The sense word is read from the buffer whatever the SRB says; it
      // may hold what an earlier failure left there.
      line("Sense:", dump.size() >= 6 && dump[5] != 0
                         ? "none: the SRB carried no sense data (word 5 holds " + HexValue(dump[5], 8) + ")"
                         : "none: the SRB carried no sense data");
    } else if (dump.size() >= 6) {
      std::vector<uint8_t> sense(18, 0);
      sense[0] = 0x70;
      sense[2] = (uint8_t)((dump[5] >> 16) & 0x0F);
      sense[7] = 10;
      sense[12] = (uint8_t)(dump[5] >> 8);
      sense[13] = (uint8_t)dump[5];
      line("Sense:", SenseText(sense));
    } else {
      line("Sense:", "not in the entry");
    }
  }
  if (dump.empty()) {
    line("Dump data:", "none");
  } else {
    for (size_t i = 0; i < dump.size(); i += 4) {
      char words[64];
      int at = std::snprintf(words, sizeof(words), "%04zx:", 4 * i);
      for (size_t j = i; j < dump.size() && j < i + 4; ++j) at += std::snprintf(words + at, sizeof(words) - at, " %08x", dump[j]);
      line(i == 0 ? "Dump data:" : "", words);
    }
    if (dump.size() >= 3) {
      // Words 0 to 2 are the logged SRB's own PathId, TargetId and Lun,
      // which the driver does not fill: they are not the device's address.
      line("", "(words 0 to 2: the SRB's path, target and LUN fields, which the driver leaves 0: not the "
               "device's address)");
    }
  }
  return text;
}

}  // namespace tools
