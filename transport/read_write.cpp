// Plain reads and writes: 6-byte commands 0x08 and 0x0A whose bytes 2 to 4
// hold the chunk's length, sent chunk by chunk, with failed chunks sent
// again as the sense interpreter advises, within the request's retry budget.
#include "driver.h"
#include "transport.h"

#define READ_WRITE_SENSE_LENGTH 18

static NTSTATUS Refuse(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Information = 0;
  return CompleteCounted(DeviceObject, Irp, Status);
}

PAGED_ROUTINE NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  PSCSISCAN_CMD cmd = NULL;
  PUCHAR sense = NULL;
  PTRANSFER_CONTEXT context;

  PAGED_CODE();

  IncrementIoCount(DeviceObject);
  if (!extension->DeviceStarted) return Refuse(DeviceObject, Irp, STATUS_DELETE_PENDING);
  if (LockedAgainst(extension, OpenNumberOf(Irp))) return Refuse(DeviceObject, Irp, STATUS_DEVICE_BUSY);
  // A frozen queue would hold this request's SRBs for ever.
  if (!SendOwedRelease(DeviceObject)) return Refuse(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES);

  // The request's own command block and sense buffer, owned by the request
  // until ReadWriteCompletion ends it.
  cmd = (PSCSISCAN_CMD)ExAllocatePool(NonPagedPoolNx, sizeof(SCSISCAN_CMD));
  if (cmd == NULL) goto refuse;
  RtlZeroMemory(cmd, sizeof(SCSISCAN_CMD));
  cmd->Size = sizeof(SCSISCAN_CMD);
  cmd->SrbFlags = location->MajorFunction == IRP_MJ_WRITE ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
  cmd->CdbLength = 6;
  cmd->SenseLength = READ_WRITE_SENSE_LENGTH;
  cmd->TransferLength = location->Parameters.Read.Length;
  cmd->Cdb[0] = location->MajorFunction == IRP_MJ_WRITE ? 0x0A : 0x08;
  cmd->pSrbStatus = &cmd->Reserved2;

  sense = (PUCHAR)ExAllocatePool(NonPagedPoolNx, READ_WRITE_SENSE_LENGTH);
  if (sense == NULL) goto refuse;
  // Cleared: a failure without sense data logs what the buffer holds, and
  // that must not be what the pool held before.
  RtlZeroMemory(sense, READ_WRITE_SENSE_LENGTH);
  cmd->pSenseBuffer = sense;

  // A length of 0, a missing or too short MDL and a failed allocation are
  // refused alike.
  context = BuildTransferContext(extension, cmd, sizeof(SCSISCAN_CMD), Irp->MdlAddress);
  if (context == NULL) goto refuse;
  // Bytes 2 to 4 hold the chunk's length (the chunk was kept to what their
  // 24 bits can state).
  SetSixByteTransferLength(cmd->Cdb, context->ChunkLength);
  context->RetryCount = SRB_RETRY_BUDGET;

  IoMarkIrpPending(Irp);
  IoSetCompletionRoutine(Irp, ReadWriteCompletion, context, TRUE, TRUE, FALSE);
  IssueSrb(DeviceObject, Irp, context, FALSE);
  return STATUS_PENDING;

refuse:
  // What was taken goes back in reverse order.
  if (sense != NULL) ExFreePool(sense);
  if (cmd != NULL) ExFreePool(cmd);
  return Refuse(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES);
}

// Sends the context's chunk again, the same way or as a retry.
static NTSTATUS SendChunk(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context, BOOLEAN Retry) {
  IoSetCompletionRoutine(Irp, ReadWriteCompletion, Context, TRUE, TRUE, FALSE);
  IssueSrb(DeviceObject, Irp, Context, Retry);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ReadWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PTRANSFER_CONTEXT context = (PTRANSFER_CONTEXT)Context;
  PSCSISCAN_CMD cmd = context->Cmd;
  PSCSI_REQUEST_BLOCK srb = &context->Srb;
  UCHAR srbStatus = (UCHAR)SRB_STATUS(srb->SrbStatus);
  NTSTATUS status;

  if (srbStatus == SRB_STATUS_SUCCESS) {
    if (AdvanceTransfer(context)) return SendChunk(DeviceObject, Irp, context, FALSE);
    status = STATUS_SUCCESS;
  } else {
    NTSTATUS interpreted;
    BOOLEAN released = TRUE;
    BOOLEAN retry;
    // The release goes down before any retry of the chunk; a retry behind a
    // queue that stays frozen would never end, so without the release the
    // chunk is not retried.
    if (srb->SrbStatus & SRB_STATUS_QUEUE_FROZEN) released = ReleaseDeviceQueue(DeviceObject);
    retry = InterpretSenseInfo(DeviceObject, srb, IRP_MJ_SCSI, (ULONG)(SRB_RETRY_BUDGET - context->RetryCount),
                               &interpreted);
    if (retry && released && context->RetryCount != 0) {
      context->RetryCount--;
      return SendChunk(DeviceObject, Irp, context, TRUE);
    }
    // The interpreted status serves the error log only.
    if (srbStatus == SRB_STATUS_DATA_OVERRUN) {
      context->TransferredLength += (LONG)ChunkMoved(context);
      status = STATUS_SUCCESS;
    } else {
      context->TransferredLength = 0;
      status = STATUS_IO_DEVICE_ERROR;
    }
  }

  Irp->IoStatus.Information = (ULONG_PTR)context->TransferredLength;
  ExFreePool(context->SenseBuffer);
  ExFreePool(cmd);
  ExFreePool(context);
  Irp->IoStatus.Status = status;
  DecrementIoCount(DeviceObject);
  return status;
}
