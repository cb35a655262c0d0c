// The platform's names the tools use: status codes, the command block's
// SRB bytes, the error-log packet and its codes. The host build takes them
// from the kernel header the driver compiles against; a Windows program
// from the platform's user-mode headers and, for what only the kernel's
// headers declare (the error-log packet and its codes), from here.
#pragma once

#if defined(STILLSCSI_USER_MODE)
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

#include <cstddef>

#ifndef NT_SUCCESS
#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
#endif

#define IO_ERR_SEEK_ERROR       ((NTSTATUS)0xC0040006L)
#define IO_ERR_BAD_BLOCK        ((NTSTATUS)0xC0040007L)
#define IO_ERR_CONTROLLER_ERROR ((NTSTATUS)0xC004000BL)
#define IO_ERR_NOT_READY        ((NTSTATUS)0xC004000FL)
#define IO_RECOVERED_VIA_ECC    ((NTSTATUS)0x80040021L)

// The major function the driver logs its SRBs under.
#define IRP_MJ_SCSI             0x0f

// An error-log entry as the kernel records it: a fixed part, then the
// dump data and the insertion strings.
typedef struct _IO_ERROR_LOG_PACKET {
  UCHAR MajorFunctionCode;
  UCHAR RetryCount;
  USHORT DumpDataSize;
  USHORT NumberOfStrings;
  USHORT StringOffset;
  USHORT EventCategory;
  NTSTATUS ErrorCode;
  ULONG UniqueErrorValue;
  NTSTATUS FinalStatus;
  ULONG SequenceNumber;
  ULONG IoControlCode;
  LARGE_INTEGER DeviceOffset;
  ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48 && offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40,
              "IO_ERROR_LOG_PACKET is 48 bytes with one dump word");
#endif

#include "stillscsi_ioctl.h"
