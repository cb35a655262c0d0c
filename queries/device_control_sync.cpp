// Synchronous device-control requests to the port driver.
#include "queries.h"

PAGED_ROUTINE NTSTATUS SendDeviceControlSync(PDEVICE_OBJECT Target, ULONG IoControlCode, PVOID Input,
                                             ULONG InputLength, PVOID Output, ULONG OutputLength, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatus) {
  PIRP irp;
  NTSTATUS status;

  PAGED_CODE();

  // A request that completed at once still signalled the event; without
  // this, a later request that pends would stop waiting at once and read a
  // status block that is not yet written.
  KeClearEvent(Event);

  // The I/O manager frees the request when it completes.
  irp = IoBuildDeviceIoControlRequest(IoControlCode, Target, Input, InputLength, Output, OutputLength, FALSE, Event,
                                      IoStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  status = IofCallDriver(Target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    status = IoStatus->Status;
  }
  return status;
}
