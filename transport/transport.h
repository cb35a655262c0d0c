// The SCSI command transport: a command block checked and sized into chunks,
// each chunk sent as an SRB in the request's own IRP, frozen queues released,
// and failed SRBs turned into a status, a retry advice and log entries.
#pragma once

#include "extension.h"

// The largest transfer a command block may ask for: the transfer's counters
// are signed 32-bit.
#define MAXIMUM_TRANSFER_LENGTH 0x7FFFFFFFu
// The largest chunk a CDB's length field of Bits bits can state, in whole
// pages: chunks are capped there where the driver writes the length.
// The SRB flags a pass-through caller may set: the direction, and the
// manners of the transfer (tagged queueing, no disconnect, asynchronous
// transfer, no autosense, no queue freeze, the adapter's cache).
#define CALLER_SRB_FLAGS                                                                          \
  (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT | SRB_FLAGS_QUEUE_ACTION_ENABLE | SRB_FLAGS_DISABLE_DISCONNECT | \
   SRB_FLAGS_DISABLE_SYNCH_TRANSFER | SRB_FLAGS_DISABLE_AUTOSENSE | SRB_FLAGS_NO_QUEUE_FREEZE |        \
   SRB_FLAGS_ADAPTER_CACHE_ENABLE)

// Retries a read or write request may spend on its failed chunks, together;
// the sense interpreter's last retry is the one that spends the budget.
#define SRB_RETRY_BUDGET 4
// The device's transport error count at which it is slowed down (tagged
// queueing and synchronous transfer off).
#define SLOW_DOWN_ERROR_COUNT 4

#define LARGEST_STATED_CHUNK(Bits) ((((1u << (Bits)) - 1) / PAGE_SIZE) * PAGE_SIZE)

// Checks Cmd against the buffer that holds it and the data MDL, allocates a
// zeroed context (untagged NonPagedPoolNx, freed with ExFreePool by whoever
// ends the request) and sizes its chunk by the adapter's limits. Returns
// none for a refused block or a failed allocation.
PTRANSFER_CONTEXT BuildTransferContext(PDEVICE_EXTENSION DeviceExtension, PSCSISCAN_CMD Cmd, ULONG BufferLength,
                                       PMDL DataMdl);

// Lowers the context's chunk to at most Largest bytes, so that a CDB whose
// length field cannot state more still states the chunk exactly.
VOID LimitChunkLength(PTRANSFER_CONTEXT Context, ULONG Largest);

// The bytes the chunk in flight moved by its SRB's account, never more than
// the chunk asked for.
ULONG ChunkMoved(PTRANSFER_CONTEXT Context);
// Counts a chunk that succeeded. TRUE when the transfer goes on with another
// chunk, whose length is restated where the CDB states it; FALSE when it is
// over, or when the chunk moved nothing (it would be sent for ever).
BOOLEAN AdvanceTransfer(PTRANSFER_CONTEXT Context);

// Fills the context's SRB for the chunk at DataPointer and sends the IRP down
// with it; the completion routine must already be set. Retry sends the same
// chunk untagged and without synchronous transfer.
NTSTATUS IssueSrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context, BOOLEAN Retry);

// Writes the low 24 bits of Length big-endian into bytes 6 to 8 of a 10-byte
// CDB (bytes 7 and 8 only for operation code 0x34).
VOID SetCdbTransferLength(PUCHAR Cdb, ULONG Length);

// A 6-byte READ (0x08) or WRITE (0x0A): bytes 2 to 4 hold the byte count.
BOOLEAN IsSixByteReadWrite(PSCSISCAN_CMD Cmd);
VOID SetSixByteTransferLength(PUCHAR Cdb, ULONG Length);

// Writes a chunk's length where the command block's CDB states it: a 10-byte
// CDB, or a 6-byte READ or WRITE. Any other CDB is sent as written.
VOID StateChunkLength(PSCSISCAN_CMD Cmd, ULONG Length);

// Sends a release of the device's frozen queue in an IRP of the driver's own
// and returns at once; TRUE when it went down. When no pool or IRP is to be
// had, the release is owed: the port holds every SRB of the unit until it
// comes, so the next request of the device sends it first.
BOOLEAN ReleaseDeviceQueue(PDEVICE_OBJECT DeviceObject);
// Sends a release still owed, if any; FALSE when one is owed and still
// cannot be sent.
BOOLEAN SendOwedRelease(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReleaseQueueCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Interprets a failed SRB: *Status receives the status that names the
// failure, the result is the advice to send the chunk again. Keeps the
// device's error statistics and writes an error-log entry where the failure
// deserves one.
BOOLEAN InterpretSenseInfo(PDEVICE_OBJECT DeviceObject, PSCSI_REQUEST_BLOCK Srb, UCHAR MajorFunctionCode,
                           ULONG RetriesSpent, NTSTATUS* Status);

// The completion routines of the two kinds of data request.
NTSTATUS CommandCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS ReadWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// A kernel-space address of a locked MDL's memory, or none.
PVOID MapCallerMdl(PMDL Mdl);

// The error-log entry's size: the packet (one dump word) and five more words.
#define SENSE_LOG_DUMP_WORDS 6
#define SENSE_LOG_ENTRY_SIZE (sizeof(IO_ERROR_LOG_PACKET) + (SENSE_LOG_DUMP_WORDS - 1) * sizeof(ULONG))
