// The device's SCSI address, asked of the port driver at every request: the
// driver keeps no copy.
#include "queries.h"

PAGED_ROUTINE NTSTATUS GetScsiAddress(PDEVICE_OBJECT DeviceObject, PSCSISCAN_INFO Info) {
  IO_STATUS_BLOCK ioStatus;
  PKEVENT event;
  PSCSI_ADDRESS address;
  NTSTATUS status;

  PAGED_CODE();

  event = (PKEVENT)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), STILLSCSI_POOL_TAG);
  if (event == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  address = (PSCSI_ADDRESS)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SCSI_ADDRESS), STILLSCSI_POOL_TAG);
  if (address == NULL) {
    ExFreePoolWithTag(event, STILLSCSI_POOL_TAG);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(event, SynchronizationEvent, FALSE);

  status = SendDeviceControlSync(DeviceObject, IOCTL_SCSI_GET_ADDRESS, NULL, 0, address, sizeof(SCSI_ADDRESS), event,
                                 &ioStatus);
  if (NT_SUCCESS(status)) {
    // Only the four address bytes: the rest of the record is the caller's.
    // The record lies in the caller's memory at whatever alignment the
    // caller chose, so it is written as bytes, not through its fields.
    PUCHAR bytes = (PUCHAR)Info + offsetof(SCSISCAN_INFO, PortNumber);
    bytes[0] = address->PortNumber;
    bytes[1] = address->PathId;
    bytes[2] = address->TargetId;
    bytes[3] = address->Lun;
  }

  ExFreePoolWithTag(event, STILLSCSI_POOL_TAG);
  ExFreePoolWithTag(address, STILLSCSI_POOL_TAG);
  return status;
}
