// Routines of the driver frame: entry, device lifecycle and the dispatch
// routines the entry installs.
#pragma once

#include "extension.h"

// The number the next added device receives; 0 when the image is loaded.
extern ULONG NextDeviceNumber;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID Unload(PDRIVER_OBJECT DriverObject);

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS SetDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING InterfaceName,
                            BOOLEAN Enable);

// Publishes the device's symbolic link and its open name ("CreateFileName"
// in the driver key) at start; withdraws both at stop and removal.
NTSTATUS CreateDeviceLink(PDEVICE_EXTENSION Extension);
NTSTATUS DestroyDeviceLink(PDEVICE_EXTENSION Extension);

// Passes a request down and waits until the device below has completed it;
// the caller completes it afterwards.
NTSTATUS CallLowerDriverSync(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

VOID IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT DeviceObject);
// Completes a request counted in the device with Status (Information as the
// caller left it) and leaves the count; returns Status.
NTSTATUS CompleteCounted(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);

// Open numbers and the device lock. The open number of the handle a request
// came through: what create left in its file object, or 0 for a request
// built inside the kernel (no file object), which never holds the lock.
ULONG OpenNumberOf(PIRP Irp);
// Whether the device lock keeps a request of OpenNumber out: the lock is
// held, and by another open.
BOOLEAN LockedAgainst(PDEVICE_EXTENSION Extension, ULONG OpenNumber);

// Dispatch routines.
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The names a device is known by, each built from the device's number:
// the device object's own name, the symbolic link to it, and the name an
// application opens it by. Each fits in DEVICE_TEXT_CAPACITY - 1 characters.
#define DEVICE_TEXT_CAPACITY 32
enum DEVICE_TEXT_KIND { DeviceObjectName, DeviceLinkName, DeviceOpenName };
VOID FormatDeviceText(DEVICE_TEXT_KIND Kind, ULONG DeviceNumber, CHAR* Buffer, ULONG BufferSize);
