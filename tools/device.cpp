#include "device.h"

#include <algorithm>
#include <cstring>

namespace tools {

SCSISCAN_CMD CommandBlock(std::span<const uint8_t> cdb, uint32_t direction, size_t length, PUCHAR status,
                          PUCHAR sense) {
  SCSISCAN_CMD cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.Size = sizeof(cmd);
  cmd.SrbFlags = length == 0 ? 0 : direction;
  cmd.CdbLength = (UCHAR)std::min<size_t>(cdb.size(), 16);
  std::memcpy(cmd.Cdb, cdb.data(), cmd.CdbLength);
  cmd.TransferLength = (ULONG)length;
  cmd.SenseLength = kSenseBytes;
  cmd.pSrbStatus = status;
  cmd.pSenseBuffer = sense;
  return cmd;
}

RequestRecord& Device::Begin(std::string what) {
  RequestRecord& record = requests_.emplace_back();
  record.what = std::move(what);
  record.firstSrb = SrbCount().value_or(0);
  record.began = std::chrono::steady_clock::now();
  return record;
}

void Device::End(RequestRecord& record, NTSTATUS status, size_t bytes) {
  record.ended = std::chrono::steady_clock::now();
  record.status = status;
  record.bytes = bytes;
  record.srbs = SrbCount().value_or(0) - record.firstSrb;
}

CommandResult Device::Command(const std::string& what, std::initializer_list<uint8_t> cdb, uint32_t direction,
                              std::span<uint8_t> data) {
  return Command(what, std::span<const uint8_t>(cdb.begin(), cdb.size()), direction, data);
}

CommandResult Device::Command(const std::string& what, std::span<const uint8_t> cdb, uint32_t direction,
                              std::span<uint8_t> data) {
  RequestRecord& record = Begin(what);
  CommandResult result = DoCommand(cdb, direction, data);
  End(record, result.status, result.bytes);
  return result;
}

IoResult Device::Read(std::span<uint8_t> data) {
  RequestRecord& record = Begin("ReadFile");
  IoResult io = DoRead(data);
  End(record, io.status, io.information);
  return io;
}

IoResult Device::Write(std::span<const uint8_t> data) {
  RequestRecord& record = Begin("WriteFile");
  IoResult io = DoWrite(data);
  End(record, io.status, io.information);
  return io;
}

IoResult Device::Control(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output) {
  RequestRecord& record = Begin("device control");
  IoResult io = DoControl(code, input, output);
  End(record, io.status, io.information);
  return io;
}

}  // namespace tools
