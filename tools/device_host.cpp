// The host build's device: a kernel stand-in with the simulated port driver,
// a simulated scanner behind it and the driver loaded, added and started
// through the Plug and Play manager; and an application's handle of the
// device, opened by the name the driver published. Requests are completed
// from the port's own threads, as hardware completes them.
#include <algorithm>
#include <cstring>

#include "device.h"
#include "driver.h"
#include "port_driver.h"
#include "scanner.h"
#include "world.h"

namespace tools {

namespace {

host::World::Options WorldOptions() {
  host::World::Options options;
  options.userSpaceBytes = size_t(512) << 20;
  return options;
}

sim::PortConfig PortOptions(const DeviceOptions& options) {
  sim::PortConfig config;
  config.scsi = sim::Completion::Threaded;
  config.ioctl = sim::Completion::Threaded;
  config.pnp = sim::Completion::Threaded;
  config.completionThreads = options.completionThreads;
  config.srbRecords = options.srbRecords;
  return config;
}

sim::ScannerOptions ScannerOptions(const DeviceOptions& options) {
  sim::ScannerOptions scanner;
  scanner.pageWidth = options.pageWidth;
  scanner.pageLength = options.pageLength;
  scanner.warmUp = options.warmUp;
  scanner.faultRate = options.faultRate;
  scanner.seed = options.seed;
  return scanner;
}

IoResult Io(const host::IoResult& io) { return {io.status, (size_t)io.information}; }

class HostDevice : public Device {
 public:
  explicit HostDevice(const DeviceOptions& options)
      : world_(std::make_unique<host::World>(WorldOptions())), scanner_(ScannerOptions(options)) {
    port_ = std::make_unique<sim::PortDriver>(*world_, PortOptions(options));
    port_->SetInstrument(&scanner_);
    pdo_ = port_->Pdo();
  }
  ~HostDevice() override {
    if (!closed_) Close();
  }

  std::string Open() override {
    NTSTATUS status;
    driver_ = world_->LoadDriver("StillScsi", DriverEntry,
                                 "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi", &status, true);
    if (driver_ == nullptr) return "the driver did not load";
    if (!NT_SUCCESS(world_->pnp.AddDevice(driver_, pdo_))) return "the device was not added";
    if (!NT_SUCCESS(world_->pnp.Send(pdo_, IRP_MN_START_DEVICE).status)) return "the device did not start";
    {
      std::lock_guard<host::WorldLock> lock(world_->mu);
      const host::RegistryValue* value = world_->registry.Value(pdo_, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName");
      if (value != nullptr) openName_ = host::Narrow(value->Text());
    }
    if (openName_.empty()) return "the driver published no open name";
    if (!NT_SUCCESS(world_->app.Open(openName_, &handle_))) return "the device did not open by " + openName_;
    return "";
  }

  std::vector<std::string> Close() override {
    closed_ = true;
    if (handle_.file != nullptr) world_->app.Close(handle_);
    if (pdo_->AttachedDevice != nullptr) world_->pnp.Remove(pdo_);
    port_->Shutdown();
    if (driver_ != nullptr) world_->UnloadDriver(driver_);
    records_ = SrbRecords();
    srbCount_ = port_->SrbCount();
    executed_ = port_->ExecuteCount();
    port_.reset();
    return world_->Audit();
  }

  std::optional<uint64_t> SrbCount() override { return port_ ? port_->SrbCount() : srbCount_; }
  std::optional<uint64_t> ExecutedCount() override { return port_ ? port_->ExecuteCount() : executed_; }
  std::vector<SrbRecord> Srbs() override { return port_ ? SrbRecords() : records_; }

  std::optional<std::vector<std::vector<uint8_t>>> ErrorLog() override {
    std::vector<std::vector<uint8_t>> entries;
    std::lock_guard<host::WorldLock> lock(world_->mu);
    for (const host::ErrorLogEntry& entry : world_->errorLog.Entries()) entries.push_back(entry.bytes);
    return entries;
  }

 protected:
  CommandResult DoCommand(std::span<const uint8_t> cdb, uint32_t direction, std::span<uint8_t> data) override {
    // The application's command block, status byte and sense buffer, then
    // its data buffer, all in its own memory. One block for every command
    // of the run, as an application keeps one: a block per command would
    // use up the address space in a long scan.
    host::UserSpace& user = world_->user;
    if (commandBlock_ == nullptr) commandBlock_ = user.Alloc(sizeof(SCSISCAN_CMD) + 1 + kSenseBytes);
    auto* block = (SCSISCAN_CMD*)commandBlock_;
    PUCHAR status = (PUCHAR)(block + 1);
    PUCHAR sense = status + 1;
    uint8_t* buffer = data.empty() ? nullptr : UserBuffer(data.size());
    if (direction & SRB_FLAGS_DATA_OUT) std::memcpy(user.Bytes(buffer, data.size()).data(), data.data(), data.size());

    SCSISCAN_CMD cmd = CommandBlock(cdb, direction, data.size(), status, sense);
    std::memcpy(user.Bytes(block, sizeof(cmd)).data(), &cmd, sizeof(cmd));
    std::memset(user.Bytes(status, 1 + kSenseBytes).data(), 0, 1 + kSenseBytes);

    host::IoResult io =
        world_->app.DeviceIoControl(handle_, IOCTL_SCSISCAN_CMD, block, sizeof(cmd), buffer, (ULONG)data.size());
    CommandResult result;
    result.status = io.status;
    result.bytes = io.information;
    result.srbStatus = user.Bytes(status, 1)[0];
    auto senseBytes = user.Bytes(sense, kSenseBytes);
    result.sense.assign(senseBytes.begin(), senseBytes.end());
    if ((direction & SRB_FLAGS_DATA_IN) && !data.empty()) {
      std::memcpy(data.data(), user.Bytes(buffer, data.size()).data(), data.size());
    }
    return result;
  }

  IoResult DoRead(std::span<uint8_t> data) override {
    uint8_t* buffer = UserBuffer(data.size());
    host::IoResult io = world_->app.Read(handle_, buffer, (ULONG)data.size());
    std::memcpy(data.data(), world_->user.Bytes(buffer, data.size()).data(), data.size());
    return Io(io);
  }

  IoResult DoWrite(std::span<const uint8_t> data) override {
    uint8_t* buffer = UserBuffer(data.size());
    std::memcpy(world_->user.Bytes(buffer, data.size()).data(), data.data(), data.size());
    return Io(world_->app.Write(handle_, buffer, (ULONG)data.size()));
  }

  IoResult DoControl(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output) override {
    uint8_t* in = input.empty() ? nullptr : (uint8_t*)world_->user.Alloc(input.size());
    uint8_t* out = output.empty() ? nullptr : (uint8_t*)world_->user.Alloc(output.size());
    if (in != nullptr) std::memcpy(world_->user.Bytes(in, input.size()).data(), input.data(), input.size());
    host::IoResult io = world_->app.DeviceIoControl(handle_, code, in, (ULONG)input.size(), out, (ULONG)output.size());
    if (out != nullptr) std::memcpy(output.data(), world_->user.Bytes(out, output.size()).data(), output.size());
    return Io(io);
  }

 private:
  // An application's buffer in its own memory.
  uint8_t* UserBuffer(size_t length) {
    if (length > scratchSize_) {
      scratchSize_ = std::max(length, scratchSize_ * 2);
      scratch_ = (uint8_t*)world_->user.Alloc(scratchSize_);
    }
    return scratch_;
  }

  std::vector<SrbRecord> SrbRecords() {
    std::vector<SrbRecord> records;
    for (const sim::SentSrb& sent : port_->Srbs()) {
      SrbRecord& record = records.emplace_back();
      record.sequence = sent.sequence;
      record.releaseQueue = sent.srb.Function == SRB_FUNCTION_RELEASE_QUEUE;
      if (sent.srb.Function == SRB_FUNCTION_EXECUTE_SCSI) record.cdb.assign(sent.cdb.begin(), sent.cdb.end());
      record.asked = sent.srb.DataTransferLength;
      record.moved = sent.completedBytes;
      record.srbStatus = sent.completedSrbStatus;
      record.scsiStatus = sent.completedScsiStatus;
      record.completed = sent.completed;
      record.arrived = sent.arrivedAt;
      record.ended = sent.completedAt;
    }
    return records;
  }

  std::unique_ptr<host::World> world_;
  sim::SimulatedScanner scanner_;
  std::unique_ptr<sim::PortDriver> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  host::Handle handle_;
  uint8_t* scratch_ = nullptr;    // the application's buffers
  void* commandBlock_ = nullptr;  // the command block, its status byte and sense, in the application's memory
  size_t scratchSize_ = 0;
  bool closed_ = false;
  // What the port told last, kept after it is gone.
  std::vector<SrbRecord> records_;
  uint64_t srbCount_ = 0, executed_ = 0;
};

}  // namespace

void SetBinary(std::FILE*) {}

std::unique_ptr<Device> MakeDevice(const DeviceOptions& options) { return std::make_unique<HostDevice>(options); }

}  // namespace tools
