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

// Plug and Play requests are not counted in PendingIoCount.
static NTSTATUS CompleteUncounted(PIRP Irp, NTSTATUS Status) {
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

// The bias: while it is held, PendingIoCount stays above 0 and no decrement
// of a request sets RemoveEvent. AddDevice takes it, a stop drops it, and
// the next start takes it again. The count itself is only ever changed by
// interlocked adds: requests of handles that outlived a stop count
// themselves in and out at any moment, also while a start runs.
static VOID TakeBias(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension) {
  if (!Extension->BiasHeld) {
    IncrementIoCount(DeviceObject);
    Extension->BiasHeld = TRUE;
  }
  // Only with the bias in the count: a request that left before it may have
  // set the event, and a later decrement cannot reach 0 any more.
  KeClearEvent(&Extension->RemoveEvent);
}

// Drops the bias and waits until no request is counted. The count decides,
// not the event alone: a request that reached 0 before the last start took
// the bias may set the event late, after that start cleared it.
static VOID DrainIoCount(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension) {
  if (Extension->BiasHeld) {
    Extension->BiasHeld = FALSE;
    DecrementIoCount(DeviceObject);
  }
  for (;;) {
    if (InterlockedCompareExchange(&Extension->PendingIoCount, 0, 0) == 0) break;
    KeWaitForSingleObject(&Extension->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
    if (InterlockedCompareExchange(&Extension->PendingIoCount, 0, 0) == 0) break;
    // A late set; the decrement to 0 still to come sets it again.
    KeClearEvent(&Extension->RemoveEvent);
  }
}

// Takes back what a start made: the link and open name, the descriptor, the
// started state. Used when a start fails at any step, also a start sent to
// a device that was started already.
static VOID UndoStart(PDEVICE_EXTENSION Extension) {
  Extension->DeviceStarted = FALSE;
  if (Extension->SymbolicLinkName.Buffer != NULL) {
    DestroyDeviceLink(Extension);
  }
  FreeAdapterDescriptor(Extension);
}

// The start: the lower drivers first, then the adapter's limits and the
// device's names. The bias is held whatever the outcome, so that a stop or
// removal that follows finds the count as it expects. A start that the
// lower drivers fail fails with their status: the unit below is not in
// service, so neither is this device.
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp) {
  STORAGE_PROPERTY_ID propertyId = StorageAdapterProperty;
  NTSTATUS status;

  TakeBias(DeviceObject, Extension);

  status = CallLowerDriverSync(Extension, Irp);
  if (NT_SUCCESS(status)) {
    // A descriptor still held (a start sent to a started device) is not lost.
    FreeAdapterDescriptor(Extension);
    status = GetAdapterDescriptor(Extension->StackDeviceObject, &propertyId, &Extension->AdapterDescriptor);
  }
  if (NT_SUCCESS(status)) {
    status = CreateDeviceLink(Extension);
  }
  if (NT_SUCCESS(status)) {
    // Open numbers go on from where they were: handles opened before a
    // stop are still valid, and no new open may share a number with them.
    InterlockedExchange64(&Extension->LockOwner, 0);
    Extension->DeviceStarted = TRUE;
    Extension->LastSrbError = 0;
    status = STATUS_SUCCESS;
  } else {
    UndoStart(Extension);
  }
  // Information stays as the lower drivers left it.
  return CompleteUncounted(Irp, status);
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
  DrainIoCount(DeviceObject, Extension);
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
  DrainIoCount(DeviceObject, Extension);
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

// Serves both IRP_MJ_PNP and IRP_MJ_SYSTEM_CONTROL (DriverEntry sets it for
// both): system control passes down untouched. This driver refuses no query:
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
