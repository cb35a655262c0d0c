// The device the tools drive, as an application sees it: opened by the
// name the driver published, then pass-through commands, reads, writes and
// device controls. Two implementations, one per build: on the host, the
// kernel stand-in with the simulated port driver and scanner behind the
// loaded driver (device_host.cpp); on Windows, the platform's device,
// found through its interface and opened with CreateFile (device_win.cpp).
// The tools' own logic is the same for both.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform_names.h"

namespace tools {

// How many sense bytes each command asks for.
inline constexpr uint8_t kSenseBytes = 18;

// A request's I/O status block.
struct IoResult {
  NTSTATUS status = 0;
  size_t information = 0;
};

// What one pass-through command came back with.
struct CommandResult {
  NTSTATUS status = 0;        // of the request
  size_t bytes = 0;           // Information
  uint8_t srbStatus = 0;      // the SRB status byte
  std::vector<uint8_t> sense; // 18 bytes as the driver left them
  bool Good() const { return NT_SUCCESS(status) && (srbStatus & 0x3F) == SRB_STATUS_SUCCESS; }
  bool SenseValid() const { return (srbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0; }
};

// One application request, for traces.
struct RequestRecord {
  std::string what;
  std::chrono::steady_clock::time_point began, ended;
  NTSTATUS status = 0;
  size_t bytes = 0;
  uint64_t firstSrb = 0, srbs = 0;  // the port's sequence numbers it took, where known
};

// One SRB as the port saw it, where the bench under the device can tell.
struct SrbRecord {
  uint64_t sequence = 0;
  bool releaseQueue = false;
  std::vector<uint8_t> cdb;
  uint32_t asked = 0, moved = 0;
  uint8_t srbStatus = 0;
  uint8_t scsiStatus = 0;  // the target's status byte
  bool completed = false;
  std::chrono::steady_clock::time_point arrived, ended;
};

// How the host's simulated scanner is built; a device on Windows is what it
// is, and these do not apply to it.
struct DeviceOptions {
  uint32_t pageWidth = 9921, pageLength = 14031;  // 1/1200 inch: A4
  std::chrono::milliseconds warmUp{0};
  double faultRate = 0;
  uint32_t seed = 1;
  int completionThreads = 2;
  size_t srbRecords = 4096;  // how many SRBs the port keeps for a trace
};

class Device {
 public:
  virtual ~Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Finds the device and opens it by its published name; "" or why not.
  virtual std::string Open() = 0;
  const std::string& OpenName() const { return openName_; }

  // A pass-through of Cdb; Data (the application's own buffer) goes in or
  // out of the device as Direction says (SRB_FLAGS_DATA_IN/OUT, 0 none).
  CommandResult Command(const std::string& what, std::initializer_list<uint8_t> cdb, uint32_t direction,
                        std::span<uint8_t> data);
  CommandResult Command(const std::string& what, std::span<const uint8_t> cdb, uint32_t direction,
                        std::span<uint8_t> data);
  // ReadFile and WriteFile of the device.
  IoResult Read(std::span<uint8_t> data);
  IoResult Write(std::span<const uint8_t> data);
  IoResult Control(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output);

  // Closes the device; what the bench found left over (nothing on Windows,
  // where the platform keeps its own account).
  virtual std::vector<std::string> Close() = 0;

  // What the bench under the device tells beyond an application's view.
  // The SRBs the port has seen so far, when it can tell.
  virtual std::optional<uint64_t> SrbCount() { return std::nullopt; }
  // Of those, the execute-SCSI SRBs it completed.
  virtual std::optional<uint64_t> ExecutedCount() { return std::nullopt; }
  // The last SRBs it kept, for traces.
  virtual std::vector<SrbRecord> Srbs() { return {}; }
  // The driver's error-log entries as the kernel recorded them, when it can tell.
  virtual std::optional<std::vector<std::vector<uint8_t>>> ErrorLog() { return std::nullopt; }

  const std::vector<RequestRecord>& Requests() const { return requests_; }
  std::chrono::steady_clock::time_point Began() const { return began_; }

 protected:
  Device() : began_(std::chrono::steady_clock::now()) {}

  // The platform's side of each request.
  virtual CommandResult DoCommand(std::span<const uint8_t> cdb, uint32_t direction, std::span<uint8_t> data) = 0;
  virtual IoResult DoRead(std::span<uint8_t> data) = 0;
  virtual IoResult DoWrite(std::span<const uint8_t> data) = 0;
  virtual IoResult DoControl(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output) = 0;

  std::string openName_;

 private:
  RequestRecord& Begin(std::string what);
  void End(RequestRecord& record, NTSTATUS status, size_t bytes);

  std::vector<RequestRecord> requests_;
  std::chrono::steady_clock::time_point began_;
};

// The build's device. Options shape the host's simulated scanner.
std::unique_ptr<Device> MakeDevice(const DeviceOptions& options);

// The command block of a pass-through: Cdb (at most 16 bytes), a data phase
// of Length bytes in Direction, and where the driver writes the status byte
// and kSenseBytes of sense.
SCSISCAN_CMD CommandBlock(std::span<const uint8_t> cdb, uint32_t direction, size_t length, PUCHAR status,
                          PUCHAR sense);

// Puts a standard stream in binary mode, for raw bytes (a no-op where
// streams are binary already).
void SetBinary(std::FILE* stream);

}  // namespace tools
