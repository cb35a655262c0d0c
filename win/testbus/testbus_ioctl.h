// What the test bus driver, the scanner server and the Windows test program
// share: the bus's control requests, the records of its inverted call, the
// instrument's identity and the sense section's contract.
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
// error (CHECK CONDITION, sense key 4, queue frozen), without reaching the
// scanner server.
#define IOCTL_TESTBUS_FAIL_NEXT CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: TESTBUS_STATS.
#define IOCTL_TESTBUS_GET_STATS CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

// ------------------------------------------------------------------ the scanner server
// The instrument's SRBs are answered by a user-mode program, the scanner
// server (scanner_host.exe, or a thread of wine_test.exe), through an
// inverted call: the server keeps one IOCTL_TESTBUS_NEXT_SRB pending at the
// bus's device; the bus completes it with the next execute-SCSI SRB; the
// server runs the command on the scanner simulation and sends
// IOCTL_TESTBUS_ANSWER, upon which the bus completes the SRB as a SCSI port
// driver does (data, SCSI status, autosense, queue freeze on failure). One
// SRB is with the server at a time. An SRB that no server takes within
// TESTBUS_SERVER_WAIT_MS, or that the server does not answer within
// TESTBUS_ANSWER_WAIT_MS, ends with SRB_STATUS_SELECTION_TIMEOUT, as does the
// one in service when the server's handle is closed; closing the handle also
// cancels its pending NEXT_SRB.
#define TESTBUS_SERVER_WAIT_MS 5000
#define TESTBUS_ANSWER_WAIT_MS 10000
#define TESTBUS_SENSE_BYTES 32

// Output: TESTBUS_SRB, or its header alone for a stop. Pending until an SRB
// comes or IOCTL_TESTBUS_STOP_SERVER is sent.
#define IOCTL_TESTBUS_NEXT_SRB CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: TESTBUS_ANSWER, its header and BytesTransferred bytes of data-in.
#define IOCTL_TESTBUS_ANSWER CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
// No buffers: the pending NEXT_SRB (or, if none is pending, the next one)
// completes with Stop set, and the server ends.
#define IOCTL_TESTBUS_STOP_SERVER CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: TESTBUS_SECTION. The bus maps the named section into its own
// process at the given address (see the sense section below).
#define IOCTL_TESTBUS_MAP_SECTION CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _TESTBUS_SRB {
  ULONG Tag;                 // names this SRB in the answer
  ULONG Stop;                // not 0: the server is to end; nothing else is valid
  ULONG SrbFlags;            // the SRB's, direction bits included
  ULONG DataTransferLength;  // bytes asked
  UCHAR CdbLength;
  UCHAR Reserved[3];
  UCHAR Cdb[16];
  UCHAR Data[TESTBUS_MAXIMUM_TRANSFER];  // data-out: DataTransferLength bytes when SRB_FLAGS_DATA_OUT
} TESTBUS_SRB;
#define TESTBUS_SRB_HEADER ((ULONG)FIELD_OFFSET(TESTBUS_SRB, Data))

#define TESTBUS_ANSWER_REPORTS_SENSE_LENGTH 0x1  // ReportedSenseLength overrides the bytes copied
typedef struct _TESTBUS_ANSWER {
  ULONG Tag;                 // the SRB's
  ULONG Flags;
  UCHAR SrbStatus;           // the low six bits; the bus adds autosense and freeze
  UCHAR ScsiStatus;
  UCHAR SenseLength;         // valid bytes of Sense
  UCHAR ReportedSenseLength; // with TESTBUS_ANSWER_REPORTS_SENSE_LENGTH
  ULONG BytesTransferred;    // data moved, in either direction
  UCHAR Sense[TESTBUS_SENSE_BYTES];
  UCHAR Data[TESTBUS_MAXIMUM_TRANSFER];  // data-in: BytesTransferred bytes
} TESTBUS_ANSWER;
#define TESTBUS_ANSWER_HEADER ((ULONG)FIELD_OFFSET(TESTBUS_ANSWER, Data))

// ------------------------------------------------------------------ the sense section
// Wine runs drivers in a process of their own, so the addresses of the status
// byte and sense buffer inside a SCSISCAN_CMD mean nothing there unless the
// same memory lies at the same address in both processes. The contract for a
// program that sends pass-throughs on Wine:
//   - the environment variable STILLSCSI_SENSE_SECTION holds NAME@HEXADDRESS,
//     e.g. "Global\StillScsiSense@7E0000000" (TESTBUS_SENSE_SECTION_NAME,
//     TESTBUS_SENSE_SECTION_ADDRESS);
//   - the program opens it with OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE,
//     NAME) and maps it with MapViewOfFileEx(handle, FILE_MAP_ALL_ACCESS, 0,
//     0, 0, (void*)HEXADDRESS), and puts the status byte (pSrbStatus) and the
//     sense buffer (pSenseBuffer) of each SCSISCAN_CMD in that view; the data
//     buffer is the request's own output buffer, as everywhere.
// Whoever creates the section (scanner_host.exe --sense-section, or
// wine_test.exe) sends IOCTL_TESTBUS_MAP_SECTION, and the bus maps it at the
// same address in the driver's process. A probe of user memory outside such
// a view raises STATUS_ACCESS_VIOLATION there, as the caller's memory is not
// reachable in the driver's process.
#define TESTBUS_SENSE_SECTION_NAME L"Global\\StillScsiSense"
#define TESTBUS_SENSE_SECTION_ADDRESS 0x7E0000000ull
#define TESTBUS_SENSE_SECTION_SIZE 0x10000u
#define TESTBUS_SENSE_SECTION_ENV "STILLSCSI_SENSE_SECTION"

typedef struct _TESTBUS_SECTION {
  WCHAR Name[96];     // Global\name (the bus opens \BaseNamedObjects\name) or Local\name, NUL-ended
  ULONG64 Address;    // 64 KiB aligned
  ULONG64 Size;
} TESTBUS_SECTION;

typedef struct _TESTBUS_STATS {
  ULONG Srbs;             // execute-SCSI SRBs seen
  ULONG Releases;         // queue releases seen
  ULONG Failed;           // SRBs failed as asked
  ULONG LargestTransfer;  // the largest DataTransferLength seen
  ULONG PatchedImports;   // entries of the driver image's import table pointed at the bus's stand-ins
  ULONG Served;           // SRBs answered by the scanner server
  ULONG NoServer;         // SRBs ended with SRB_STATUS_SELECTION_TIMEOUT for want of a server or its answer
  ULONG SectionsMapped;   // views mapped by IOCTL_TESTBUS_MAP_SECTION
  ULONG Probes;           // user-mode probes by the driver
  ULONG ProbesRefused;    // of those, outside every mapped view and refused by the bus
  ULONG64 ReadBytes;      // data-in bytes delivered
  ULONG64 WrittenBytes;   // data-out bytes received
} TESTBUS_STATS;
