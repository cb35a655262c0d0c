// One chunk as an SRB in the request's own IRP, the chunk's length in a
// 10-byte CDB, and the release of a frozen device queue.
#include "driver.h"
#include "transport.h"

NTSTATUS IssueSrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PTRANSFER_CONTEXT Context, BOOLEAN Retry) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSCSISCAN_CMD cmd = Context->Cmd;
  PSCSI_REQUEST_BLOCK srb = &Context->Srb;
  PIO_STACK_LOCATION next;
  ULONG flags;

  // Written afresh for every send; PathId, TargetId, Lun, SrbExtension,
  // Reserved and the CDB bytes past CdbLength keep the context's zeros.
  srb->Length = sizeof(SCSI_REQUEST_BLOCK);
  srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
  srb->SrbStatus = SRB_STATUS_PENDING;
  srb->ScsiStatus = 0;
  srb->QueueAction = SRB_SIMPLE_TAG_REQUEST;
  srb->CdbLength = cmd->CdbLength;
  srb->SenseInfoBufferLength = cmd->SenseLength;
  flags = cmd->SrbFlags | (ULONG)READ_SHARED_LONG(extension->SrbFlags);
  srb->DataTransferLength = Context->ChunkLength;
  srb->TimeOutValue = (ULONG)READ_SHARED_LONG(extension->TimeOutValue);
  // The chunk's address in the caller's buffer, kept as a number while the
  // transfer advances through it.
  srb->DataBuffer = (PVOID)Context->DataPointer;  // NOLINT(performance-no-int-to-ptr)
  srb->SenseInfoBuffer = Context->SenseBuffer;
  srb->NextSrb = NULL;
  srb->OriginalRequest = Irp;
  srb->QueueSortKey = 0;
  RtlCopyMemory(srb->Cdb, cmd->Cdb, cmd->CdbLength);
  if (Retry) {
    // A retry goes untagged and asynchronous; the tag stays for the chunks
    // after it, the flags are worked out again for each send.
    srb->QueueTag = SP_UNTAGGED;
    flags = (flags & ~SRB_FLAGS_QUEUE_ACTION_ENABLE) | SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
  }
  srb->SrbFlags = flags;

  next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_SCSI;
  next->Parameters.Scsi.Srb = srb;
  return IofCallDriver(extension->StackDeviceObject, Irp);
}

VOID SetCdbTransferLength(PUCHAR Cdb, ULONG Length) {
  Cdb[8] = (UCHAR)Length;
  Cdb[7] = (UCHAR)(Length >> 8);
  // GET DATA BUFFER STATUS states its length in bytes 7 and 8 alone.
  if (Cdb[0] != 0x34) {
    Cdb[6] = (UCHAR)(Length >> 16);
  }
}

BOOLEAN IsSixByteReadWrite(PSCSISCAN_CMD Cmd) {
  return Cmd->CdbLength == 6 && (Cmd->Cdb[0] == 0x08 || Cmd->Cdb[0] == 0x0A);
}

VOID SetSixByteTransferLength(PUCHAR Cdb, ULONG Length) {
  Cdb[2] = (UCHAR)(Length >> 16);
  Cdb[3] = (UCHAR)(Length >> 8);
  Cdb[4] = (UCHAR)Length;
}

VOID StateChunkLength(PSCSISCAN_CMD Cmd, ULONG Length) {
  if (Cmd->CdbLength == 10) {
    SetCdbTransferLength(Cmd->Cdb, Length);
  } else if (IsSixByteReadWrite(Cmd)) {
    SetSixByteTransferLength(Cmd->Cdb, Length);
  }
}

// The release IRP and its block belong to each other and to this routine
// alone; both go back here whatever the release's outcome. The release was
// counted in the device's pending-I/O count, so that no stop or removal
// happens while it is under way; it leaves the count last. That decrement
// may let a waiting removal delete the device and the system unload this
// code before the routine has returned: the routine was set with
// IoSetCompletionRoutineEx, which holds the driver until it has.
NTSTATUS ReleaseQueueCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_OBJECT device = ((PRELEASE_QUEUE_CONTEXT)Context)->DeviceObject;
  UNREFERENCED_PARAMETER(DeviceObject);
  ExFreePoolWithTag(Context, STILLSCSI_POOL_TAG);
  IoFreeIrp(Irp);
  DecrementIoCount(device);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Without the block, the IRP or the hold on the driver the release is owed:
// nothing of the unit completes while its queue is frozen, so no later
// completion would ask again, and the next request sends it.
static BOOLEAN OweRelease(PDEVICE_EXTENSION Extension) {
  InterlockedExchange(&Extension->ReleaseOwed, 1);
  return FALSE;
}

BOOLEAN ReleaseDeviceQueue(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PRELEASE_QUEUE_CONTEXT block;
  PIO_STACK_LOCATION next;
  PIRP irp;
  KIRQL oldIrql;

  irp = NULL;
  block = (PRELEASE_QUEUE_CONTEXT)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(RELEASE_QUEUE_CONTEXT),
                                                        STILLSCSI_POOL_TAG);
  if (block == NULL) goto owed;
  block->Signature = RELEASE_QUEUE_SIGNATURE;
  block->DeviceObject = DeviceObject;
  RtlZeroMemory(&block->Srb, sizeof(SCSI_REQUEST_BLOCK));
  block->Srb.Length = sizeof(SCSI_REQUEST_BLOCK);
  block->Srb.Function = SRB_FUNCTION_RELEASE_QUEUE;

  irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == NULL) goto owed;
  if (!NT_SUCCESS(IoSetCompletionRoutineEx(DeviceObject, irp, ReleaseQueueCompletion, block, TRUE, TRUE, TRUE))) {
    goto owed;
  }
  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_SCSI;
  next->Parameters.Scsi.Srb = &block->Srb;
  block->Srb.OriginalRequest = irp;

  // Counted like a request of the device until its completion.
  IncrementIoCount(DeviceObject);
  // The release always goes down at DISPATCH_LEVEL or above.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    IofCallDriver(extension->StackDeviceObject, irp);
    KeLowerIrql(oldIrql);
  } else {
    IofCallDriver(extension->StackDeviceObject, irp);
  }
  return TRUE;

owed:
  // What was taken goes back in reverse order.
  if (irp != NULL) IoFreeIrp(irp);
  if (block != NULL) ExFreePoolWithTag(block, STILLSCSI_POOL_TAG);
  return OweRelease(extension);
}

BOOLEAN SendOwedRelease(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  if (InterlockedExchange(&extension->ReleaseOwed, 0) == 0) return TRUE;
  return ReleaseDeviceQueue(DeviceObject);
}
