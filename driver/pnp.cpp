// Plug and Play: start, stop, removal and capabilities; every other
// Plug and Play and system-control request passes down untouched.
#include "driver.h"
#include "queries.h"

// Sets the event CallLowerDriverSync waits on and keeps the request for it:
// the completion stops here, and the request goes back to the caller.
NTSTATUS SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits until the device below has completed
// it. On return the request is the caller's again, to complete.
NTSTATUS CallLowerDriverSync(PDEVICE_EXTENSION Extension, PIRP Irp) {
  KEVENT event;
  NTSTATUS status;

  IoCopyCurrentIrpStackLocationToNext(Irp);
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  IoSetCompletionRoutine(Irp, SyncCompletion, &event, TRUE, TRUE, TRUE);
  status = IofCallDriver(Extension->StackDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IofCallDriver(Extension->StackDeviceObject, Irp);
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Frees the adapter descriptor, if the device holds one.
static VOID FreeAdapterDescriptor(PDEVICE_EXTENSION Extension) {
  if (Extension->AdapterDescriptor != NULL) {
    ExFreePool(Extension->AdapterDescriptor);
    Extension->AdapterDescriptor = NULL;
  }
}

// The start: the lower drivers first, then the adapter's limits and the
// device's names. The bias is taken anew whatever the outcome, so that a
// stop or removal that follows finds the count as it expects.
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
  STORAGE_PROPERTY_ID propertyId = StorageAdapterProperty;
  NTSTATUS status;

  Extension->PendingIoCount = 0;
  KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
  IncrementIoCount(DeviceObject);

  // A failed start below is not this driver's failure: it goes on.
  CallLowerDriverSync(Extension, Irp);

  // A descriptor still held (a start sent to a started device) is not lost.
  FreeAdapterDescriptor(Extension);
  status = GetAdapterDescriptor(Extension->StackDeviceObject, &propertyId, &Extension->AdapterDescriptor);
  if (NT_SUCCESS(status)) {
    status = CreateDeviceLink(Extension);
  }
  if (NT_SUCCESS(status)) {
    InterlockedExchange64(&Extension->LockOwner, 0);
    Extension->OpenCount = 0;
    Extension->DeviceStarted = TRUE;
    Extension->LastSrbError = 0;
    status = STATUS_SUCCESS;
  } else {
    FreeAdapterDescriptor(Extension);
  }
  // Information stays as the lower drivers left it.
  return Complete(Irp, status);
}

// The stop acts before the lower drivers: no new request gets in, the names
// are withdrawn, and the requests in progress drain before the adapter's
// limits go.
static NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
  NTSTATUS status;

  Extension->DeviceStarted = FALSE;
  DestroyDeviceLink(Extension);
  if (Extension->InterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = CallLowerDriverSync(Extension, Irp);
  DecrementIoCount(DeviceObject);
  KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
  FreeAdapterDescriptor(Extension);
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// The removal lets the lower drivers act first, then withdraws everything,
// drains, and deletes the device object; the request is completed last.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
  NTSTATUS status;

  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = CallLowerDriverSync(Extension, Irp);
  if (Extension->DeviceStarted) {
    Extension->DeviceStarted = FALSE;
    DestroyDeviceLink(Extension);
  }
  SetDeviceInterface(Extension->PhysicalDeviceObject, &Extension->InterfaceName, FALSE);
  DecrementIoCount(DeviceObject);
  KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
  FreeAdapterDescriptor(Extension);
  IoDetachDevice(Extension->StackDeviceObject);
  IoDeleteDevice(DeviceObject);
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// The device's power latencies, 1 ms each in the record's 100-microsecond
// units, written before the lower drivers see the record.
static NTSTATUS QueryCapabilities(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  NTSTATUS status;

  if (capabilities != NULL) {
    capabilities->D1Latency = 10;
    capabilities->D2Latency = 10;
    capabilities->D3Latency = 10;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = CallLowerDriverSync(Extension, Irp);
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// Plug and Play and system-control requests. This driver refuses no query:
// its answer to a query or a cancellation is success, and the lower
// drivers' answer is the answer. Neither kind of request is counted in
// PendingIoCount.
PAGED_ROUTINE NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);

  PAGED_CODE();

  if (location->MajorFunction != IRP_MJ_PNP) {
    return PassDown(extension, Irp);
  }
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(DeviceObject, extension, Irp);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(DeviceObject, extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, extension, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return QueryCapabilities(extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(extension, Irp);
    default:
      return PassDown(extension, Irp);
  }
}
