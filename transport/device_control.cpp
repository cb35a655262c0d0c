// Device-control requests of applications: the command pass-through, the
// device lock, the SRB timeout and the SCSI address.
#include "driver.h"
#include "guarded_probe.h"
#include "queries.h"
#include "transport.h"

// A kernel-space address of a locked MDL's memory, mapped not executable.
// A failed mapping gives none instead of stopping the system.
PVOID MapCallerMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return Mdl->MappedSystemVa;
  }
  return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, NO_EXECUTE_MAPPING_PRIORITY);
}

static VOID ReleaseCallerMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    MmUnlockPages(Mdl);
  }
  IoFreeMdl(Mdl);
}

// Locks Length bytes of the caller's memory at Address for the device to
// write, and maps them. On failure nothing stays locked; *Mdl holds the MDL
// (unlocked) if one was made, for the caller to free. A probe that raises
// makes its exception code the request's status, with no bytes.
static NTSTATUS LockCallerBytes(PIRP Irp, PVOID Address, ULONG Length, PMDL* Mdl, PVOID* Mapped) {
  NTSTATUS status;

  *Mapped = NULL;
  *Mdl = IoAllocateMdl(Address, Length, FALSE, FALSE, NULL);
  if (*Mdl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  status = ProbeAndLockCallerPages(*Mdl, Irp->RequestorMode, IoWriteAccess);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
    return status;
  }
  *Mapped = MapCallerMdl(*Mdl);
  return *Mapped == NULL ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

// Turns the pass-through's command block into a transfer and sends its
// first chunk; the rest is CommandCompletion's. Any failure gives back what
// was taken for the request, so that nothing of it is left.
static NTSTATUS PassThrough(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  PSCSISCAN_CMD cmd = (PSCSISCAN_CMD)Irp->AssociatedIrp.SystemBuffer;
  PTRANSFER_CONTEXT context;
  PMDL statusMdl = NULL;
  PVOID mapped;
  NTSTATUS status;

  // A frozen queue would hold this request's SRBs for ever.
  if (!SendOwedRelease(DeviceObject)) {
    Irp->IoStatus.Information = 0;
    return CompleteCounted(DeviceObject, Irp, STATUS_INSUFFICIENT_RESOURCES);
  }

  context = BuildTransferContext(Extension, cmd, location->Parameters.DeviceIoControl.InputBufferLength,
                                 Irp->MdlAddress);
  if (context == NULL) return CompleteCounted(DeviceObject, Irp, STATUS_INVALID_PARAMETER);

  // A 10-byte CDB states the first chunk. So does a 6-byte READ or WRITE
  // cut into chunks; in one chunk it goes as the caller wrote it, as does
  // any other 6-byte CDB. A CDB of any other length is served only in one
  // chunk.
  status = STATUS_SUCCESS;
  if (cmd->CdbLength == 10 || (IsSixByteReadWrite(cmd) && context->ChunkLength != cmd->TransferLength)) {
    StateChunkLength(cmd, context->ChunkLength);
  } else if (cmd->CdbLength != 6 && context->ChunkLength != cmd->TransferLength) {
    status = STATUS_INVALID_PARAMETER;
  }

  if (NT_SUCCESS(status) && cmd->SenseLength != 0) {
    status = LockCallerBytes(Irp, cmd->pSenseBuffer, cmd->SenseLength, &context->SenseMdl, &mapped);
    if (NT_SUCCESS(status)) context->SenseBuffer = mapped;
  }
  if (NT_SUCCESS(status)) {
    status = LockCallerBytes(Irp, cmd->pSrbStatus, 1, &statusMdl, &mapped);
    if (NT_SUCCESS(status)) {
      cmd->pSrbStatus = (PUCHAR)mapped;
      context->StatusMdl = statusMdl;
    }
  }

  if (!NT_SUCCESS(status)) {
    if (statusMdl != NULL) {
      ReleaseCallerMdl(statusMdl);
      context->StatusMdl = NULL;
      cmd->pSrbStatus = NULL;
    }
    if (context->SenseMdl != NULL) {
      ReleaseCallerMdl(context->SenseMdl);
      context->SenseMdl = NULL;
      context->SenseBuffer = NULL;
    }
    ExFreePool(context);
    return CompleteCounted(DeviceObject, Irp, status);
  }

  // The request belongs to CommandCompletion from the send on; it stays
  // counted until that routine finishes it.
  IoMarkIrpPending(Irp);
  IoSetCompletionRoutine(Irp, CommandCompletion, context, TRUE, TRUE, FALSE);
  IssueSrb(DeviceObject, Irp, context, FALSE);
  return STATUS_PENDING;
}

static NTSTATUS SetTimeout(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  PULONG buffer = (PULONG)Irp->AssociatedIrp.SystemBuffer;
  ULONG previous;

  if (location->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  previous = (ULONG)InterlockedExchange(&Extension->TimeOutValue, (LONG)*buffer);
  Irp->IoStatus.Information = 0;
  if (location->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
    *buffer = previous;
    Irp->IoStatus.Information = sizeof(ULONG);
  }
  return STATUS_SUCCESS;
}

static NTSTATUS GetInfo(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  PSCSISCAN_INFO info;

  if (location->Parameters.DeviceIoControl.OutputBufferLength != sizeof(SCSISCAN_INFO)) return STATUS_INVALID_PARAMETER;
  if (Irp->MdlAddress == NULL || MmGetMdlByteCount(Irp->MdlAddress) < sizeof(SCSISCAN_INFO)) {
    return STATUS_INVALID_PARAMETER;
  }
  info = (PSCSISCAN_INFO)MapCallerMdl(Irp->MdlAddress);
  if (info == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  return GetScsiAddress(Extension->StackDeviceObject, info);
}

PAGED_ROUTINE NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  ULONG openNumber = OpenNumberOf(Irp);

  PAGED_CODE();

  IncrementIoCount(DeviceObject);
  if (!extension->DeviceStarted) {
    Irp->IoStatus.Information = 0;
    return CompleteCounted(DeviceObject, Irp, STATUS_DELETE_PENDING);
  }
  if (LockedAgainst(extension, openNumber)) {
    Irp->IoStatus.Information = 0;
    return CompleteCounted(DeviceObject, Irp, STATUS_DEVICE_BUSY);
  }

  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSISCAN_CMD:
      return PassThrough(DeviceObject, extension, Irp);
    case IOCTL_SCSISCAN_LOCKDEVICE:
      // A request without a handle has nothing to hold the lock for.
      if (openNumber == 0) return CompleteCounted(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST);
      return CompleteCounted(DeviceObject, Irp,
                      InterlockedCompareExchange64(&extension->LockOwner, openNumber, 0) == 0 ? STATUS_SUCCESS
                                                                                             : STATUS_DEVICE_BUSY);
    case IOCTL_SCSISCAN_UNLOCKDEVICE:
      if (openNumber == 0) return CompleteCounted(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST);
      return CompleteCounted(DeviceObject, Irp,
                      InterlockedCompareExchange64(&extension->LockOwner, 0, openNumber) == (LONG64)openNumber
                          ? STATUS_SUCCESS
                          : STATUS_DEVICE_BUSY);
    case IOCTL_SCSISCAN_SET_TIMEOUT:
      return CompleteCounted(DeviceObject, Irp, SetTimeout(extension, Irp));
    case IOCTL_SCSISCAN_GET_INFO:
      return CompleteCounted(DeviceObject, Irp, GetInfo(extension, Irp));
    default:
      return CompleteCounted(DeviceObject, Irp, STATUS_NOT_SUPPORTED);
  }
}
