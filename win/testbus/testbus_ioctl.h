// What the test bus driver and the Windows test program share: the bus's
// control requests, the instrument's identity and the bytes it reads out.
// Test-only: none of this is part of the driver package.
#pragma once

// The root-enumerated bus, and the one child it reports.
#define TESTBUS_ROOT_HARDWARE_ID L"root\\StillTestBus"
#define TESTBUS_CHILD_DEVICE_ID L"SCSI\\ScannerSTILLSIMCHART_SCANNER___"
#define TESTBUS_CHILD_HARDWARE_IDS L"SCSI\\ScannerSTILLSIMCHART_SCANNER___1.0_\0SCSI\\ScannerSTILLSIMCHART_SCANNER___\0"
#define TESTBUS_CHILD_COMPATIBLE_IDS L"SCSI\\Scanner\0"
// The bus's own device, opened by the test program for the requests below.
#define TESTBUS_DEVICE_NAME L"\\Device\\StillTestBus"
#define TESTBUS_LINK_NAME L"\\DosDevices\\StillTestBus"
#define TESTBUS_OPEN_NAME L"\\\\.\\StillTestBus"

// The SCSI address the child answers IOCTL_SCSI_GET_ADDRESS with.
#define TESTBUS_PORT 4
#define TESTBUS_PATH 0
#define TESTBUS_TARGET 6
#define TESTBUS_LUN 0

// Adapter limits that make the driver cut any transfer above 16 KiB.
#define TESTBUS_MAXIMUM_TRANSFER 16384
#define TESTBUS_MAXIMUM_PAGES 5

// Input: a ULONG, how many of the next reads and writes fail with a hardware
// error (CHECK CONDITION, sense key 4, queue frozen).
#define IOCTL_TESTBUS_FAIL_NEXT CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: TESTBUS_STATS.
#define IOCTL_TESTBUS_GET_STATS CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _TESTBUS_STATS {
  ULONG Srbs;             // execute-SCSI SRBs seen
  ULONG Releases;         // queue releases seen
  ULONG Failed;           // SRBs failed as asked
  ULONG LargestTransfer;  // the largest DataTransferLength seen
  ULONG PatchedImports;   // entries of the driver image's import table pointed at the bus's stand-ins
  ULONG64 ReadBytes;      // bytes delivered by reads
  ULONG64 WrittenBytes;   // bytes received by writes
  ULONG64 WrittenSum;     // the sum of every byte received, for comparison
} TESTBUS_STATS;

// The byte the instrument reads out at a position of its read stream.
static inline unsigned char TestBusPatternByte(unsigned long long position) {
  return (unsigned char)(position * 7 + 3);
}
