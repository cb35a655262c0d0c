// The simulated SCSI port driver: SRBs through the request's MDL, the
// per-unit queue that freezes on failure, autosense, the completion modes
// and threads, the adapter and address queries, the bus driver's other
// answers, the records, a unit that vanishes, and the instrument's data.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <span>
#include <thread>

#include "fixture.h"

using sim::Completion;
using sim::ScsiOutcome;
using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::Values;

namespace {

// One SRB as a class driver sends it, and what came back.
struct SrbIo {
  SCSI_REQUEST_BLOCK srb{};
  UCHAR sense[32]{};
  NTSTATUS returned = -1;
  std::atomic<bool> done{false};
  IO_STATUS_BLOCK status{};
  KIRQL irql = PASSIVE_LEVEL;
  std::thread::id thread;
};

NTSTATUS SrbDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* io = (SrbIo*)context;
  io->status = irp->IoStatus;
  io->irql = KeGetCurrentIrql();
  io->thread = std::this_thread::get_id();
  if (irp->MdlAddress != nullptr) {
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
  }
  IoFreeIrp(irp);
  io->done = true;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

constexpr UCHAR kRead = 0x08, kWrite = 0x0A, kTestUnitReady = 0x00;

}  // namespace

class PortTest : public WorldTest {
 protected:
  void SetUp() override { port = std::make_unique<sim::PortDriver>(world, Config(), 2); }
  virtual sim::PortConfig Config() { return {}; }

  // Sends an SRB in an IRP from IoAllocateIrp. With a buffer, the MDL covers
  // its first Offset + Length bytes and DataBuffer points Offset bytes in.
  SrbIo& Send(UCHAR opcode, ULONG flags = 0, void* buffer = nullptr, ULONG length = 0, ULONG offset = 0, int unit = 0,
              UCHAR function = SRB_FUNCTION_EXECUTE_SCSI) {
    SrbIo& io = ios.emplace_back();
    PIRP irp = IoAllocateIrp(port->Pdo(unit)->StackSize, FALSE);
    if (buffer != nullptr) {
      irp->MdlAddress = MmCreateMdl(nullptr, buffer, offset + length);
      MmProbeAndLockPages(irp->MdlAddress, UserMode, (flags & SRB_FLAGS_DATA_IN) ? IoWriteAccess : IoReadAccess);
    }
    SCSI_REQUEST_BLOCK& srb = io.srb;
    srb.Length = sizeof(srb);
    srb.Function = function;
    srb.SrbFlags = flags;
    srb.DataTransferLength = length;
    srb.DataBuffer = buffer ? (UCHAR*)MmGetMdlVirtualAddress(irp->MdlAddress) + offset : nullptr;
    srb.SenseInfoBuffer = io.sense;
    srb.SenseInfoBufferLength = senseLength;
    srb.OriginalRequest = irp;
    srb.TimeOutValue = 10;
    srb.CdbLength = 6;
    srb.Cdb[0] = opcode;
    srb.Cdb[4] = (UCHAR)(length / 256);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = &srb;
    IoSetCompletionRoutine(irp, SrbDone, &io, TRUE, TRUE, TRUE);
    io.returned = IoCallDriver(port->Pdo(unit), irp);
    return io;
  }
  SrbIo& Release(int unit = 0) { return Send(0, 0, nullptr, 0, 0, unit, SRB_FUNCTION_RELEASE_QUEUE); }

  // A device control from a kernel component; pending answers are pumped.
  IO_STATUS_BLOCK Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength, int unit = 0,
                          NTSTATUS* returned = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, port->Pdo(unit), input, inputLength, output, outputLength, FALSE,
                                             &event, &iosb);
    NTSTATUS status = IoCallDriver(port->Pdo(unit), irp);
    if (returned != nullptr) *returned = status;
    if (status == STATUS_PENDING) {
      port->PumpAll();
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    } else {
      iosb.Status = status;
    }
    return iosb;
  }

  void Clean() override {
    port->HoldThreaded(false);
    for (SrbIo& io : ios) world.WaitUntil([&] { return io.done.load(); }, "an SRB of the test");
    port.reset();
  }

  std::unique_ptr<sim::PortDriver> port;
  std::deque<SrbIo> ios;
  UCHAR senseLength = sizeof(SrbIo::sense);  // SenseInfoBufferLength of the SRBs sent
};

// ---------------------------------------------------------------- data and records

TEST_F(PortTest, ReadDataArrivesChunkByChunkInTheUserBufferAndEachSrbIsRecorded) {
  void* buffer = world.user.Alloc(1024);
  SrbIo& second = Send(kRead, SRB_FLAGS_DATA_IN, buffer, 512, 512);
  SrbIo& first = Send(kRead, SRB_FLAGS_DATA_IN, buffer, 512, 0);
  EXPECT_EQ(second.returned, STATUS_PENDING);
  EXPECT_EQ(port->PumpAll(), 2u);
  ASSERT_TRUE(second.done && first.done);
  EXPECT_EQ(second.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(second.status.Information, 512u);
  EXPECT_EQ(second.srb.SrbStatus, SRB_STATUS_SUCCESS);
  EXPECT_EQ(second.srb.DataTransferLength, 512u);
  auto bytes = world.user.Bytes(buffer, 1024);
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(bytes[i], sim::ScriptedInstrument::PatternByte(i < 512 ? 512 + i : i - 512)) << "byte " << i;
  }
  auto sent = port->Srbs();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].srb.SrbFlags, (ULONG)SRB_FLAGS_DATA_IN);
  EXPECT_EQ(sent[0].srb.DataTransferLength, 512u);
  EXPECT_THAT(sent[0].cdb, ElementsAre(kRead, 0, 0, 0, 2, 0));
  EXPECT_EQ(sent[0].dataOffset, 512u);
  EXPECT_EQ(sent[1].dataOffset, 0u);
  EXPECT_TRUE(sent[0].completed);
  EXPECT_EQ(sent[0].completedBytes, 512u);
}

TEST_F(PortTest, WrittenDataReachesTheInstrumentAndShortTransfersReportTheBytesMoved) {
  void* buffer = world.user.Alloc(300, host::Access::Read);
  auto bytes = world.user.Bytes(buffer, 300);
  for (int i = 0; i < 300; ++i) bytes[i] = (UCHAR)(i ^ 0x5C);
  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::Short(100));
  Send(kWrite, SRB_FLAGS_DATA_OUT, buffer, 300);
  SrbIo& shortWrite = Send(kWrite, SRB_FLAGS_DATA_OUT | SRB_FLAGS_NO_QUEUE_FREEZE, buffer, 300);
  port->PumpAll();
  auto written = port->Script().Written();
  ASSERT_EQ(written.size(), 400u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), written.begin()));
  EXPECT_EQ(shortWrite.srb.DataTransferLength, 100u);
  EXPECT_EQ(shortWrite.srb.SrbStatus, SRB_STATUS_DATA_OVERRUN);
  EXPECT_EQ(shortWrite.status.Information, 100u);
}

// ---------------------------------------------------------------- failures, sense and the frozen queue

struct FailureCase {
  const char* name;
  ScsiOutcome outcome;
  ULONG flags;
  UCHAR senseBuffer;   // SenseInfoBufferLength sent
  UCHAR srbStatus;     // the whole byte at completion
  UCHAR senseLength;   // SenseInfoBufferLength at completion
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class PortFailureTest : public PortTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PortFailureTest, SetsTheStatusBitsAndCopiesTheSense) {
  const FailureCase& c = GetParam();
  port->Config().scsi = Completion::Immediate;
  port->Script().Then(c.outcome);
  senseLength = c.senseBuffer;
  SrbIo& failed = Send(kTestUnitReady, c.flags);
  EXPECT_EQ(failed.status.Status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(failed.srb.SrbStatus, c.srbStatus);
  EXPECT_EQ(failed.srb.ScsiStatus, c.outcome.scsiStatus);
  EXPECT_EQ(failed.srb.SenseInfoBufferLength, c.senseLength);
  EXPECT_TRUE(std::equal(failed.sense, failed.sense + c.senseLength, c.outcome.sense.begin()));
  EXPECT_EQ(failed.sense[c.senseLength], 0) << "nothing past the bytes reported";
  EXPECT_EQ(port->Frozen(), (c.srbStatus & SRB_STATUS_QUEUE_FROZEN) != 0);
  EXPECT_FALSE(port->Frozen(1)) << "each unit has its own queue";
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PortFailureTest,
    Values(FailureCase{"CheckCondition", ScsiOutcome::CheckCondition(2, 4, 1), 0, 32, SRB_STATUS_ERROR | 0xC0, 18},
           FailureCase{"ShortSenseBuffer", ScsiOutcome::CheckCondition(2, 4, 1), 0, 8, SRB_STATUS_ERROR | 0xC0, 8},
           FailureCase{"NoQueueFreeze", ScsiOutcome::CheckCondition(6, 0x29, 0), SRB_FLAGS_NO_QUEUE_FREEZE, 32,
                       SRB_STATUS_ERROR | 0x80, 18},
           FailureCase{"AutosenseDisabled", ScsiOutcome::CheckCondition(2, 4, 1), SRB_FLAGS_DISABLE_AUTOSENSE, 32,
                       SRB_STATUS_ERROR | 0x40, 0},
           FailureCase{"SelectionTimeout", ScsiOutcome::Failed(SRB_STATUS_SELECTION_TIMEOUT), 0, 32,
                       SRB_STATUS_SELECTION_TIMEOUT | 0x40, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class PortQueueTest : public PortTest, public ::testing::WithParamInterface<Completion> {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = GetParam();
    return config;
  }
};

TEST_P(PortQueueTest, AFrozenUnitHoldsItsSrbsUntilAReleaseArrives) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  Send(kTestUnitReady);
  port->PumpAll();
  ASSERT_TRUE(port->Frozen());
  SrbIo& held = Send(kTestUnitReady);
  SrbIo& otherUnit = Send(kTestUnitReady, 0, nullptr, 0, 0, 1);
  port->PumpAll();
  EXPECT_EQ(held.returned, STATUS_PENDING);
  EXPECT_FALSE(held.done);
  EXPECT_EQ(port->HeldByFreeze(), 1u);
  EXPECT_EQ(port->Script().Commands(), 1) << "the held SRB has not reached the instrument";
  EXPECT_TRUE(otherUnit.done);

  SrbIo& release = Release();
  port->PumpAll();
  EXPECT_TRUE(release.done);
  EXPECT_EQ(release.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(port->Releases(), 1);
  EXPECT_FALSE(port->Frozen());
  ASSERT_TRUE(held.done);
  EXPECT_EQ(held.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(port->Script().Commands(), 2);
  EXPECT_EQ(port->ExecuteSrbs().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortQueueTest, Values(Completion::Pumped, Completion::Immediate),
                         [](const auto& info) { return info.param == Completion::Pumped ? "Pumped" : "Immediate"; });

// ---------------------------------------------------------------- completion modes

TEST_F(PortTest, PumpedSrbsCompleteOnlyWhenPumpedOneAtATimeAtDispatchLevel) {
  SrbIo& first = Send(kTestUnitReady);
  SrbIo& second = Send(kTestUnitReady);
  EXPECT_EQ(port->Queued(), 2u);
  EXPECT_FALSE(first.done || second.done);
  ASSERT_TRUE(port->Pump());
  EXPECT_TRUE(first.done);
  EXPECT_FALSE(second.done);
  EXPECT_EQ(first.irql, DISPATCH_LEVEL);
  ASSERT_TRUE(port->Pump());
  EXPECT_TRUE(second.done);
  EXPECT_FALSE(port->Pump());
}

class ThreadedPortTest : public PortTest {
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = Completion::Threaded;
    return config;
  }
};

TEST_F(ThreadedPortTest, CompletionsRunAtDispatchLevelOnTheCompletionThread) {
  port->HoldThreaded(true);
  SrbIo& io = Send(kTestUnitReady);
  EXPECT_EQ(io.returned, STATUS_PENDING);
  EXPECT_EQ(port->Queued(), 1u);
  EXPECT_FALSE(port->Pump()) << "a threaded completion is not the test's to pump";
  port->HoldThreaded(false);
  world.WaitUntil([&] { return io.done.load(); }, "the threaded completion");
  EXPECT_EQ(io.irql, DISPATCH_LEVEL);
  EXPECT_NE(io.thread, std::this_thread::get_id());
}

// ---------------------------------------------------------------- queries

TEST_F(PortTest, AnswersTheAdapterPropertyHeaderAndDescriptorAndTheAddress) {
  port->Config().descriptorSize = 40;
  port->Config().maximumTransferLength = 0x20000;
  STORAGE_PROPERTY_QUERY query{StorageAdapterProperty, PropertyStandardQuery, {0}};
  STORAGE_DESCRIPTOR_HEADER header{};
  IO_STATUS_BLOCK iosb = Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header, sizeof(header));
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, sizeof(header));
  EXPECT_EQ(header.Size, 40u);
  UCHAR descriptor[40];
  iosb = Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), descriptor, sizeof(descriptor));
  EXPECT_EQ(iosb.Information, 40u);
  auto* adapter = (PSTORAGE_ADAPTER_DESCRIPTOR)descriptor;
  EXPECT_EQ(adapter->MaximumTransferLength, 0x20000u);
  EXPECT_EQ(adapter->MaximumPhysicalPages, 17u);

  SCSI_ADDRESS address{};
  iosb = Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, sizeof(address));
  EXPECT_EQ(address.PortNumber, 2);
  EXPECT_EQ(address.TargetId, 4) << "unit 1 counts up from the first unit's target";

  STORAGE_PROPERTY_QUERY device{StorageDeviceProperty, PropertyStandardQuery, {0}};
  EXPECT_EQ(Control(IOCTL_STORAGE_QUERY_PROPERTY, &device, sizeof(device), &header, sizeof(header)).Status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header, 4).Status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PortTest, ScriptedIoctlFailuresAndCompletionsApplyOneRequestEach) {
  port->ScriptIoctl(IOCTL_SCSI_GET_ADDRESS, {STATUS_SUCCESS, STATUS_IO_TIMEOUT});
  port->ScriptIoctlCompletion({Completion::Pumped, Completion::Immediate});
  SCSI_ADDRESS address;
  NTSTATUS returned;
  EXPECT_EQ(Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address), 0, &returned).Status, STATUS_SUCCESS);
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address), 0, &returned).Status,
            STATUS_IO_TIMEOUT);
  EXPECT_EQ(returned, STATUS_IO_TIMEOUT);
  EXPECT_EQ(Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address), 0, &returned).Status, STATUS_SUCCESS);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  auto requests = port->Requests(IRP_MJ_DEVICE_CONTROL);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].ioControlCode, (ULONG)IOCTL_SCSI_GET_ADDRESS);
  EXPECT_EQ(requests[1].outputLength, sizeof(address));
  EXPECT_EQ(requests[1].status, STATUS_IO_TIMEOUT);
}

// ---------------------------------------------------------------- the bus driver's answers

TEST_F(PortTest, AnswersPlugAndPlayPowerSystemControlCreateAndCloseAsABusDriver) {
  PDEVICE_OBJECT pdo = port->Pdo();
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_ID).status, STATUS_NOT_SUPPORTED) << "unhandled: the preset stays";
  port->Bus().pnpStatus[IRP_MN_QUERY_STOP_DEVICE] = STATUS_DEVICE_BUSY;
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_DEVICE_BUSY);
  DEVICE_CAPABILITIES capabilities{};
  auto withCapabilities = [&](IO_STACK_LOCATION& location) {
    location.Parameters.DeviceCapabilities.Capabilities = &capabilities;
  };
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_CAPABILITIES, withCapabilities).status, STATUS_SUCCESS);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemHibernate], PowerDeviceD3);
  EXPECT_EQ(capabilities.Address, 3u);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA, STATUS_NOT_SUPPORTED).status, STATUS_NOT_SUPPORTED);

  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_SUCCESS);
  PFILE_OBJECT file = handle.file;
  world.app.Close(handle);
  port->Bus().createStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_DEVICE_NOT_READY);

  std::vector<std::pair<int, int>> seen;
  for (const auto& request : port->Requests()) seen.emplace_back(request.major, request.minor);
  EXPECT_THAT(seen, ElementsAre(Pair(IRP_MJ_PNP, IRP_MN_START_DEVICE), Pair(IRP_MJ_PNP, IRP_MN_QUERY_ID),
                                Pair(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), Pair(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES),
                                Pair(IRP_MJ_POWER, IRP_MN_SET_POWER), Pair(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA),
                                Pair(IRP_MJ_CREATE, 0), Pair(IRP_MJ_CLEANUP, 0), Pair(IRP_MJ_CLOSE, 0),
                                Pair(IRP_MJ_CREATE, 0)));
  EXPECT_EQ(port->Requests()[0].presetStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(port->Requests(IRP_MJ_CLOSE)[0].file, file);
}

namespace {

// A bus that fails what a healthy one answers, whose vanished units answer
// with statuses of its own, and that remembers which answers it was asked.
class FailingBus : public sim::BusAnswers {
 public:
  NTSTATUS Create() override { return STATUS_DEVICE_NOT_CONNECTED; }
  NTSTATUS Close() override { return STATUS_UNSUCCESSFUL; }
  NTSTATUS Power() override { return STATUS_INVALID_DEVICE_STATE; }
  NTSTATUS Pnp(UCHAR minor, NTSTATUS usual) override {
    asked.emplace_back(minor, usual);
    return STATUS_DEVICE_NOT_READY;
  }
  UCHAR UnpluggedSrbStatus() override { return SRB_STATUS_NO_DEVICE; }
  NTSTATUS UnpluggedStatus() override { return STATUS_DEVICE_NOT_CONNECTED; }
  std::vector<std::pair<UCHAR, NTSTATUS>> asked;  // minor code, and the usual answer
};

}  // namespace

TEST_F(PortTest, AnotherBusAnswersInsteadOfThePortsOwnUntilItIsTakenAway) {
  FailingBus failing;
  port->SetBus(&failing);
  PDEVICE_OBJECT pdo = port->Pdo();
  host::Handle handle;
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_ID).status, STATUS_DEVICE_NOT_READY);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_INVALID_DEVICE_STATE);

  port->Unplug();
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_READY);
  EXPECT_THAT(failing.asked, ElementsAre(Pair(IRP_MN_START_DEVICE, STATUS_SUCCESS),
                                         Pair(IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED),
                                         Pair(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED)))
      << "the usual answer: success, the status it came with, a gone unit's";
  SCSI_ADDRESS address{};
  EXPECT_EQ(Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address)).Status, STATUS_DEVICE_NOT_CONNECTED);
  port->Config().scsi = Completion::Immediate;
  EXPECT_EQ(Send(kTestUnitReady).srb.SrbStatus, SRB_STATUS_NO_DEVICE);

  port->SetBus(nullptr);
  EXPECT_EQ(Send(kTestUnitReady).srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT) << "the port's own bus again";
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_SUCCESS);
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(failing.asked.size(), 3u);
}

// ---------------------------------------------------------------- the instrument's data

class InstrumentTest : public WorldTest {
 protected:
  // Runs one command of Length bytes against Data.
  static sim::ScsiOutcome Run(sim::Instrument& instrument, ULONG flags, std::span<uint8_t> data) {
    sim::ScsiCommand command;
    command.srbFlags = flags;
    command.length = (ULONG)data.size();
    return instrument.Execute(command, data);
  }
};

TEST_F(InstrumentTest, ReadPatternContinuesAcrossCommandsOfAnyLengthAndAlignment) {
  sim::ScriptedInstrument instrument;
  // Past the 64 KiB the pattern is copied in, at offsets of every phase.
  std::vector<uint8_t> buffer(3 * 65536 + 8192);
  uint64_t position = 0;
  for (auto [offset, length] : std::vector<std::pair<size_t, size_t>>{
           {0, 1}, {1, 255}, {17, 4097}, {4095, 70000}, {4096, 65536}, {3, 2 * 65536 + 300}, {250, 0}}) {
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    auto data = std::span<uint8_t>(buffer).subspan(offset, length);
    EXPECT_EQ(Run(instrument, SRB_FLAGS_DATA_IN, data).bytes, length);
    for (size_t i = 0; i < length; ++i) {
      ASSERT_EQ(data[i], sim::ScriptedInstrument::PatternByte(position + i))
          << "byte " << i << " of " << length << " at offset " << offset;
    }
    if (offset + length < buffer.size()) {
      EXPECT_EQ(buffer[offset + length], 0xEE) << "nothing past the data";
    }
    position += length;
  }
  EXPECT_EQ(instrument.BytesRead(), position);
}

TEST_F(InstrumentTest, WritesPastTheKeptBoundAreCountedAndSummarised) {
  sim::ScriptedInstrument instrument;
  instrument.KeepWritten(1000);
  std::vector<uint8_t> stream(1501);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = (uint8_t)(i * 131 + (i >> 8));
  for (size_t at = 0; at < stream.size(); at += 300) {
    size_t length = std::min<size_t>(300, stream.size() - at);
    Run(instrument, SRB_FLAGS_DATA_OUT, std::span<uint8_t>(stream).subspan(at, length));
  }
  EXPECT_EQ(instrument.BytesWritten(), stream.size());
  EXPECT_EQ(instrument.Written(), std::vector<uint8_t>(stream.begin(), stream.begin() + 1000));
  EXPECT_EQ(instrument.WrittenSummary(), sim::StreamSummary::Of(stream));
  EXPECT_EQ(instrument.WrittenSummary().bytes, stream.size());
}

TEST_F(InstrumentTest, ASummaryOfPiecesInAnyOrderIsTheStreamsAndShowsChangedAndMovedBytes) {
  std::vector<uint8_t> stream(1000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = (uint8_t)(i * 37 + 11);
  sim::StreamSummary whole = sim::StreamSummary::Of(stream);
  sim::StreamSummary pieces;
  std::span<const uint8_t> all(stream);
  pieces.Add(523, all.subspan(523));
  pieces.Add(3, all.subspan(3, 520));
  pieces.Add(0, all.subspan(0, 3));
  EXPECT_EQ(pieces, whole);

  std::vector<uint8_t> changed = stream;
  changed[517] ^= 0x80;
  EXPECT_NE(sim::StreamSummary::Of(changed).sum, whole.sum);
  std::vector<uint8_t> moved = stream;
  std::swap_ranges(moved.begin() + 16, moved.begin() + 24, moved.begin() + 800);
  EXPECT_EQ(sim::StreamSummary::Of(moved).sum, whole.sum) << "the same words";
  EXPECT_NE(sim::StreamSummary::Of(moved).weighted, whole.weighted);
}

// ---------------------------------------------------------------- records

class RecordRingTest : public PortTest {
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.srbRecords = 4;
    return config;
  }
};

TEST_F(RecordRingTest, KeepsTheMostRecentSrbsWithExactTotalsAndLateCompletionsFindOnlyTheirOwn) {
  for (int i = 0; i < 5; ++i) Send(kTestUnitReady);
  Release();
  auto sent = port->Srbs();
  ASSERT_EQ(sent.size(), 4u);
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].sequence, i + 2) << "oldest first";
  EXPECT_EQ(sent[3].srb.Function, SRB_FUNCTION_RELEASE_QUEUE);
  EXPECT_EQ(port->SrbCount(), 6u);
  EXPECT_EQ(port->ExecuteCount(), 5u);
  EXPECT_EQ(port->Releases(), 1);
  EXPECT_EQ(port->ExecuteSrbs().size(), 3u);

  // The first two SRBs complete after their records were overwritten.
  ASSERT_TRUE(port->Pump());
  ASSERT_TRUE(port->Pump());
  for (const auto& kept : port->Srbs()) EXPECT_FALSE(kept.completed) << "sequence " << kept.sequence;
  port->PumpAll();
  for (const auto& kept : port->Srbs()) EXPECT_TRUE(kept.completed) << "sequence " << kept.sequence;
}

TEST_F(PortTest, RecordsSayAtWhichIrqlEachRequestArrivedAndWhatItCarriedThen) {
  port->Config().scsi = Completion::Immediate;
  Send(kTestUnitReady);
  {
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    Send(kTestUnitReady);
  }
  auto sent = port->Srbs();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].irql, PASSIVE_LEVEL);
  EXPECT_EQ(sent[1].irql, DISPATCH_LEVEL);

  // What the caller put in the capabilities, before the port answered in them.
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(capabilities);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  capabilities.D1Latency = 77;
  ASSERT_EQ(world.pnp.Send(port->Pdo(), IRP_MN_QUERY_CAPABILITIES,
                           [&](IO_STACK_LOCATION& location) {
                             location.Parameters.DeviceCapabilities.Capabilities = &capabilities;
                           })
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(capabilities.Address, 3u);
  auto pnp = port->Requests(IRP_MJ_PNP);
  ASSERT_EQ(pnp.size(), 1u);
  EXPECT_EQ(pnp[0].irql, PASSIVE_LEVEL);
  ASSERT_TRUE(pnp[0].capabilities.has_value());
  EXPECT_EQ(pnp[0].capabilities->Address, 0xFFFFFFFFu);
  EXPECT_EQ(pnp[0].capabilities->UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(pnp[0].capabilities->DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
  EXPECT_EQ(pnp[0].capabilities->Version, 1);
  EXPECT_EQ(pnp[0].capabilities->D1Latency, 77u);

  // The file object's contexts as create, cleanup and close found them.
  int context = 0, context2 = 0;
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_SUCCESS);
  handle.file->FsContext = &context;
  handle.file->FsContext2 = &context2;
  world.app.Close(handle);
  auto create = port->Requests(IRP_MJ_CREATE), cleanup = port->Requests(IRP_MJ_CLEANUP),
       close = port->Requests(IRP_MJ_CLOSE);
  ASSERT_TRUE(create.size() == 1 && cleanup.size() == 1 && close.size() == 1);
  EXPECT_EQ(create[0].fsContext, nullptr);
  EXPECT_EQ(cleanup[0].fsContext, &context);
  EXPECT_EQ(close[0].fsContext, &context);
  EXPECT_EQ(close[0].fsContext2, &context2);
  EXPECT_EQ(close[0].irql, PASSIVE_LEVEL);
}

// ---------------------------------------------------------------- completion per SRB

TEST_F(PortTest, ScriptedScsiCompletionsApplyOneSrbEachBeforeTheConfiguredMode) {
  port->ScriptScsiCompletion({Completion::Immediate, Completion::Threaded, Completion::Immediate});
  SrbIo& immediate = Send(kTestUnitReady);
  EXPECT_EQ(immediate.returned, STATUS_SUCCESS);
  EXPECT_TRUE(immediate.done);
  SrbIo& threaded = Send(kTestUnitReady);
  EXPECT_EQ(threaded.returned, STATUS_PENDING);
  world.WaitUntil([&] { return threaded.done.load(); }, "the threaded SRB");
  EXPECT_NE(threaded.thread, std::this_thread::get_id());
  EXPECT_EQ(threaded.irql, DISPATCH_LEVEL);
  SrbIo& release = Release();
  EXPECT_TRUE(release.done) << "a release takes its turn in the script too";
  SrbIo& pumped = Send(kTestUnitReady);
  EXPECT_EQ(pumped.returned, STATUS_PENDING);
  EXPECT_EQ(port->Queued(), 1u);
  EXPECT_TRUE(port->Pump());
  EXPECT_TRUE(pumped.done);
}

// ---------------------------------------------------------------- completion threads

namespace {

// Holds the first commands until Parties of them are executing at once.
class Rendezvous : public sim::Instrument {
 public:
  Rendezvous(int parties, int limitSeconds) : parties_(parties), limit_(limitSeconds) {}
  sim::ScsiOutcome Execute(const sim::ScsiCommand&, std::span<uint8_t>) override {
    std::unique_lock<std::mutex> lock(mu_);
    ++inside_;
    most_ = std::max(most_, inside_);
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(limit_), [this] { return most_ >= parties_; });
    --inside_;
    ++commands_;
    return sim::ScsiOutcome::Good();
  }
  int Most() {
    std::lock_guard<std::mutex> lock(mu_);
    return most_;
  }
  int Commands() {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int parties_, limit_;
  int inside_ = 0, most_ = 0, commands_ = 0;
};

}  // namespace

class ConcurrentPortTest : public PortTest {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = Completion::Threaded;
    config.completionThreads = 2;
    return config;
  }
  void WaitFor(SrbIo& io) { world.WaitUntil([&] { return io.done.load(); }, "an SRB"); }
};

TEST_F(ConcurrentPortTest, CompletionsRunAtOnceOnSeveralThreadsAtDispatchLevelAndNoneIsLost) {
  Rendezvous rendezvous(2, world.options.waitLimitSeconds);
  port->SetInstrument(&rendezvous, 0);
  port->SetInstrument(&rendezvous, 1);
  port->HoldThreaded(true);
  constexpr int kCount = 200;
  for (int i = 0; i < kCount; ++i) Send(kTestUnitReady, 0, nullptr, 0, 0, i % 2);
  EXPECT_EQ(port->Queued(), (size_t)kCount) << "every thread holds";
  for (SrbIo& io : ios) ASSERT_FALSE(io.done);
  port->HoldThreaded(false);
  for (SrbIo& io : ios) WaitFor(io);

  EXPECT_EQ(rendezvous.Most(), 2) << "two completions ran at the same time";
  std::set<std::thread::id> threads;
  for (SrbIo& io : ios) {
    threads.insert(io.thread);
    EXPECT_EQ(io.irql, DISPATCH_LEVEL);
    EXPECT_EQ(io.status.Status, STATUS_SUCCESS);
  }
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(rendezvous.Commands(), kCount);
  EXPECT_EQ(port->ExecuteCount(), (uint64_t)kCount);
  EXPECT_EQ(port->Queued(), 0u);
  for (const auto& sent : port->Srbs()) EXPECT_TRUE(sent.completed) << "sequence " << sent.sequence;
}

TEST_F(ConcurrentPortTest, AFrozenUnitHoldsWhatEveryThreadTakesUntilAReleaseLetsItAllGoOn) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  SrbIo& failed = Send(kTestUnitReady);
  WaitFor(failed);
  EXPECT_EQ(failed.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID);
  ASSERT_TRUE(port->Frozen());

  constexpr size_t kHeld = 40;
  std::vector<SrbIo*> held, other;
  for (size_t i = 0; i < kHeld; ++i) {
    held.push_back(&Send(kTestUnitReady));
    other.push_back(&Send(kTestUnitReady, 0, nullptr, 0, 0, 1));
  }
  SrbIo& bypass = Send(kTestUnitReady, SRB_FLAGS_BYPASS_FROZEN_QUEUE);
  world.WaitUntil([&] { return port->HeldByFreeze() == kHeld; }, "the frozen queue to hold its SRBs");
  WaitFor(bypass);
  for (SrbIo* io : other) WaitFor(*io);
  EXPECT_EQ(bypass.status.Status, STATUS_SUCCESS);
  for (SrbIo* io : held) EXPECT_FALSE(io->done);
  EXPECT_EQ(port->Script().Commands(), 2) << "the failed SRB and the one that bypassed";

  SrbIo& release = Release();
  WaitFor(release);
  for (SrbIo* io : held) WaitFor(*io);
  for (SrbIo* io : held) EXPECT_EQ(io->status.Status, STATUS_SUCCESS);
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(port->HeldByFreeze(), 0u);
  EXPECT_EQ(port->Script().Commands(), (int)kHeld + 2);
}

// ---------------------------------------------------------------- a unit that vanishes

TEST_F(PortTest, AnUnpluggedUnitFailsItsHeldQueuedAndNewSrbsWithoutDataOrSenseAndStillReleases) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  Send(kTestUnitReady);
  port->PumpAll();
  ASSERT_TRUE(port->Frozen());
  void* buffer = world.user.Alloc(1024);
  auto bytes = world.user.Bytes(buffer, 1024);
  std::fill(bytes.begin(), bytes.end(), 0xEE);
  SrbIo& heldRead = Send(kRead, SRB_FLAGS_DATA_IN, buffer, 512);
  SrbIo& held = Send(kTestUnitReady);
  port->PumpAll();
  ASSERT_EQ(port->HeldByFreeze(), 2u);
  SrbIo& queuedRead = Send(kRead, SRB_FLAGS_DATA_IN, buffer, 512, 512);

  port->Unplug();
  EXPECT_TRUE(port->Unplugged());
  EXPECT_FALSE(port->Unplugged(1));
  ASSERT_TRUE(heldRead.done && held.done) << "what the frozen queue held fails at once";
  EXPECT_FALSE(queuedRead.done);
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(port->HeldByFreeze(), 0u);
  ASSERT_TRUE(port->Pump());
  SrbIo& fresh = Send(kTestUnitReady);
  port->PumpAll();
  for (SrbIo* io : {&heldRead, &held, &queuedRead, &fresh}) {
    ASSERT_TRUE(io->done);
    EXPECT_EQ(io->srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT) << "no sense, no freeze";
    EXPECT_EQ(io->status.Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(io->status.Information, 0u);
    EXPECT_EQ(io->srb.DataTransferLength, 0u);
    EXPECT_EQ(io->srb.SenseInfoBufferLength, 0);
    EXPECT_EQ(io->sense[0], 0);
    EXPECT_EQ(io->irql, DISPATCH_LEVEL);
  }
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xEE; })) << "no data moved";
  EXPECT_EQ(port->Script().Commands(), 1) << "nothing reached the instrument";
  EXPECT_FALSE(port->Frozen());

  SrbIo& release = Release();
  port->PumpAll();
  EXPECT_EQ(release.status.Status, STATUS_SUCCESS);
  port->Bus().unpluggedSrbStatus = SRB_STATUS_NO_DEVICE;
  port->Config().scsi = Completion::Immediate;
  EXPECT_EQ(Send(kTestUnitReady).srb.SrbStatus, SRB_STATUS_NO_DEVICE);
  EXPECT_EQ(Send(kTestUnitReady, 0, nullptr, 0, 0, 1).status.Status, STATUS_SUCCESS) << "the other unit is there";
  sim::SentSrb record = port->ExecuteSrbs()[1];
  EXPECT_EQ(record.cdb[0], kRead);
  EXPECT_TRUE(record.completed);
  EXPECT_EQ(record.completedSrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
  EXPECT_EQ(record.completedBytes, 0u);
}

TEST_F(PortTest, AnUnpluggedUnitFailsQueriesAndOpensAndAnswersCloseAndPlugAndPlayAsAGoneDevice) {
  host::Handle open;
  ASSERT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &open), STATUS_SUCCESS);
  port->Unplug();
  STORAGE_PROPERTY_QUERY query{StorageAdapterProperty, PropertyStandardQuery, {0}};
  STORAGE_DESCRIPTOR_HEADER header{};
  SCSI_ADDRESS address{};
  EXPECT_EQ(Control(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header, sizeof(header)).Status,
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address)).Status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address), 1).Status, STATUS_SUCCESS);
  host::Handle another;
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &another), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(world.app.Close(open), STATUS_SUCCESS);

  PDEVICE_OBJECT pdo = port->Pdo();
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  DEVICE_CAPABILITIES capabilities{};
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_CAPABILITIES,
                           [&](IO_STACK_LOCATION& location) {
                             location.Parameters.DeviceCapabilities.Capabilities = &capabilities;
                           })
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_NO_SUCH_DEVICE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d3).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.Send(port->Pdo(1), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
}

TEST_F(ConcurrentPortTest, UnpluggingFailsWhatTheFrozenQueueHoldsAndWhatTheThreadsHaveYetToTake) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  WaitFor(Send(kTestUnitReady));
  std::vector<SrbIo*> held, queued;
  for (int i = 0; i < 10; ++i) held.push_back(&Send(kTestUnitReady));
  world.WaitUntil([&] { return port->HeldByFreeze() == held.size(); }, "the frozen queue to hold its SRBs");
  port->HoldThreaded(true);
  for (int i = 0; i < 10; ++i) queued.push_back(&Send(kTestUnitReady));
  port->Unplug();
  for (SrbIo* io : held) EXPECT_TRUE(io->done);
  port->HoldThreaded(false);
  for (SrbIo* io : queued) WaitFor(*io);
  for (SrbIo* io : held) EXPECT_EQ(io->srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
  for (SrbIo* io : queued) EXPECT_EQ(io->srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
  EXPECT_EQ(port->Script().Commands(), 1);
}
