// The simulated port's SRBs: data through the request's MDL, the per-unit
// queue that freezes on failure, autosense, pumped and scripted completions,
// the records, and the SRBs of a unit that vanishes.
#include <algorithm>

#include "port_fixture.h"

using sim::Completion;
using sim::ScsiOutcome;
using ::testing::ElementsAre;
using ::testing::Values;

// ---------------------------------------------------------------- data and records

TEST_F(PortTest, ReadDataArrivesChunkByChunkInTheUserBufferAndEachSrbIsRecorded) {
  void* buffer = world.user.Alloc(1024);
  SrbIo& second = Send({.opcode = kRead, .flags = SRB_FLAGS_DATA_IN, .buffer = buffer, .length = 512, .offset = 512});
  SrbIo& first = Send({.opcode = kRead, .flags = SRB_FLAGS_DATA_IN, .buffer = buffer, .length = 512});
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
  Send({.opcode = kWrite, .flags = SRB_FLAGS_DATA_OUT, .buffer = buffer, .length = 300});
  SrbIo& shortWrite = Send(
      {.opcode = kWrite, .flags = SRB_FLAGS_DATA_OUT | SRB_FLAGS_NO_QUEUE_FREEZE, .buffer = buffer, .length = 300});
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
  UCHAR senseBuffer;  // SenseInfoBufferLength sent
  UCHAR srbStatus;    // the whole byte at completion
  UCHAR senseLength;  // SenseInfoBufferLength at completion
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class PortFailureTest : public PortTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PortFailureTest, SetsTheStatusBitsAndCopiesTheSense) {
  const FailureCase& c = GetParam();
  port->Config().scsi = Completion::Immediate;
  port->Script().Then(c.outcome);
  senseLength = c.senseBuffer;
  SrbIo& failed = Send({.opcode = kTestUnitReady, .flags = c.flags});
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
  Send({.opcode = kTestUnitReady});
  port->PumpAll();
  ASSERT_TRUE(port->Frozen());
  SrbIo& held = Send({.opcode = kTestUnitReady});
  SrbIo& otherUnit = Send({.opcode = kTestUnitReady, .unit = 1});
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
  SrbIo& first = Send({.opcode = kTestUnitReady});
  SrbIo& second = Send({.opcode = kTestUnitReady});
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

// ---------------------------------------------------------------- records

class RecordRingTest : public PortTest {
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.srbRecords = 4;
    return config;
  }
};

TEST_F(RecordRingTest, KeepsTheMostRecentSrbsWithExactTotalsAndLateCompletionsFindOnlyTheirOwn) {
  for (int i = 0; i < 5; ++i) Send({.opcode = kTestUnitReady});
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
  Send({.opcode = kTestUnitReady});
  {
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    Send({.opcode = kTestUnitReady});
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
  ASSERT_EQ(world.pnp
                .Send(port->Pdo(), IRP_MN_QUERY_CAPABILITIES,
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
  SrbIo& immediate = Send({.opcode = kTestUnitReady});
  EXPECT_EQ(immediate.returned, STATUS_SUCCESS);
  EXPECT_TRUE(immediate.done);
  SrbIo& threaded = Send({.opcode = kTestUnitReady});
  EXPECT_EQ(threaded.returned, STATUS_PENDING);
  world.WaitUntil([&] { return threaded.done.load(); }, "the threaded SRB");
  EXPECT_NE(threaded.thread, std::this_thread::get_id());
  EXPECT_EQ(threaded.irql, DISPATCH_LEVEL);
  SrbIo& release = Release();
  EXPECT_TRUE(release.done) << "a release takes its turn in the script too";
  SrbIo& pumped = Send({.opcode = kTestUnitReady});
  EXPECT_EQ(pumped.returned, STATUS_PENDING);
  EXPECT_EQ(port->Queued(), 1u);
  EXPECT_TRUE(port->Pump());
  EXPECT_TRUE(pumped.done);
}

// ---------------------------------------------------------------- a unit that vanishes

TEST_F(PortTest, AnUnpluggedUnitFailsItsHeldQueuedAndNewSrbsWithoutDataOrSenseAndStillReleases) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  Send({.opcode = kTestUnitReady});
  port->PumpAll();
  ASSERT_TRUE(port->Frozen());
  void* buffer = world.user.Alloc(1024);
  auto bytes = world.user.Bytes(buffer, 1024);
  std::fill(bytes.begin(), bytes.end(), 0xEE);
  SrbIo& heldRead = Send({.opcode = kRead, .flags = SRB_FLAGS_DATA_IN, .buffer = buffer, .length = 512});
  SrbIo& held = Send({.opcode = kTestUnitReady});
  port->PumpAll();
  ASSERT_EQ(port->HeldByFreeze(), 2u);
  SrbIo& queuedRead =
      Send({.opcode = kRead, .flags = SRB_FLAGS_DATA_IN, .buffer = buffer, .length = 512, .offset = 512});

  port->Unplug();
  EXPECT_TRUE(port->Unplugged());
  EXPECT_FALSE(port->Unplugged(1));
  ASSERT_TRUE(heldRead.done && held.done) << "what the frozen queue held fails at once";
  EXPECT_FALSE(queuedRead.done);
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(port->HeldByFreeze(), 0u);
  ASSERT_TRUE(port->Pump());
  SrbIo& fresh = Send({.opcode = kTestUnitReady});
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
  EXPECT_EQ(Send({.opcode = kTestUnitReady}).srb.SrbStatus, SRB_STATUS_NO_DEVICE);
  EXPECT_EQ(Send({.opcode = kTestUnitReady, .unit = 1}).status.Status, STATUS_SUCCESS) << "the other unit is there";
  sim::SentSrb record = port->ExecuteSrbs()[1];
  EXPECT_EQ(record.cdb[0], kRead);
  EXPECT_TRUE(record.completed);
  EXPECT_EQ(record.completedSrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
  EXPECT_EQ(record.completedBytes, 0u);
}
