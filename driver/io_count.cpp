// The count of requests in progress in a device, which stop and removal wait
// to drain.
#include "driver.h"

VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  InterlockedIncrement(&extension->PendingIoCount);
}

// The decrement that brings the count to exactly 0 sets RemoveEvent. While
// the device is started the start's bias keeps the count above 0, so only
// stop or removal, having dropped the bias, can see it reach 0.
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  LONG count = InterlockedExchangeAdd(&extension->PendingIoCount, -1) - 1;
  if (count == 0) {
    KeSetEvent(&extension->RemoveEvent, EVENT_INCREMENT, FALSE);
  }
  return count;
}

NTSTATUS CompleteCounted(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  DecrementIoCount(DeviceObject);
  return Status;
}
