// The bench the tools run on: a kernel stand-in with the simulated port
// driver, a simulated scanner behind it and the driver loaded, added and
// started through the Plug and Play manager; and an application's handle
// of the device, opened by the name the driver published. Everything the
// tools do to the scanner goes through that handle.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port_driver.h"
#include "scanner.h"
#include "stillscsi_ioctl.h"
#include "world.h"

namespace tools {

struct RigOptions {
  sim::ScannerOptions scanner;
  int completionThreads = 2;
  size_t srbRecords = 4096;  // how many SRBs the port keeps for a trace
};

// What one pass-through command came back with.
struct CommandResult {
  NTSTATUS status = 0;        // of the request
  size_t bytes = 0;           // Information
  uint8_t srbStatus = 0;      // the status byte
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
  uint64_t firstSrb = 0, srbs = 0;  // the port's sequence numbers it took
};

class Rig {
 public:
  explicit Rig(RigOptions options = {});
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Loads, adds and starts the driver and opens the device; "" or why not.
  std::string Start();
  std::string OpenName() const { return openName_; }

  // A pass-through of Cdb; Data (the application's own buffer) goes in or
  // out of the device as Direction says (SRB_FLAGS_DATA_IN/OUT, 0 none).
  CommandResult Command(const std::string& what, std::initializer_list<uint8_t> cdb, uint32_t direction,
                        std::span<uint8_t> data);
  CommandResult Command(const std::string& what, std::span<const uint8_t> cdb, uint32_t direction,
                        std::span<uint8_t> data);
  // A plain read of the device (ReadFile) into Data.
  host::IoResult Read(std::span<uint8_t> data);
  host::IoResult Control(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output);

  // Ends the session: closes, removes and unloads; what the audit found.
  std::vector<std::string> Finish();

  host::World& World() { return *world_; }
  sim::PortDriver& Port() { return *port_; }
  sim::SimulatedScanner& Scanner() { return scanner_; }
  const std::vector<RequestRecord>& Requests() const { return requests_; }
  std::chrono::steady_clock::time_point Began() const { return began_; }

 private:
  // An application's buffer in its own memory.
  uint8_t* UserBuffer(size_t length);
  RequestRecord& Begin(std::string what);
  void End(RequestRecord& record, NTSTATUS status, size_t bytes);

  RigOptions options_;
  std::unique_ptr<host::World> world_;
  sim::SimulatedScanner scanner_;
  std::unique_ptr<sim::PortDriver> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  host::Handle handle_;
  std::string openName_;
  uint8_t* scratch_ = nullptr;  // the application's buffers
  void* commandBlock_ = nullptr;  // the command block, its status byte and sense, in the application's memory
  size_t scratchSize_ = 0;
  std::vector<RequestRecord> requests_;
  std::chrono::steady_clock::time_point began_;
  bool finished_ = false;
};

}  // namespace tools
