// Create, close and power: passed to the device below. The driver's own part
// is the open number each create gives its file object, by which the device
// lock and the read and write path tell one open from another.
#include "driver.h"

ULONG OpenNumberOf(PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  return file == NULL ? 0 : (ULONG)(ULONG_PTR)file->FsContext;
}

// LockOwner is read with a compare-exchange, as every access.
BOOLEAN LockedAgainst(PDEVICE_EXTENSION Extension, ULONG OpenNumber) {
  LONG64 owner = InterlockedCompareExchange64(&Extension->LockOwner, 0, 0);
  return owner != 0 && owner != (LONG64)OpenNumber;
}

// Gives the open its number, then passes it down while the device is
// started. A create that is refused has used up its number all the same.
PAGED_ROUTINE NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  ULONG openNumber;

  PAGED_CODE();

  IncrementIoCount(DeviceObject);
  // Unique for the device object's life; 0 means "no open" and is skipped
  // when the count wraps.
  openNumber = (ULONG)InterlockedIncrement(&extension->OpenCount);
  if (openNumber == 0) {
    openNumber = (ULONG)InterlockedIncrement(&extension->OpenCount);
  }
  if (file != NULL) {
    // The open's number, not an address: never dereferenced.
    file->FsContext = (PVOID)(ULONG_PTR)openNumber;  // NOLINT(performance-no-int-to-ptr)
  }

  if (!extension->DeviceStarted) {
    Irp->IoStatus.Information = 0;
    return CompleteCounted(DeviceObject, Irp, STATUS_DELETE_PENDING);
  }

  // The create leaves the count before it goes down: the lower device's
  // answer is not waited for.
  DecrementIoCount(DeviceObject);
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IofCallDriver(extension->StackDeviceObject, Irp);
}

// Ends the open's number and passes the close down, in every state. The
// close of the open that holds the device lock releases it; the close of
// any other open leaves the lock with its holder.
PAGED_ROUTINE NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;

  PAGED_CODE();

  IncrementIoCount(DeviceObject);
  if (file != NULL) {
    LONG64 openNumber = (LONG64)(ULONG_PTR)file->FsContext;
    if (openNumber != 0) {
      InterlockedCompareExchange64(&extension->LockOwner, 0, openNumber);
    }
    file->FsContext = NULL;
  }
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  DecrementIoCount(DeviceObject);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IofCallDriver(extension->StackDeviceObject, Irp);
}

// Every power request takes the same road, in every state: the next power
// request is let in, and this one goes down with the same parameters.
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;

  IncrementIoCount(DeviceObject);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(extension->StackDeviceObject, Irp);
  DecrementIoCount(DeviceObject);
  return status;
}
