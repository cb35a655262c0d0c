#include "rig.h"

#include <cstring>

#include "driver.h"

namespace tools {

namespace {

constexpr ULONG kSenseBytes = 18;

host::World::Options WorldOptions() {
  host::World::Options options;
  options.userSpaceBytes = size_t(512) << 20;
  return options;
}

sim::PortConfig PortOptions(const RigOptions& options) {
  sim::PortConfig config;
  config.scsi = sim::Completion::Threaded;
  config.ioctl = sim::Completion::Threaded;
  config.pnp = sim::Completion::Threaded;
  config.completionThreads = options.completionThreads;
  config.srbRecords = options.srbRecords;
  return config;
}

}  // namespace

Rig::Rig(RigOptions options)
    : options_(options), world_(std::make_unique<host::World>(WorldOptions())), scanner_(options.scanner) {
  port_ = std::make_unique<sim::PortDriver>(*world_, PortOptions(options_));
  port_->SetInstrument(&scanner_);
  pdo_ = port_->Pdo();
  began_ = std::chrono::steady_clock::now();
}

Rig::~Rig() {
  if (!finished_) Finish();
}

std::string Rig::Start() {
  NTSTATUS status;
  driver_ = world_->LoadDriver("StillScsi", DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi",
                               &status, true);
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

uint8_t* Rig::UserBuffer(size_t length) {
  if (length > scratchSize_) {
    scratchSize_ = std::max(length, scratchSize_ * 2);
    scratch_ = (uint8_t*)world_->user.Alloc(scratchSize_);
  }
  return scratch_;
}

RequestRecord& Rig::Begin(std::string what) {
  RequestRecord& record = requests_.emplace_back();
  record.what = std::move(what);
  record.firstSrb = port_->SrbCount();
  record.began = std::chrono::steady_clock::now();
  return record;
}

void Rig::End(RequestRecord& record, NTSTATUS status, size_t bytes) {
  record.ended = std::chrono::steady_clock::now();
  record.status = status;
  record.bytes = bytes;
  record.srbs = port_->SrbCount() - record.firstSrb;
}

CommandResult Rig::Command(const std::string& what, std::initializer_list<uint8_t> cdb, uint32_t direction,
                           std::span<uint8_t> data) {
  return Command(what, std::span<const uint8_t>(cdb.begin(), cdb.size()), direction, data);
}

CommandResult Rig::Command(const std::string& what, std::span<const uint8_t> cdb, uint32_t direction,
                           std::span<uint8_t> data) {
  // The application's command block, status byte and sense buffer, then its
  // data buffer, all in its own memory.
  // One block for every command of the run, as an application keeps one:
  // a block per command would use up the address space in a long scan.
  host::UserSpace& user = world_->user;
  if (commandBlock_ == nullptr) commandBlock_ = user.Alloc(sizeof(SCSISCAN_CMD) + 1 + kSenseBytes);
  auto* block = (SCSISCAN_CMD*)commandBlock_;
  PUCHAR status = (PUCHAR)(block + 1);
  PUCHAR sense = status + 1;
  uint8_t* buffer = data.empty() ? nullptr : UserBuffer(data.size());
  if (direction & SRB_FLAGS_DATA_OUT) std::memcpy(user.Bytes(buffer, data.size()).data(), data.data(), data.size());

  SCSISCAN_CMD cmd;
  std::memset(&cmd, 0, sizeof(cmd));
  cmd.Size = sizeof(cmd);
  cmd.SrbFlags = data.empty() ? 0 : direction;
  cmd.CdbLength = (UCHAR)std::min<size_t>(cdb.size(), 16);
  std::memcpy(cmd.Cdb, cdb.data(), cmd.CdbLength);
  cmd.TransferLength = (ULONG)data.size();
  cmd.SenseLength = kSenseBytes;
  cmd.pSrbStatus = status;
  cmd.pSenseBuffer = sense;
  std::memcpy(user.Bytes(block, sizeof(cmd)).data(), &cmd, sizeof(cmd));
  std::memset(user.Bytes(status, 1 + kSenseBytes).data(), 0, 1 + kSenseBytes);

  RequestRecord& record = Begin(what);
  host::IoResult io = world_->app.DeviceIoControl(handle_, IOCTL_SCSISCAN_CMD, block, sizeof(cmd), buffer,
                                                  (ULONG)data.size());
  End(record, io.status, io.information);

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

host::IoResult Rig::Read(std::span<uint8_t> data) {
  uint8_t* buffer = UserBuffer(data.size());
  RequestRecord& record = Begin("ReadFile");
  host::IoResult io = world_->app.Read(handle_, buffer, (ULONG)data.size());
  End(record, io.status, io.information);
  std::memcpy(data.data(), world_->user.Bytes(buffer, data.size()).data(), data.size());
  return io;
}

host::IoResult Rig::Control(ULONG code, std::span<uint8_t> input, std::span<uint8_t> output) {
  uint8_t* in = input.empty() ? nullptr : (uint8_t*)world_->user.Alloc(input.size());
  uint8_t* out = output.empty() ? nullptr : (uint8_t*)world_->user.Alloc(output.size());
  if (in != nullptr) std::memcpy(world_->user.Bytes(in, input.size()).data(), input.data(), input.size());
  RequestRecord& record = Begin("device control");
  host::IoResult io = world_->app.DeviceIoControl(handle_, code, in, (ULONG)input.size(), out, (ULONG)output.size());
  End(record, io.status, io.information);
  if (out != nullptr) std::memcpy(output.data(), world_->user.Bytes(out, output.size()).data(), output.size());
  return io;
}

std::vector<std::string> Rig::Finish() {
  finished_ = true;
  if (handle_.file != nullptr) world_->app.Close(handle_);
  if (pdo_->AttachedDevice != nullptr) world_->pnp.Remove(pdo_);
  port_->Shutdown();
  if (driver_ != nullptr) world_->UnloadDriver(driver_);
  port_.reset();
  return world_->Audit();
}

}  // namespace tools
