// Driver entry and unload.
#include "driver.h"

// Fills the dispatch table. Loading cannot fail and allocates nothing:
// devices, and everything they hold, come and go with AddDevice and removal.
extern "C" INIT_ROUTINE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverUnload = Unload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// Nothing to release: the kernel unloads the driver only after every device
// is deleted, and each device frees what it holds at removal.
PAGED_ROUTINE VOID Unload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
}
