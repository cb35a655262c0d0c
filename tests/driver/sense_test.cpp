// Failed SRBs interpreted: every row of the sense-key table, the SRB-status
// table and the SCSI-status list; the sense bytes that arrived; the
// device's error statistics; and the error-log entry field by field.
#include <optional>

#include "transport_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::ValuesIn;

namespace {

struct Sense {
  UCHAR key, asc = 0, ascq = 0;
  bool ili = false;
};

struct Logged {
  ULONG unique;
  NTSTATUS code;
};

struct Row {
  const char* name;
  UCHAR srbStatus;
  UCHAR scsiStatus;
  std::optional<Sense> sense;  // with autosense when set
  ULONG retriesSpent;
  NTSTATUS status;
  bool retry;
  ULONG counted;               // ErrorCount's change
  std::optional<Logged> log;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

constexpr Logged kMedium{256, IO_ERR_BAD_BLOCK}, kHardware{257, IO_ERR_CONTROLLER_ERROR},
    kRecovered{258, IO_ERR_CONTROLLER_ERROR}, kRecoveredSeek{258, IO_ERR_SEEK_ERROR},
    kRecoveredEcc{258, IO_RECOVERED_VIA_ECC}, kOther{259, IO_ERR_CONTROLLER_ERROR}, kSelection{260, IO_ERR_NOT_READY};

Row SenseRow(const char* name, Sense sense, NTSTATUS status, bool retry, std::optional<Logged> log = std::nullopt) {
  return Row{name, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, sense, 0, status, retry, 0, log};
}
Row StatusRow(const char* name, UCHAR srbStatus, NTSTATUS status, bool retry, ULONG counted,
              std::optional<Logged> log = std::nullopt, ULONG retriesSpent = 0, UCHAR scsiStatus = SCSISTAT_GOOD) {
  return Row{name, srbStatus, scsiStatus, std::nullopt, retriesSpent, status, retry, counted, log};
}

const Row kRows[] = {
    // The sense-key table.
    SenseRow("NoSenseIli", {0x0, 0, 0, true}, STATUS_INVALID_BLOCK_LENGTH, false),
    SenseRow("NoSense", {0x0}, STATUS_IO_DEVICE_ERROR, true),
    SenseRow("RecoveredIli", {0x1, 0x00, 0, true}, STATUS_INVALID_BLOCK_LENGTH, false, kRecovered),
    SenseRow("RecoveredOtherAsc", {0x1, 0x5D}, STATUS_SUCCESS, false, kRecovered),
    SenseRow("RecoveredAsc14", {0x1, 0x14}, STATUS_SUCCESS, false, kRecoveredSeek),
    SenseRow("RecoveredAsc15", {0x1, 0x15}, STATUS_SUCCESS, false, kRecoveredSeek),
    SenseRow("RecoveredAsc17", {0x1, 0x17}, STATUS_SUCCESS, false, kRecoveredEcc),
    SenseRow("RecoveredAsc18", {0x1, 0x18}, STATUS_SUCCESS, false, kRecoveredEcc),
    SenseRow("NotReadyManualIntervention", {0x2, 0x04, 0x03}, STATUS_NO_MEDIA_IN_DEVICE, false),
    SenseRow("NotReadyFormatInProgress", {0x2, 0x04, 0x04}, STATUS_DEVICE_NOT_READY, false),
    SenseRow("NotReadyBecomingReady", {0x2, 0x04, 0x01}, STATUS_DEVICE_NOT_READY, true),
    SenseRow("NotReadyNoMedium", {0x2, 0x3A, 0x02}, STATUS_NO_MEDIA_IN_DEVICE, false),
    SenseRow("NotReadyOtherAsc", {0x2, 0x05}, STATUS_DEVICE_NOT_READY, true),
    SenseRow("MediumError", {0x3, 0x11}, STATUS_DEVICE_DATA_ERROR, false, kMedium),
    SenseRow("HardwareError", {0x4, 0x44}, STATUS_IO_DEVICE_ERROR, true, kHardware),
    SenseRow("IllegalRequestOpcode", {0x5, 0x20}, STATUS_INVALID_DEVICE_REQUEST, false),
    SenseRow("IllegalRequestFieldInCdb", {0x5, 0x24}, STATUS_INVALID_DEVICE_REQUEST, false),
    SenseRow("IllegalRequestVendorA0", {0x5, 0xA0}, STATUS_INVALID_DEVICE_REQUEST, false),
    SenseRow("IllegalRequestVendorA1", {0x5, 0xA1}, STATUS_INVALID_DEVICE_REQUEST, false),
    SenseRow("IllegalRequestVendorA7", {0x5, 0xA7}, STATUS_INVALID_DEVICE_REQUEST, false),
    SenseRow("IllegalRequestOutOfRange", {0x5, 0x21}, STATUS_NONEXISTENT_SECTOR, false),
    SenseRow("IllegalRequestNoSuchLun", {0x5, 0x25}, STATUS_NO_SUCH_DEVICE, false),
    SenseRow("IllegalRequestOtherAsc", {0x5, 0x26}, STATUS_INVALID_DEVICE_REQUEST, true),
    SenseRow("UnitAttention", {0x6, 0x29}, STATUS_IO_DEVICE_ERROR, true),
    SenseRow("DataProtect", {0x7, 0x27}, STATUS_MEDIA_WRITE_PROTECTED, false),
    SenseRow("Key8", {0x8}, STATUS_IO_DEVICE_ERROR, true),
    SenseRow("KeyB", {0xB}, STATUS_IO_DEVICE_ERROR, true),
    SenseRow("KeyF", {0xF}, STATUS_IO_DEVICE_ERROR, true),
    // ILI counts only under keys 0 and 1; ASCQ only under NOT READY 04.
    SenseRow("MediumErrorIli", {0x3, 0x11, 0, true}, STATUS_DEVICE_DATA_ERROR, false, kMedium),
    SenseRow("NoMediumAnyAscq", {0x2, 0x3A, 0x7F}, STATUS_NO_MEDIA_IN_DEVICE, false),
    // The SRB-status table.
    StatusRow("Aborted", SRB_STATUS_ABORTED, STATUS_IO_TIMEOUT, true, 1),
    StatusRow("Timeout", SRB_STATUS_TIMEOUT, STATUS_IO_TIMEOUT, true, 1),
    StatusRow("CommandTimeout", SRB_STATUS_COMMAND_TIMEOUT, STATUS_IO_TIMEOUT, true, 1),
    StatusRow("InvalidRequest", SRB_STATUS_INVALID_REQUEST, STATUS_INVALID_DEVICE_REQUEST, false, 0),
    StatusRow("InvalidPathId", SRB_STATUS_INVALID_PATH_ID, STATUS_NO_SUCH_DEVICE, false, 0),
    StatusRow("NoDevice", SRB_STATUS_NO_DEVICE, STATUS_NO_SUCH_DEVICE, false, 0),
    StatusRow("NoHba", SRB_STATUS_NO_HBA, STATUS_NO_SUCH_DEVICE, false, 0),
    StatusRow("InvalidLun", SRB_STATUS_INVALID_LUN, STATUS_NO_SUCH_DEVICE, false, 0),
    StatusRow("InvalidTargetId", SRB_STATUS_INVALID_TARGET_ID, STATUS_NO_SUCH_DEVICE, false, 0),
    StatusRow("SelectionTimeout", SRB_STATUS_SELECTION_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED, false, 0, kSelection),
    StatusRow("BusReset", SRB_STATUS_BUS_RESET, STATUS_IO_DEVICE_ERROR, true, 0),
    StatusRow("RequestFlushed", SRB_STATUS_REQUEST_FLUSHED, STATUS_IO_DEVICE_ERROR, true, 0),
    StatusRow("ParityError", SRB_STATUS_PARITY_ERROR, STATUS_IO_DEVICE_ERROR, true, 1),
    StatusRow("UnexpectedBusFree", SRB_STATUS_UNEXPECTED_BUS_FREE, STATUS_IO_DEVICE_ERROR, true, 1),
    StatusRow("DataOverrun", SRB_STATUS_DATA_OVERRUN, STATUS_DATA_OVERRUN, false, 0),
    StatusRow("PhaseSequenceFirst", SRB_STATUS_PHASE_SEQUENCE_FAILURE, STATUS_IO_DEVICE_ERROR, true, 1, std::nullopt, 0),
    StatusRow("PhaseSequenceSecond", SRB_STATUS_PHASE_SEQUENCE_FAILURE, STATUS_IO_DEVICE_ERROR, true, 1, std::nullopt, 1),
    StatusRow("PhaseSequenceThird", SRB_STATUS_PHASE_SEQUENCE_FAILURE, STATUS_IO_DEVICE_ERROR, false, 1, std::nullopt, 2),
    StatusRow("DefaultPending", SRB_STATUS_PENDING, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultSuccess", SRB_STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultAbortFailed", SRB_STATUS_ABORT_FAILED, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultBusy", SRB_STATUS_BUSY, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("Default0C", 0x0C, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultMessageRejected", SRB_STATUS_MESSAGE_REJECTED, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultRequestSenseFailed", SRB_STATUS_REQUEST_SENSE_FAILED, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultBadSrbBlockLength", SRB_STATUS_BAD_SRB_BLOCK_LENGTH, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("Default17", 0x17, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("Default1F", 0x1F, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultBadFunction", SRB_STATUS_BAD_FUNCTION, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("DefaultInternalError", SRB_STATUS_INTERNAL_ERROR, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("Default3F", 0x3F, STATUS_IO_DEVICE_ERROR, true, 0, kOther),
    StatusRow("FrozenBitsIgnored", SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN, STATUS_DATA_OVERRUN, false, 0),
    // SRB_STATUS_ERROR without sense, by the SCSI status.
    StatusRow("ErrorGood", SRB_STATUS_ERROR, STATUS_IO_DEVICE_ERROR, true, 1, std::nullopt, 0, SCSISTAT_GOOD),
    StatusRow("ErrorBusy", SRB_STATUS_ERROR, STATUS_DEVICE_NOT_READY, true, 0, std::nullopt, 0, SCSISTAT_BUSY),
    StatusRow("ErrorReservationConflict", SRB_STATUS_ERROR, STATUS_DEVICE_BUSY, false, 0, std::nullopt, 0,
              SCSISTAT_RESERVATION_CONFLICT),
    StatusRow("ErrorCheckConditionWithoutSense", SRB_STATUS_ERROR, STATUS_IO_DEVICE_ERROR, true, 0, std::nullopt, 0,
              SCSISTAT_CHECK_CONDITION),
    StatusRow("ErrorOtherScsiStatus", SRB_STATUS_ERROR, STATUS_IO_DEVICE_ERROR, true, 0, std::nullopt, 0, 0x28),
};

}  // namespace

class SenseTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
  }

  // An SRB as the port driver completes it, of a device at path 1, target
  // 2, logical unit 3; with sense data when Sense is set.
  SCSI_REQUEST_BLOCK Srb(UCHAR srbStatus, UCHAR scsiStatus, std::optional<Sense> withSense = std::nullopt,
                         UCHAR additionalLength = 10, UCHAR reported = 18) {
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(srb);
    srb.SrbStatus = srbStatus;
    srb.ScsiStatus = scsiStatus;
    srb.PathId = 1;
    srb.TargetId = 2;
    srb.Lun = 3;
    std::memset(sense, 0, sizeof(sense));
    if (withSense) {
      sense[0] = 0x70;
      sense[2] = (UCHAR)(withSense->key | (withSense->ili ? 0x20 : 0));
      sense[7] = additionalLength;
      sense[12] = withSense->asc;
      sense[13] = withSense->ascq;
      srb.SenseInfoBuffer = sense;
      srb.SenseInfoBufferLength = reported;
    }
    return srb;
  }

  // Interprets as the read/write completion does, at DISPATCH_LEVEL.
  bool Interpret(SCSI_REQUEST_BLOCK& srb, ULONG retriesSpent, NTSTATUS* status) {
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    *status = (NTSTATUS)0xDEADBEEF;
    return InterpretSenseInfo(device, &srb, IRP_MJ_SCSI, retriesSpent, status) != FALSE;
  }
  size_t Entries() { return world.errorLog.Entries().size(); }

  UCHAR sense[18];
};

class SenseRowTest : public SenseTest, public ::testing::WithParamInterface<Row> {};

TEST_P(SenseRowTest, GivesTheRowsStatusAdviceCountAndEntry) {
  const Row& row = GetParam();
  SCSI_REQUEST_BLOCK srb = Srb(row.srbStatus, row.scsiStatus, row.sense);
  NTSTATUS status;
  bool retry = Interpret(srb, row.retriesSpent, &status);
  EXPECT_EQ(status, row.status);
  EXPECT_EQ(retry, row.retry);
  EXPECT_EQ(extension->ErrorCount, row.counted);
  EXPECT_EQ(extension->LastSrbError, (ULONG)(row.srbStatus & 0x3F));
  const auto& entries = world.errorLog.Entries();
  if (!row.log) {
    EXPECT_THAT(entries, IsEmpty());
    return;
  }
  ASSERT_EQ(entries.size(), 1u);
  IO_ERROR_LOG_PACKET packet = entries[0].Packet();
  EXPECT_EQ(packet.UniqueErrorValue, row.log->unique);
  EXPECT_EQ(packet.ErrorCode, row.log->code);
  EXPECT_EQ(packet.FinalStatus, row.retry ? STATUS_SUCCESS : row.status);
}

INSTANTIATE_TEST_SUITE_P(EachRow, SenseRowTest, ValuesIn(kRows), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the sense bytes that arrived

TEST_F(SenseTest, CodesTheDeviceDidNotSendAreClearedBeforeTheyAreRead) {
  struct Case {
    UCHAR additionalLength, reported;
    Sense sense;
    NTSTATUS status;
    bool retry;
    UCHAR asc, ascq;  // as the buffer holds them afterwards
  };
  const Case cases[] = {
      {4, 18, {0x2, 0x3A, 0x01}, STATUS_DEVICE_NOT_READY, true, 0, 0},       // 12 usable: both cleared
      {5, 18, {0x2, 0x04, 0x03}, STATUS_DEVICE_NOT_READY, true, 0x04, 0},    // 13 usable: ASCQ cleared
      {6, 18, {0x2, 0x04, 0x03}, STATUS_NO_MEDIA_IN_DEVICE, false, 0x04, 0x03},  // 14 usable: both read
      {10, 13, {0x2, 0x04, 0x03}, STATUS_DEVICE_NOT_READY, true, 0x04, 0},   // fewer bytes reported than sent
      {10, 12, {0x2, 0x3A, 0x00}, STATUS_DEVICE_NOT_READY, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "additional length " << (int)c.additionalLength << ", reported " << (int)c.reported);
    SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, c.sense,
                                 c.additionalLength, c.reported);
    NTSTATUS status;
    EXPECT_EQ(Interpret(srb, 0, &status), c.retry);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(sense[12], c.asc);
    EXPECT_EQ(sense[13], c.ascq);
  }
}

TEST_F(SenseTest, FewerThanEightSenseBytesLeaveTheDecisionToTheSrbStatus) {
  SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_PARITY_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION,
                               Sense{0x3, 0x11}, 10, 7);
  NTSTATUS status;
  EXPECT_TRUE(Interpret(srb, 0, &status));
  EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR) << "parity error, not MEDIUM ERROR";
  EXPECT_EQ(extension->ErrorCount, 1u);
}

// ---------------------------------------------------------------- the device's error statistics

TEST_F(SenseTest, TheFourthCountedErrorSlowsTheDeviceDownOnce) {
  extension->SrbFlags = SRB_FLAGS_QUEUE_ACTION_ENABLE | SRB_FLAGS_NO_QUEUE_FREEZE;
  NTSTATUS status;
  for (int i = 1; i <= 3; ++i) {
    SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_TIMEOUT, 0);
    Interpret(srb, 0, &status);
    EXPECT_EQ(extension->SrbFlags, (ULONG)(SRB_FLAGS_QUEUE_ACTION_ENABLE | SRB_FLAGS_NO_QUEUE_FREEZE)) << i;
  }
  SCSI_REQUEST_BLOCK fourth = Srb(SRB_STATUS_TIMEOUT, 0);
  Interpret(fourth, 0, &status);
  EXPECT_EQ(extension->ErrorCount, 4u);
  EXPECT_EQ(extension->SrbFlags, (ULONG)SRB_FLAGS_DISABLE_SYNCH_TRANSFER);

  // While the count stays 4, an uncounted failure of this branch applies it again.
  extension->SrbFlags = SRB_FLAGS_QUEUE_ACTION_ENABLE;
  SCSI_REQUEST_BLOCK reset = Srb(SRB_STATUS_BUS_RESET, 0);
  Interpret(reset, 0, &status);
  EXPECT_EQ(extension->SrbFlags, (ULONG)SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
  // A fifth counted error changes nothing more.
  extension->SrbFlags = SRB_FLAGS_QUEUE_ACTION_ENABLE;
  SCSI_REQUEST_BLOCK fifth = Srb(SRB_STATUS_TIMEOUT, 0);
  Interpret(fifth, 0, &status);
  EXPECT_EQ(extension->ErrorCount, 5u);
  EXPECT_EQ(extension->SrbFlags, (ULONG)SRB_FLAGS_QUEUE_ACTION_ENABLE);
}

TEST_F(SenseTest, SenseDataNeverCountsNorSlowsTheDeviceDown) {
  extension->ErrorCount = 4;
  extension->SrbFlags = SRB_FLAGS_QUEUE_ACTION_ENABLE;
  SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, Sense{0x4});
  NTSTATUS status;
  Interpret(srb, 0, &status);
  EXPECT_EQ(extension->ErrorCount, 4u);
  EXPECT_EQ(extension->SrbFlags, (ULONG)SRB_FLAGS_QUEUE_ACTION_ENABLE);
}

TEST_F(SenseTest, ASelectionTimeoutIsLoggedOnceUntilAFailureOfAnotherKind) {
  NTSTATUS status;
  auto timeout = [&] {
    SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_SELECTION_TIMEOUT, 0);
    Interpret(srb, 0, &status);
  };
  timeout();
  timeout();
  EXPECT_EQ(Entries(), 1u);
  SCSI_REQUEST_BLOCK reset = Srb(SRB_STATUS_BUS_RESET, 0);
  Interpret(reset, 0, &status);
  timeout();
  EXPECT_EQ(Entries(), 2u);
  // A successful chunk between two timeouts is not interpreted: one entry.
  timeout();
  EXPECT_EQ(Entries(), 2u);
}

// ---------------------------------------------------------------- the entry

TEST_F(SenseTest, TheEntryCarriesEveryFieldAndSixDumpWords) {
  SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, Sense{0x3, 0x11, 0x00});
  NTSTATUS status;
  {
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_FALSE(InterpretSenseInfo(device, &srb, 0x42, 0x105, &status));
  }
  EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
  ASSERT_EQ(Entries(), 1u);
  const host::ErrorLogEntry& entry = world.errorLog.Entries()[0];
  EXPECT_EQ(entry.ioObject, device);
  EXPECT_EQ(entry.bytes.size(), SENSE_LOG_ENTRY_SIZE);
  EXPECT_EQ(SENSE_LOG_ENTRY_SIZE, 68u);
  IO_ERROR_LOG_PACKET packet = entry.Packet();
  EXPECT_EQ(packet.MajorFunctionCode, 0x42);
  EXPECT_EQ(packet.RetryCount, 5) << "the low byte of the retries spent";
  EXPECT_EQ(packet.DumpDataSize, 24);
  EXPECT_EQ(packet.NumberOfStrings, 0);
  EXPECT_EQ(packet.StringOffset, 0);
  EXPECT_EQ(packet.EventCategory, 0);
  EXPECT_EQ(packet.ErrorCode, IO_ERR_BAD_BLOCK);
  EXPECT_EQ(packet.UniqueErrorValue, 256u);
  EXPECT_EQ(packet.FinalStatus, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(packet.SequenceNumber, 0u);
  EXPECT_EQ(packet.IoControlCode, 0u);
  EXPECT_EQ(packet.DeviceOffset.QuadPart, 0);
  EXPECT_THAT(entry.DumpData(), ElementsAre(1u, 2u, 3u, 0u, 0x8402u, 0x00031100u));
}

TEST_F(SenseTest, AnEntryWithoutASenseBufferLeavesTheLastDumpWordAsTheLogGaveIt) {
  SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_BUSY, SCSISTAT_BUSY);
  NTSTATUS status;
  EXPECT_TRUE(Interpret(srb, 2, &status));
  ASSERT_EQ(Entries(), 1u);
  EXPECT_THAT(world.errorLog.Entries()[0].DumpData(), ElementsAre(1u, 2u, 3u, 0u, 0x0508u, 0u));
  EXPECT_EQ(world.errorLog.Entries()[0].Packet().FinalStatus, STATUS_SUCCESS) << "a retry follows";
}

TEST_F(SenseTest, TheFinalStatusIsNamedOnlyWhenNoRetryFollows) {
  for (ULONG spent = 0; spent <= 4; ++spent) {
    SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, Sense{0x4});
    NTSTATUS status;
    EXPECT_TRUE(Interpret(srb, spent, &status));
    EXPECT_EQ(world.errorLog.Entries().back().Packet().FinalStatus, spent < 4 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR)
        << spent << " retries spent";
    EXPECT_EQ(world.errorLog.Entries().back().Packet().RetryCount, spent);
  }
}

TEST_F(SenseTest, WithoutAnEntryFromTheLogTheStatusAndAdviceStand) {
  world.faults.Fail(host::Fault::ErrorLogEntry).Always();
  SCSI_REQUEST_BLOCK srb = Srb(SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, Sense{0x3});
  NTSTATUS status;
  EXPECT_FALSE(Interpret(srb, 0, &status));
  EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
  SCSI_REQUEST_BLOCK selection = Srb(SRB_STATUS_SELECTION_TIMEOUT, 0);
  EXPECT_FALSE(Interpret(selection, 0, &status));
  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Entries(), 0u);
}
