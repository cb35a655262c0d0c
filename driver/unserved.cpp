// Dispatch routines whose requests the driver does not serve yet. Each
// completes its request as the kernel's default entry would.
#include "driver.h"

static NTSTATUS CompleteUnserved(PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PAGED_ROUTINE NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteUnserved(Irp);
}

PAGED_ROUTINE NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteUnserved(Irp);
}
