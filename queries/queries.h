// Synchronous queries the driver sends to the port driver beneath it.
#pragma once

#include "extension.h"

// Fetches the storage adapter's descriptor in two passes (header, then the
// whole descriptor). On success *Descriptor holds a nonpaged "BulK" block of
// exactly the size the adapter reports, owned by the caller; on failure it
// holds null and nothing allocated is left.
NTSTATUS GetAdapterDescriptor(PDEVICE_OBJECT DeviceObject, PSTORAGE_PROPERTY_ID PropertyId,
                              PSTORAGE_ADAPTER_DESCRIPTOR* Descriptor);

// Asks for the device's SCSI address and, on success, writes the port
// number, path, target and logical unit into bytes 8 to 11 of Info; no other
// byte of Info is written.
NTSTATUS GetScsiAddress(PDEVICE_OBJECT DeviceObject, PSCSISCAN_INFO Info);

// Sends one buffered device-control request to Target and waits for it only
// if it pends. Event is a synchronization event of the caller's, cleared
// here first so that a signal left by an earlier request cannot end this
// request's wait. Returns IofCallDriver's status, or the status block's after
// a wait.
NTSTATUS SendDeviceControlSync(PDEVICE_OBJECT Target, ULONG IoControlCode, PVOID Input, ULONG InputLength,
                               PVOID Output, ULONG OutputLength, PKEVENT Event, PIO_STATUS_BLOCK IoStatus);
