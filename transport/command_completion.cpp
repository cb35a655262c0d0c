// The completion of each chunk of a pass-through: the caller's status byte,
// the next chunk, or the end of the request.
#include "driver.h"
#include "transport.h"

NTSTATUS CommandCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PTRANSFER_CONTEXT context = (PTRANSFER_CONTEXT)Context;
  PSCSISCAN_CMD cmd = context->Cmd;
  PSCSI_REQUEST_BLOCK srb = &context->Srb;

  // The caller's status byte always shows the latest SRB, whole.
  *cmd->pSrbStatus = srb->SrbStatus;

  if (SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SUCCESS) {
    if (AdvanceTransfer(context)) {
      IoSetCompletionRoutine(Irp, CommandCompletion, context, TRUE, TRUE, FALSE);
      IssueSrb(DeviceObject, Irp, context, FALSE);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  } else if (srb->SrbStatus & SRB_STATUS_QUEUE_FROZEN) {
    ReleaseDeviceQueue(DeviceObject);
  }

  // The request is over: the caller's memory goes back before the context.
  if (context->StatusMdl != NULL) {
    MmUnlockPages(context->StatusMdl);
    IoFreeMdl(context->StatusMdl);
  }
  if (context->SenseMdl != NULL) {
    MmUnlockPages(context->SenseMdl);
    IoFreeMdl(context->SenseMdl);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = (ULONG_PTR)context->TransferredLength;
  ExFreePool(context);
  DecrementIoCount(DeviceObject);
  return STATUS_SUCCESS;
}
