// What a failed SRB means: a status, the advice whether to send the chunk
// again, the device's error statistics and, for some failures, an entry in
// the system error log. The decisions are tables, read by small routines.
#include "transport.h"

// Error-log entries, by the failure that writes them.
enum SENSE_LOG {
  LogNone,
  LogMediumError,      // sense key MEDIUM ERROR
  LogHardwareError,    // sense key HARDWARE ERROR
  LogRecoveredError,   // sense key RECOVERED ERROR; the code depends on the ASC
  LogOtherSrbStatus,   // the default row of the SRB-status table
  LogSelectionTimeout, // SRB_STATUS_SELECTION_TIMEOUT
};

typedef struct _SENSE_LOG_ROW {
  ULONG UniqueErrorValue;
  NTSTATUS ErrorCode;
} SENSE_LOG_ROW;

static const SENSE_LOG_ROW LogRows[] = {
    /* LogNone             */ {0, 0},
    /* LogMediumError      */ {256, IO_ERR_BAD_BLOCK},
    /* LogHardwareError    */ {257, IO_ERR_CONTROLLER_ERROR},
    /* LogRecoveredError   */ {258, IO_ERR_CONTROLLER_ERROR},
    /* LogOtherSrbStatus   */ {259, IO_ERR_CONTROLLER_ERROR},
    /* LogSelectionTimeout */ {260, IO_ERR_NOT_READY},
};

// A RECOVERED ERROR's code, by ASC; any ASC not listed keeps the row's code.
typedef struct _RECOVERED_CODE_ROW {
  UCHAR Asc;
  NTSTATUS ErrorCode;
} RECOVERED_CODE_ROW;

static const RECOVERED_CODE_ROW RecoveredCodes[] = {
    {0x14, IO_ERR_SEEK_ERROR},       // record not found: a positioning error
    {0x15, IO_ERR_SEEK_ERROR},       // random positioning error
    {0x17, IO_RECOVERED_VIA_ECC},    // recovered data without error correction
    {0x18, IO_RECOVERED_VIA_ECC},    // recovered data with error correction
};

// ---------------------------------------------------------------- the sense-key table

enum SENSE_TEST {
  AnySense,     // no further test
  IliSet,       // the incorrect-length indicator is set
  AscIs,        // the ASC is Asc
  AscAscqAre,   // the ASC is Asc and the ASCQ is Ascq
};

typedef struct _SENSE_KEY_ROW {
  UCHAR SenseKey;
  UCHAR Test;
  UCHAR Asc;
  UCHAR Ascq;
  NTSTATUS Status;
  BOOLEAN Retry;
  UCHAR Log;
} SENSE_KEY_ROW;

// Rows are tried in order; the first whose key and test match decides. Each
// key ends with its row without a test.
static const SENSE_KEY_ROW SenseKeyRows[] = {
    {0x0, IliSet, 0, 0, STATUS_INVALID_BLOCK_LENGTH, FALSE, LogNone},       // NO SENSE
    {0x0, AnySense, 0, 0, STATUS_IO_DEVICE_ERROR, TRUE, LogNone},
    {0x1, IliSet, 0, 0, STATUS_INVALID_BLOCK_LENGTH, FALSE, LogRecoveredError},  // RECOVERED ERROR
    {0x1, AnySense, 0, 0, STATUS_SUCCESS, FALSE, LogRecoveredError},
    {0x2, AscAscqAre, 0x04, 0x03, STATUS_NO_MEDIA_IN_DEVICE, FALSE, LogNone},  // NOT READY: manual intervention
    {0x2, AscAscqAre, 0x04, 0x04, STATUS_DEVICE_NOT_READY, FALSE, LogNone},    // format in progress
    {0x2, AscIs, 0x04, 0, STATUS_DEVICE_NOT_READY, TRUE, LogNone},             // becoming ready and the rest
    {0x2, AscIs, 0x3A, 0, STATUS_NO_MEDIA_IN_DEVICE, FALSE, LogNone},          // medium not present
    {0x2, AnySense, 0, 0, STATUS_DEVICE_NOT_READY, TRUE, LogNone},
    {0x3, AnySense, 0, 0, STATUS_DEVICE_DATA_ERROR, FALSE, LogMediumError},     // MEDIUM ERROR
    {0x4, AnySense, 0, 0, STATUS_IO_DEVICE_ERROR, TRUE, LogHardwareError},      // HARDWARE ERROR
    {0x5, AscIs, 0x20, 0, STATUS_INVALID_DEVICE_REQUEST, FALSE, LogNone},       // ILLEGAL REQUEST: invalid opcode
    {0x5, AscIs, 0x24, 0, STATUS_INVALID_DEVICE_REQUEST, FALSE, LogNone},       // invalid field in CDB
    {0x5, AscIs, 0xA0, 0, STATUS_INVALID_DEVICE_REQUEST, FALSE, LogNone},       // vendor-specific
    {0x5, AscIs, 0xA1, 0, STATUS_INVALID_DEVICE_REQUEST, FALSE, LogNone},
    {0x5, AscIs, 0xA7, 0, STATUS_INVALID_DEVICE_REQUEST, FALSE, LogNone},
    {0x5, AscIs, 0x21, 0, STATUS_NONEXISTENT_SECTOR, FALSE, LogNone},           // block address out of range
    {0x5, AscIs, 0x25, 0, STATUS_NO_SUCH_DEVICE, FALSE, LogNone},               // logical unit not supported
    {0x5, AnySense, 0, 0, STATUS_INVALID_DEVICE_REQUEST, TRUE, LogNone},
    {0x6, AnySense, 0, 0, STATUS_IO_DEVICE_ERROR, TRUE, LogNone},               // UNIT ATTENTION
    {0x7, AnySense, 0, 0, STATUS_MEDIA_WRITE_PROTECTED, FALSE, LogNone},        // DATA PROTECT
};

// Keys 0x8 to 0xF, and any key the table does not name.
static const SENSE_KEY_ROW OtherSenseKey = {0x8, AnySense, 0, 0, STATUS_IO_DEVICE_ERROR, TRUE, LogNone};

static const SENSE_KEY_ROW* SenseKeyRow(UCHAR SenseKey, BOOLEAN Ili, UCHAR Asc, UCHAR Ascq) {
  for (ULONG i = 0; i < sizeof(SenseKeyRows) / sizeof(SenseKeyRows[0]); ++i) {
    const SENSE_KEY_ROW* row = &SenseKeyRows[i];
    if (row->SenseKey != SenseKey) continue;
    if ((row->Test == AnySense) || (row->Test == IliSet && Ili) || (row->Test == AscIs && row->Asc == Asc) ||
        (row->Test == AscAscqAre && row->Asc == Asc && row->Ascq == Ascq)) {
      return row;
    }
  }
  return &OtherSenseKey;
}

// ---------------------------------------------------------------- the SRB-status table

enum SRB_RETRY {
  RetryNever,
  RetryAlways,
  RetryWhileFewSpent,  // while RetriesSpent is 0 or 1
  RetryByScsiStatus,   // SRB_STATUS_ERROR: decided by the SCSI status below
};

#define SRB_ROW_STATUSES 5
#define NO_SRB_STATUS 0xFF

typedef struct _SRB_STATUS_ROW {
  UCHAR SrbStatus[SRB_ROW_STATUSES];  // the SRB statuses of the row; NO_SRB_STATUS pads
  NTSTATUS Status;
  UCHAR Retry;
  BOOLEAN Counted;                    // adds one to ErrorCount
  UCHAR Log;
} SRB_STATUS_ROW;

#define NONE NO_SRB_STATUS
static const SRB_STATUS_ROW SrbStatusRows[] = {
    {{SRB_STATUS_ABORTED, SRB_STATUS_TIMEOUT, SRB_STATUS_COMMAND_TIMEOUT, NONE, NONE}, STATUS_IO_TIMEOUT, RetryAlways, TRUE,
     LogNone},
    {{SRB_STATUS_ERROR, NONE, NONE, NONE, NONE}, STATUS_IO_DEVICE_ERROR, RetryByScsiStatus, FALSE, LogNone},
    {{SRB_STATUS_INVALID_REQUEST, NONE, NONE, NONE, NONE}, STATUS_INVALID_DEVICE_REQUEST, RetryNever, FALSE, LogNone},
    {{SRB_STATUS_INVALID_PATH_ID, SRB_STATUS_NO_DEVICE, SRB_STATUS_NO_HBA, SRB_STATUS_INVALID_LUN,
      SRB_STATUS_INVALID_TARGET_ID},
     STATUS_NO_SUCH_DEVICE, RetryNever, FALSE, LogNone},
    {{SRB_STATUS_SELECTION_TIMEOUT, NONE, NONE, NONE, NONE}, STATUS_DEVICE_NOT_CONNECTED, RetryNever, FALSE,
     LogSelectionTimeout},
    {{SRB_STATUS_BUS_RESET, SRB_STATUS_REQUEST_FLUSHED, NONE, NONE, NONE}, STATUS_IO_DEVICE_ERROR, RetryAlways, FALSE,
     LogNone},
    {{SRB_STATUS_PARITY_ERROR, SRB_STATUS_UNEXPECTED_BUS_FREE, NONE, NONE, NONE}, STATUS_IO_DEVICE_ERROR, RetryAlways,
     TRUE, LogNone},
    {{SRB_STATUS_DATA_OVERRUN, NONE, NONE, NONE, NONE}, STATUS_DATA_OVERRUN, RetryNever, FALSE, LogNone},
    {{SRB_STATUS_PHASE_SEQUENCE_FAILURE, NONE, NONE, NONE, NONE}, STATUS_IO_DEVICE_ERROR, RetryWhileFewSpent, TRUE,
     LogNone},
};
#undef NONE

// Every SRB status the table does not name.
static const SRB_STATUS_ROW OtherSrbStatus = {{NO_SRB_STATUS}, STATUS_IO_DEVICE_ERROR, RetryAlways, FALSE,
                                              LogOtherSrbStatus};

static const SRB_STATUS_ROW* SrbStatusRow(UCHAR SrbStatus) {
  for (ULONG i = 0; i < sizeof(SrbStatusRows) / sizeof(SrbStatusRows[0]); ++i) {
    for (ULONG j = 0; j < SRB_ROW_STATUSES; ++j) {
      if (SrbStatusRows[i].SrbStatus[j] == SrbStatus) return &SrbStatusRows[i];
    }
  }
  return &OtherSrbStatus;
}

// SRB_STATUS_ERROR without sense data, by the SCSI status.
typedef struct _SCSI_STATUS_ROW {
  UCHAR ScsiStatus;
  NTSTATUS Status;
  BOOLEAN Retry;
  BOOLEAN Counted;
} SCSI_STATUS_ROW;

static const SCSI_STATUS_ROW ScsiStatusRows[] = {
    {SCSISTAT_GOOD, STATUS_IO_DEVICE_ERROR, TRUE, TRUE},
    {SCSISTAT_BUSY, STATUS_DEVICE_NOT_READY, TRUE, FALSE},
    {SCSISTAT_RESERVATION_CONFLICT, STATUS_DEVICE_BUSY, FALSE, FALSE},
};

// Any other SCSI status, CHECK CONDITION whose sense did not arrive among them.
static const SCSI_STATUS_ROW OtherScsiStatus = {0, STATUS_IO_DEVICE_ERROR, TRUE, FALSE};

static const SCSI_STATUS_ROW* ScsiStatusRow(UCHAR ScsiStatus) {
  for (ULONG i = 0; i < sizeof(ScsiStatusRows) / sizeof(ScsiStatusRows[0]); ++i) {
    if (ScsiStatusRows[i].ScsiStatus == ScsiStatus) return &ScsiStatusRows[i];
  }
  return &OtherScsiStatus;
}

// ---------------------------------------------------------------- the device's error statistics

// Completions of different requests of one device run on several processors
// at once, so the statistics change by interlocked operations: no count is
// lost, and the flags change in one step that no SRB sees half done.
static ULONG CountError(PDEVICE_EXTENSION Extension) {
  return (ULONG)InterlockedIncrement((volatile LONG*)&Extension->ErrorCount);
}

// At four counted errors the device's SRBs go without synchronous transfer,
// without queue actions and without freeze suppression, from then on.
static VOID SlowDownAfterErrors(PDEVICE_EXTENSION Extension) {
  volatile LONG* flags = (volatile LONG*)&Extension->SrbFlags;
  LONG before, after;

  do {
    before = READ_SHARED_LONG(*flags);
    after = (LONG)(((ULONG)before & ~(ULONG)(SRB_FLAGS_QUEUE_ACTION_ENABLE | SRB_FLAGS_NO_QUEUE_FREEZE)) |
                   SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
  } while (InterlockedCompareExchange(flags, after, before) != before);
}

// ---------------------------------------------------------------- the log entry

static VOID WriteLogEntry(PDEVICE_OBJECT DeviceObject, PSCSI_REQUEST_BLOCK Srb, UCHAR MajorFunctionCode,
                          ULONG RetriesSpent, NTSTATUS FinalStatus, NTSTATUS ErrorCode, ULONG UniqueErrorValue) {
  PIO_ERROR_LOG_PACKET entry =
      (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(DeviceObject, (UCHAR)SENSE_LOG_ENTRY_SIZE);

  if (entry == NULL) return;  // unlogged; status and advice stand
  entry->MajorFunctionCode = MajorFunctionCode;
  entry->RetryCount = (UCHAR)RetriesSpent;
  entry->DumpDataSize = SENSE_LOG_DUMP_WORDS * sizeof(ULONG);
  entry->ErrorCode = ErrorCode;
  entry->UniqueErrorValue = UniqueErrorValue;
  entry->FinalStatus = FinalStatus;
  entry->SequenceNumber = 0;
  entry->IoControlCode = 0;
  entry->DumpData[0] = Srb->PathId;
  entry->DumpData[1] = Srb->TargetId;
  entry->DumpData[2] = Srb->Lun;
  entry->DumpData[3] = 0;
  entry->DumpData[4] = ((ULONG)Srb->SrbStatus << 8) | Srb->ScsiStatus;
  if (Srb->SenseInfoBuffer != NULL) {
    PUCHAR sense = (PUCHAR)Srb->SenseInfoBuffer;
    entry->DumpData[5] = ((ULONG)(sense[2] & 0x0F) << 16) | ((ULONG)sense[12] << 8) | sense[13];
  }
  IoWriteErrorLogEntry(entry);
}

// ---------------------------------------------------------------- the interpreter

BOOLEAN InterpretSenseInfo(PDEVICE_OBJECT DeviceObject, PSCSI_REQUEST_BLOCK Srb, UCHAR MajorFunctionCode,
                           ULONG RetriesSpent, NTSTATUS* Status) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  UCHAR srbStatus = (UCHAR)(Srb->SrbStatus & 0x3F);
  BOOLEAN retry;
  UCHAR log;
  NTSTATUS errorCode;

  if ((Srb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID) && Srb->SenseInfoBufferLength >= 8) {
    PUCHAR sense = (PUCHAR)Srb->SenseInfoBuffer;
    ULONG usable = (ULONG)sense[7] + 8;
    const SENSE_KEY_ROW* row;

    // Codes the device did not send are not read as if it had.
    if (usable > Srb->SenseInfoBufferLength) usable = Srb->SenseInfoBufferLength;
    if (usable <= 12) sense[12] = 0;
    if (usable <= 13) sense[13] = 0;
    row = SenseKeyRow((UCHAR)(sense[2] & 0x0F), (sense[2] & 0x20) != 0, sense[12], sense[13]);
    *Status = row->Status;
    retry = row->Retry;
    log = row->Log;
    errorCode = LogRows[log].ErrorCode;
    if (log == LogRecoveredError) {
      for (ULONG i = 0; i < sizeof(RecoveredCodes) / sizeof(RecoveredCodes[0]); ++i) {
        if (RecoveredCodes[i].Asc == sense[12]) errorCode = RecoveredCodes[i].ErrorCode;
      }
    }
    InterlockedExchange((volatile LONG*)&extension->LastSrbError, srbStatus);
  } else {
    const SRB_STATUS_ROW* row = SrbStatusRow(srbStatus);
    BOOLEAN counted = row->Counted;

    *Status = row->Status;
    retry = row->Retry == RetryAlways || (row->Retry == RetryWhileFewSpent && RetriesSpent < 2);
    log = row->Log;
    if (row->Retry == RetryByScsiStatus) {
      const SCSI_STATUS_ROW* scsi = ScsiStatusRow(Srb->ScsiStatus);
      *Status = scsi->Status;
      retry = scsi->Retry;
      counted = scsi->Counted;
    }
    // A counted failure looks at the count it made itself, as other
    // completions may be counting at the same time; an uncounted one at
    // the count as it stands.
    if ((counted ? CountError(extension) : (ULONG)READ_SHARED_LONG(extension->ErrorCount)) == SLOW_DOWN_ERROR_COUNT) {
      SlowDownAfterErrors(extension);
    }
    ULONG lastError = (ULONG)InterlockedExchange((volatile LONG*)&extension->LastSrbError, srbStatus);
    // A selection timeout is logged once, not again while nothing else failed.
    if (log == LogSelectionTimeout && lastError == SRB_STATUS_SELECTION_TIMEOUT) log = LogNone;
    errorCode = LogRows[log].ErrorCode;
  }

  if (log != LogNone) {
    // While the chunk will be sent again the failure is not final.
    NTSTATUS finalStatus = retry && RetriesSpent < SRB_RETRY_BUDGET ? STATUS_SUCCESS : *Status;
    WriteLogEntry(DeviceObject, Srb, MajorFunctionCode, RetriesSpent, finalStatus, errorCode,
                  LogRows[log].UniqueErrorValue);
  }
  return retry;
}
