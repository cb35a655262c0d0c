// The driver's per-device record and the records of a request in flight.
#pragma once

#include "kernel.h"
#include "stillscsi_ioctl.h"

// Pool tag of the driver's own queries and queue releases ("BulK").
#define STILLSCSI_POOL_TAG 0x4B6C7542u

// Defaults of a new device.
#define STILLSCSI_DEFAULT_SRB_FLAGS SRB_FLAGS_DISABLE_SYNCH_TRANSFER
#define STILLSCSI_DEFAULT_TIMEOUT 60  // seconds

// One per instrument: the device object's extension, zeroed by AddDevice and
// owned by the device object until it is deleted at removal. Fields that
// several threads change are changed with interlocked operations only;
// the names are written only by Plug and Play processing, which the Plug and
// Play manager serialises per device.
typedef struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT StackDeviceObject;       // the device directly below; target of everything sent
  PDEVICE_OBJECT PhysicalDeviceObject;    // the port driver's PDO for this unit
  ULONG SrbFlags;                         // OR-ed into every SRB; written from completion context
  volatile LONG TimeOutValue;             // seconds, for every SRB; changed by interlocked exchange
  ULONG ErrorCount;                       // transport errors counted by the sense interpreter
  ULONG LastSrbError;                     // low six bits of the last interpreted SRB status
  ULONG DeviceNumber;                     // NextDeviceNumber when the device was added
  PSTORAGE_ADAPTER_DESCRIPTOR AdapterDescriptor;  // owned here while started; null otherwise
  KEVENT RemoveEvent;                     // notification event: set when PendingIoCount reaches 0
  volatile LONG PendingIoCount;           // requests in the driver, plus 1 while BiasHeld; interlocked only
  BOOLEAN BiasHeld;                       // the bias is in PendingIoCount: from AddDevice or a start to a stop
  BOOLEAN DeviceStarted;                  // requests count themselves in before reading it
  volatile LONG64 LockOwner;              // open number holding the device lock, or 0
  volatile LONG OpenCount;                // creates of the device's life; yields open numbers, never 0
  UNICODE_STRING SymbolicLinkName;        // buffer owned here while the link exists
  UNICODE_STRING InterfaceName;           // buffer owned here; null Buffer: no interface
  volatile LONG ReleaseOwed;              // 1: a queue release could not be sent; the next request sends it
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Per request: the SRB of the chunk in flight and the transfer's progress.
// Owned by the request; freed by whichever routine ends it.
typedef struct _TRANSFER_CONTEXT {
  PSCSISCAN_CMD Cmd;            // the request's command block; not owned
  SCSI_REQUEST_BLOCK Srb;       // reused for every chunk and retry
  ULONG_PTR DataPointer;        // next data byte, in the data MDL's address space
  ULONG ChunkLength;            // bytes asked of each SRB; never grows
  LONG RemainingLength;         // bytes still to move
  LONG TransferredLength;       // bytes moved; becomes Information
  LONG RetryCount;              // retries left (reads and writes)
  PVOID SenseBuffer;            // sense buffer given to each SRB
  PMDL SenseMdl;                // locks the pass-through caller's sense buffer
  PMDL StatusMdl;               // locks the pass-through caller's status byte
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

// Carries one queue-release SRB; lives exactly as long as its IRP.
typedef struct _RELEASE_QUEUE_CONTEXT {
  ULONG Signature;              // "Comp"
  PDEVICE_OBJECT DeviceObject;  // whose queue is released
  SCSI_REQUEST_BLOCK Srb;
} RELEASE_QUEUE_CONTEXT, *PRELEASE_QUEUE_CONTEXT;

#define RELEASE_QUEUE_SIGNATURE 0x706D6F43u  // "Comp"
