// What applications see of the driver: the device-control codes and the two
// records they exchange with it. Layouts are those of 64-bit callers.
#pragma once

#if defined(STILLSCSI_USER_MODE)
// An application for Windows, built with the platform's user-mode headers.
#include <windows.h>
#include <winioctl.h>

#include <cstddef>

// The SRB's bytes an application sets and reads in the command block: the
// direction flags of SrbFlags, and the status byte at pSrbStatus. The
// platform declares them in its kernel headers only.
#ifndef SRB_FLAGS_DATA_IN
#define SRB_FLAGS_DATA_IN           0x00000040
#define SRB_FLAGS_DATA_OUT          0x00000080
#define SRB_STATUS_PENDING          0x00
#define SRB_STATUS_SUCCESS          0x01
#define SRB_STATUS_ERROR            0x04
#define SRB_STATUS_DATA_OVERRUN     0x12
#define SRB_STATUS_QUEUE_FROZEN     0x40
#define SRB_STATUS_AUTOSENSE_VALID  0x80
#endif
#else
#include "kernel.h"
#endif

#define IOCTL_SCSISCAN_CMD          CTL_CODE(FILE_DEVICE_SCANNER, 4, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_SCSISCAN_LOCKDEVICE   CTL_CODE(FILE_DEVICE_SCANNER, 5, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_SCSISCAN_UNLOCKDEVICE CTL_CODE(FILE_DEVICE_SCANNER, 6, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_SCSISCAN_SET_TIMEOUT  CTL_CODE(FILE_DEVICE_SCANNER, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSISCAN_GET_INFO     CTL_CODE(FILE_DEVICE_SCANNER, 8, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)

static_assert(IOCTL_SCSISCAN_CMD == 0x00190012, "IOCTL_SCSISCAN_CMD");
static_assert(IOCTL_SCSISCAN_LOCKDEVICE == 0x00190016, "IOCTL_SCSISCAN_LOCKDEVICE");
static_assert(IOCTL_SCSISCAN_UNLOCKDEVICE == 0x0019001A, "IOCTL_SCSISCAN_UNLOCKDEVICE");
static_assert(IOCTL_SCSISCAN_SET_TIMEOUT == 0x0019001C, "IOCTL_SCSISCAN_SET_TIMEOUT");
static_assert(IOCTL_SCSISCAN_GET_INFO == 0x00190022, "IOCTL_SCSISCAN_GET_INFO");

// The command block of the pass-through, and of the driver's own reads and
// writes. The driver works on its own copy; the caller never sees the changes
// it makes to Cdb and pSrbStatus while the request runs.
typedef struct _SCSISCAN_CMD {
  ULONG Reserved1;         // not read
  ULONG Size;              // must be sizeof(SCSISCAN_CMD), 56
  ULONG SrbFlags;          // direction bits 0x40 (in) and 0x80 (out), OR-ed into every SRB
  UCHAR CdbLength;         // 1 to 16
  UCHAR SenseLength;       // bytes at pSenseBuffer; 0 for none
  UCHAR Reserved2;         // the read/write path points pSrbStatus here
  UCHAR Reserved3;         // not read
  ULONG TransferLength;    // total data bytes; 0 for no data phase
  UCHAR Cdb[16];           // the first CdbLength bytes are sent
  PUCHAR pSrbStatus;       // receives the SRB status byte; required
  PUCHAR pSenseBuffer;     // receives sense data; required when SenseLength is not 0
} SCSISCAN_CMD, *PSCSISCAN_CMD;

static_assert(sizeof(SCSISCAN_CMD) == 56, "SCSISCAN_CMD is 56 bytes");
static_assert(offsetof(SCSISCAN_CMD, Reserved1) == 0 && offsetof(SCSISCAN_CMD, Size) == 4 &&
                  offsetof(SCSISCAN_CMD, SrbFlags) == 8 && offsetof(SCSISCAN_CMD, CdbLength) == 12 &&
                  offsetof(SCSISCAN_CMD, SenseLength) == 13 && offsetof(SCSISCAN_CMD, Reserved2) == 14 &&
                  offsetof(SCSISCAN_CMD, Reserved3) == 15 && offsetof(SCSISCAN_CMD, TransferLength) == 16 &&
                  offsetof(SCSISCAN_CMD, Cdb) == 20 &&
                  offsetof(SCSISCAN_CMD, pSrbStatus) == 40 && offsetof(SCSISCAN_CMD, pSenseBuffer) == 48,
              "SCSISCAN_CMD layout");

// The output of IOCTL_SCSISCAN_GET_INFO. The driver writes the four address
// bytes and nothing else; the other bytes keep what the caller put there.
typedef struct _SCSISCAN_INFO {
  ULONG Size;
  ULONG Flags;
  UCHAR PortNumber;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR AdapterName[128];
  ULONG Reserved;
} SCSISCAN_INFO, *PSCSISCAN_INFO;

static_assert(sizeof(SCSISCAN_INFO) == 144, "SCSISCAN_INFO is 144 bytes");
static_assert(offsetof(SCSISCAN_INFO, PortNumber) == 8 && offsetof(SCSISCAN_INFO, AdapterName) == 12 &&
                  offsetof(SCSISCAN_INFO, Reserved) == 140,
              "SCSISCAN_INFO layout");

// The device-interface class under which the driver announces each device.
static const GUID GUID_DEVINTERFACE_IMAGE = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
