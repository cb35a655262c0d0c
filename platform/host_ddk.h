// Kernel declarations of the host build: the integer types, status codes,
// records and inline helpers of the 64-bit Windows kernel, with the platform's
// names and layouts, for the driver to compile against on Linux. The calls
// declared at the end are implemented by the stand-in in this folder.
//
// Only what the driver, the simulated port driver and the tests use is here.
// Record layouts match the x64 kernel headers byte for byte; fields nobody
// reads are kept as opaque padding so that every offset stays where the
// platform puts it.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------- integer types
typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef CHAR* PCHAR;
typedef short SHORT;
typedef short CSHORT;
typedef unsigned short USHORT;
typedef int LONG;               // 32-bit, as on the platform (LLP64)
typedef unsigned int ULONG;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG64;
typedef LONG64* PLONG64;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;         // UTF-16 code unit, 2 bytes as on the platform
typedef WCHAR* PWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG DEVICE_TYPE;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG LOGICAL;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(ULONG_PTR) == 8, "host build is 64-bit");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif
#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define FASTCALL
#define NTKERNELAPI
#define UNREFERENCED_PARAMETER(P) ((void)(P))

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

// ---------------------------------------------------------------- status codes
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS                  ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                  ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                  ((NTSTATUS)0x00000103L)
#define STATUS_OBJECT_NAME_EXISTS       ((NTSTATUS)0x40000000L)
#define STATUS_BUFFER_OVERFLOW          ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY              ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL             ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED          ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION         ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_PARAMETER        ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE           ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST   ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEDIA_IN_DEVICE       ((NTSTATUS)0xC0000013L)
#define STATUS_NONEXISTENT_SECTOR       ((NTSTATUS)0xC0000015L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY                ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL         ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID      ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND    ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION    ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND    ((NTSTATUS)0xC000003AL)
#define STATUS_DATA_OVERRUN             ((NTSTATUS)0xC000003CL)
#define STATUS_DELETE_PENDING           ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES   ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR        ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED     ((NTSTATUS)0xC000009DL)
#define STATUS_MEDIA_WRITE_PROTECTED    ((NTSTATUS)0xC00000A2L)
#define STATUS_DEVICE_NOT_READY         ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT               ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED            ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_2      ((NTSTATUS)0xC00000F0L)
#define STATUS_CANCELLED                ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_BLOCK_LENGTH     ((NTSTATUS)0xC0000173L)
#define STATUS_INVALID_DEVICE_STATE     ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR          ((NTSTATUS)0xC0000185L)
#define STATUS_DEVICE_PROTOCOL_ERROR    ((NTSTATUS)0xC0000186L)
#define STATUS_INVALID_BUFFER_SIZE      ((NTSTATUS)0xC0000206L)

// Error-log codes.
#define IO_ERR_SEEK_ERROR               ((NTSTATUS)0xC0040006L)
#define IO_ERR_BAD_BLOCK                ((NTSTATUS)0xC0040007L)
#define IO_ERR_CONTROLLER_ERROR         ((NTSTATUS)0xC004000BL)
#define IO_ERR_NOT_READY                ((NTSTATUS)0xC004000FL)
#define IO_RECOVERED_VIA_ECC            ((NTSTATUS)0x80040021L)

// ---------------------------------------------------------------- IRQL, modes
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

// ---------------------------------------------------------------- major/minor codes
#define IRP_MJ_CREATE                   0x00
#define IRP_MJ_CREATE_NAMED_PIPE        0x01
#define IRP_MJ_CLOSE                    0x02
#define IRP_MJ_READ                     0x03
#define IRP_MJ_WRITE                    0x04
#define IRP_MJ_QUERY_INFORMATION        0x05
#define IRP_MJ_SET_INFORMATION          0x06
#define IRP_MJ_QUERY_EA                 0x07
#define IRP_MJ_SET_EA                   0x08
#define IRP_MJ_FLUSH_BUFFERS            0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION   0x0b
#define IRP_MJ_DIRECTORY_CONTROL        0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL      0x0d
#define IRP_MJ_DEVICE_CONTROL           0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL  0x0f
#define IRP_MJ_SCSI                     IRP_MJ_INTERNAL_DEVICE_CONTROL
#define IRP_MJ_SHUTDOWN                 0x10
#define IRP_MJ_LOCK_CONTROL             0x11
#define IRP_MJ_CLEANUP                  0x12
#define IRP_MJ_CREATE_MAILSLOT          0x13
#define IRP_MJ_QUERY_SECURITY           0x14
#define IRP_MJ_SET_SECURITY             0x15
#define IRP_MJ_POWER                    0x16
#define IRP_MJ_SYSTEM_CONTROL           0x17
#define IRP_MJ_DEVICE_CHANGE            0x18
#define IRP_MJ_QUERY_QUOTA              0x19
#define IRP_MJ_SET_QUOTA                0x1a
#define IRP_MJ_PNP                      0x1b
#define IRP_MJ_MAXIMUM_FUNCTION         0x1b

#define IRP_MN_START_DEVICE                 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE          0x01
#define IRP_MN_REMOVE_DEVICE                0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE         0x03
#define IRP_MN_STOP_DEVICE                  0x04
#define IRP_MN_QUERY_STOP_DEVICE            0x05
#define IRP_MN_CANCEL_STOP_DEVICE           0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS       0x07
#define IRP_MN_QUERY_INTERFACE              0x08
#define IRP_MN_QUERY_CAPABILITIES           0x09
#define IRP_MN_QUERY_RESOURCES              0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS  0x0B
#define IRP_MN_QUERY_DEVICE_TEXT            0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG                  0x0F
#define IRP_MN_WRITE_CONFIG                 0x10
#define IRP_MN_EJECT                        0x11
#define IRP_MN_SET_LOCK                     0x12
#define IRP_MN_QUERY_ID                     0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE       0x14
#define IRP_MN_QUERY_BUS_INFORMATION        0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION    0x16
#define IRP_MN_SURPRISE_REMOVAL             0x17

#define IRP_MN_WAIT_WAKE      0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER      0x02
#define IRP_MN_QUERY_POWER    0x03

#define IRP_MN_QUERY_ALL_DATA 0x00

// ---------------------------------------------------------------- device-control codes
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3))
#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#define FILE_ANY_ACCESS   0
#define FILE_READ_ACCESS  1
#define FILE_WRITE_ACCESS 2

#define FILE_DEVICE_CONTROLLER   0x00000004
#define FILE_DEVICE_SCANNER      0x00000019
#define FILE_DEVICE_MASS_STORAGE 0x0000002d
#define IOCTL_SCSI_BASE          FILE_DEVICE_CONTROLLER
#define IOCTL_STORAGE_BASE       FILE_DEVICE_MASS_STORAGE

#define IOCTL_SCSI_GET_ADDRESS \
  CTL_CODE(IOCTL_SCSI_BASE, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STORAGE_QUERY_PROPERTY \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0500, METHOD_BUFFERED, FILE_ANY_ACCESS)

// ---------------------------------------------------------------- flags
#define DO_VERIFY_VOLUME      0x00000002
#define DO_BUFFERED_IO        0x00000004
#define DO_EXCLUSIVE          0x00000008
#define DO_DIRECT_IO          0x00000010
#define DO_MAP_IO_BUFFER      0x00000020
#define DO_DEVICE_HAS_NAME    0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE      0x00002000
#define DO_POWER_INRUSH       0x00004000

#define IRP_ALLOCATED_FIXED_SIZE 0x04

#define SL_PENDING_RETURNED  0x01
#define SL_ERROR_RETURNED    0x02
#define SL_INVOKE_ON_CANCEL  0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR   0x80

#define MDL_MAPPED_TO_SYSTEM_VA    0x0001
#define MDL_PAGES_LOCKED           0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE   0x0008
#define MDL_PARTIAL                0x0010
#define MDL_WRITE_OPERATION        0x0080
#define MDL_MAPPING_CAN_FAIL       0x2000

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))

#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define KEY_WRITE 0x20006
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

#define ERROR_LOG_MAXIMUM_SIZE 240

// ---------------------------------------------------------------- SCSI request block
#define SRB_FUNCTION_EXECUTE_SCSI    0x00
#define SRB_FUNCTION_CLAIM_DEVICE    0x01
#define SRB_FUNCTION_IO_CONTROL      0x02
#define SRB_FUNCTION_RECEIVE_EVENT   0x03
#define SRB_FUNCTION_RELEASE_QUEUE   0x04
#define SRB_FUNCTION_ATTACH_DEVICE   0x05
#define SRB_FUNCTION_RELEASE_DEVICE  0x06
#define SRB_FUNCTION_SHUTDOWN        0x07
#define SRB_FUNCTION_FLUSH           0x08
#define SRB_FUNCTION_ABORT_COMMAND   0x10
#define SRB_FUNCTION_RELEASE_RECOVERY 0x11
#define SRB_FUNCTION_RESET_BUS       0x12
#define SRB_FUNCTION_RESET_DEVICE    0x13
#define SRB_FUNCTION_TERMINATE_IO    0x14
#define SRB_FUNCTION_FLUSH_QUEUE     0x15
#define SRB_FUNCTION_REMOVE_DEVICE   0x16
#define SRB_FUNCTION_LOCK_QUEUE      0x18
#define SRB_FUNCTION_UNLOCK_QUEUE    0x19

#define SRB_STATUS_PENDING                0x00
#define SRB_STATUS_SUCCESS                0x01
#define SRB_STATUS_ABORTED                0x02
#define SRB_STATUS_ABORT_FAILED           0x03
#define SRB_STATUS_ERROR                  0x04
#define SRB_STATUS_BUSY                   0x05
#define SRB_STATUS_INVALID_REQUEST        0x06
#define SRB_STATUS_INVALID_PATH_ID        0x07
#define SRB_STATUS_NO_DEVICE              0x08
#define SRB_STATUS_TIMEOUT                0x09
#define SRB_STATUS_SELECTION_TIMEOUT      0x0A
#define SRB_STATUS_COMMAND_TIMEOUT        0x0B
#define SRB_STATUS_MESSAGE_REJECTED       0x0D
#define SRB_STATUS_BUS_RESET              0x0E
#define SRB_STATUS_PARITY_ERROR           0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED   0x10
#define SRB_STATUS_NO_HBA                 0x11
#define SRB_STATUS_DATA_OVERRUN           0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE    0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH   0x15
#define SRB_STATUS_REQUEST_FLUSHED        0x16
#define SRB_STATUS_INVALID_LUN            0x20
#define SRB_STATUS_INVALID_TARGET_ID      0x21
#define SRB_STATUS_BAD_FUNCTION           0x22
#define SRB_STATUS_ERROR_RECOVERY         0x23
#define SRB_STATUS_NOT_POWERED            0x24
#define SRB_STATUS_INTERNAL_ERROR         0x30
#define SRB_STATUS_QUEUE_FROZEN           0x40
#define SRB_STATUS_AUTOSENSE_VALID        0x80
#define SRB_STATUS(Status) ((Status) & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN))

#define SRB_FLAGS_QUEUE_ACTION_ENABLE     0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT      0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER  0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE     0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE       0x00000020
#define SRB_FLAGS_DATA_IN                 0x00000040
#define SRB_FLAGS_DATA_OUT                0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER        0x00000000
#define SRB_FLAGS_UNSPECIFIED_DIRECTION   (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)
#define SRB_FLAGS_NO_QUEUE_FREEZE         0x00000100
#define SRB_FLAGS_ADAPTER_CACHE_ENABLE    0x00000200

#define SRB_SIMPLE_TAG_REQUEST  0x20
#define SRB_HEAD_OF_QUEUE_TAG_REQUEST 0x21
#define SRB_ORDERED_QUEUE_TAG_REQUEST 0x22
#define SP_UNTAGGED ((UCHAR)~0)

#define SCSISTAT_GOOD                 0x00
#define SCSISTAT_CHECK_CONDITION      0x02
#define SCSISTAT_BUSY                 0x08
#define SCSISTAT_RESERVATION_CONFLICT 0x18

struct _IRP;

typedef struct _SCSI_REQUEST_BLOCK {
  USHORT Length;
  UCHAR Function;
  UCHAR SrbStatus;
  UCHAR ScsiStatus;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR QueueTag;
  UCHAR QueueAction;
  UCHAR CdbLength;
  UCHAR SenseInfoBufferLength;
  ULONG SrbFlags;
  ULONG DataTransferLength;
  ULONG TimeOutValue;
  PVOID DataBuffer;
  PVOID SenseInfoBuffer;
  struct _SCSI_REQUEST_BLOCK* NextSrb;
  PVOID OriginalRequest;
  PVOID SrbExtension;
  union {
    ULONG InternalStatus;
    ULONG QueueSortKey;
    ULONG LinkTimeoutValue;
  };
  ULONG Reserved;
  UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

static_assert(sizeof(SCSI_REQUEST_BLOCK) == 88, "SRB is 88 bytes on x64");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12, "SRB layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "SRB layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, OriginalRequest) == 48, "SRB layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueSortKey) == 64, "SRB layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 72, "SRB layout");

// ---------------------------------------------------------------- strings
typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating NUL
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const ANSI_STRING* PCANSI_STRING;

static_assert(sizeof(UNICODE_STRING) == 16 && sizeof(ANSI_STRING) == 16, "string records");

// ---------------------------------------------------------------- events
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR TimerControlFlags_;  // flag bytes and bit fields on the platform
  UCHAR Size;                // in LONGs
  UCHAR TimerMiscFlags_;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes");

// ---------------------------------------------------------------- I/O status, MDL
typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  struct _EPROCESS* Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

static_assert(sizeof(MDL) == 48, "MDL header is 48 bytes");
static_assert(offsetof(MDL, StartVa) == 32 && offsetof(MDL, ByteOffset) == 44, "MDL layout");

typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  // Not executable: what code integrity expects every driver allocation of
  // nonpaged pool to be.
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

// Or-ed into MmMapLockedPagesSpecifyCache's Priority: the mapping is not
// executable.
#define MdlMappingNoExecute 0x40000000

// ---------------------------------------------------------------- objects
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _IRP;

typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS (*PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                       struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef VOID (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject,
                                       PUNICODE_STRING RegistryPath);
typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject,
                                           struct _IRP* Irp, PVOID Context);
typedef VOID (*PDRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef VOID (*PDRIVER_STARTIO)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);

// Typedefs of the routine kinds, for declarations in the platform's style.
typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject,
                                   struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject,
                                   PUNICODE_STRING RegistryPath);
typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                       PVOID Context);

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;  // list of the driver's devices, through NextDevice
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

static_assert(sizeof(DRIVER_OBJECT) == 336 && offsetof(DRIVER_OBJECT, MajorFunction) == 112,
              "DRIVER_OBJECT layout");

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;  // the device attached directly above, if any
  struct _IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  UCHAR QueueAndDpc_[152 - 77];   // Queue (wait context block) and alignment
  ULONG AlignmentRequirement;
  UCHAR DeviceQueueAndDpc_[264 - 156];  // DeviceQueue, Dpc
  ULONG ActiveThreadCount;
  PVOID SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PVOID DeviceObjectExtension;
  PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

static_assert(sizeof(DEVICE_OBJECT) == 328, "DEVICE_OBJECT is 328 bytes");
static_assert(offsetof(DEVICE_OBJECT, Flags) == 48 && offsetof(DEVICE_OBJECT, DeviceExtension) == 64 &&
                  offsetof(DEVICE_OBJECT, StackSize) == 76 &&
                  offsetof(DEVICE_OBJECT, AlignmentRequirement) == 152 &&
                  offsetof(DEVICE_OBJECT, ActiveThreadCount) == 264 &&
                  offsetof(DEVICE_OBJECT, DeviceLock) == 280,
              "DEVICE_OBJECT layout");

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID Vpb;
  PVOID FsContext;   // the driver's per-open value
  PVOID FsContext2;
  UCHAR Opaque_[80 - 40];
  ULONG Flags;
  UNICODE_STRING FileName;
  UCHAR Tail_[216 - 104];
} FILE_OBJECT, *PFILE_OBJECT;

static_assert(sizeof(FILE_OBJECT) == 216 && offsetof(FILE_OBJECT, FsContext) == 24 &&
                  offsetof(FILE_OBJECT, FileName) == 88,
              "FILE_OBJECT layout");

// ---------------------------------------------------------------- power and PnP records
typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;
typedef enum {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject,
  PowerActionDisplayOff
} POWER_ACTION;
typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG Bits_;  // DeviceD1 through NoDisplayInUI, bit fields on the platform
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

static_assert(sizeof(DEVICE_CAPABILITIES) == 64 && offsetof(DEVICE_CAPABILITIES, D1Latency) == 52,
              "DEVICE_CAPABILITIES layout");

// ---------------------------------------------------------------- IRP and stack location
typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT FileAttributes __attribute__((aligned(8)));
      USHORT ShareAccess;
      ULONG EaLength __attribute__((aligned(8)));
    } Create;
    struct {
      ULONG Length;
      ULONG Key __attribute__((aligned(8)));
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key __attribute__((aligned(8)));
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength __attribute__((aligned(8)));
      ULONG IoControlCode __attribute__((aligned(8)));
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      struct _SCSI_REQUEST_BLOCK* Srb;
    } Scsi;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type __attribute__((aligned(8)));
      POWER_STATE State __attribute__((aligned(8)));
      POWER_ACTION ShutdownType __attribute__((aligned(8)));
    } Power;
    struct {
      ULONG_PTR ProviderId;
      PVOID DataPath;
      ULONG BufferSize;
      PVOID Buffer;
    } WMI;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION is 72 bytes");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Create.FileAttributes) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Create.ShareAccess) == 26 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Create.EaLength) == 32 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Read.Key) == 16 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 24 &&
                  offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 24 &&
                  offsetof(IO_STACK_LOCATION, DeviceObject) == 40 &&
                  offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56,
              "IO_STACK_LOCATION layout");

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    volatile LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  volatile PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PVOID Thread;
      PCHAR AuxiliaryBuffer;
      struct {
        LIST_ENTRY ListEntry;
        union {
          struct _IO_STACK_LOCATION* CurrentStackLocation;
          ULONG PacketType;
        };
      };
      struct _FILE_OBJECT* OriginalFileObject;
    } Overlay;
    UCHAR Apc_[88];  // a KAPC on the platform
    PVOID CompletionKey;
  } Tail;
} IRP, *PIRP;

static_assert(sizeof(IRP) == 208, "IRP is 208 bytes");
static_assert(offsetof(IRP, IoStatus) == 48 && offsetof(IRP, StackCount) == 66 &&
                  offsetof(IRP, UserIosb) == 72 && offsetof(IRP, CancelRoutine) == 104 &&
                  offsetof(IRP, UserBuffer) == 112 &&
                  offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184,
              "IRP layout");

// ---------------------------------------------------------------- storage and SCSI records
typedef enum _STORAGE_PROPERTY_ID {
  StorageDeviceProperty = 0,
  StorageAdapterProperty = 1,
  StorageDeviceIdProperty = 2,
} STORAGE_PROPERTY_ID, *PSTORAGE_PROPERTY_ID;

typedef enum _STORAGE_QUERY_TYPE {
  PropertyStandardQuery = 0,
  PropertyExistsQuery = 1,
  PropertyMaskQuery = 2,
} STORAGE_QUERY_TYPE;

typedef struct _STORAGE_PROPERTY_QUERY {
  STORAGE_PROPERTY_ID PropertyId;
  STORAGE_QUERY_TYPE QueryType;
  UCHAR AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY, *PSTORAGE_PROPERTY_QUERY;

typedef struct _STORAGE_DESCRIPTOR_HEADER {
  ULONG Version;
  ULONG Size;
} STORAGE_DESCRIPTOR_HEADER, *PSTORAGE_DESCRIPTOR_HEADER;

typedef struct _STORAGE_ADAPTER_DESCRIPTOR {
  ULONG Version;
  ULONG Size;
  ULONG MaximumTransferLength;
  ULONG MaximumPhysicalPages;
  ULONG AlignmentMask;
  BOOLEAN AdapterUsesPio;
  BOOLEAN AdapterScansDown;
  BOOLEAN CommandQueueing;
  BOOLEAN AcceleratedTransfer;
  UCHAR BusType;
  USHORT BusMajorVersion;
  USHORT BusMinorVersion;
} STORAGE_ADAPTER_DESCRIPTOR, *PSTORAGE_ADAPTER_DESCRIPTOR;

typedef struct _SCSI_ADDRESS {
  ULONG Length;
  UCHAR PortNumber;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY is 12 bytes");
static_assert(sizeof(STORAGE_DESCRIPTOR_HEADER) == 8, "STORAGE_DESCRIPTOR_HEADER is 8 bytes");
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32 &&
                  offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength) == 8 &&
                  offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages) == 12 &&
                  offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMajorVersion) == 26,
              "STORAGE_ADAPTER_DESCRIPTOR layout");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS is 8 bytes");

// ---------------------------------------------------------------- error log
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

// The kernel's exception, as the stand-in raises it: MmProbeAndLockPages
// throws this where the platform raises STATUS_ACCESS_VIOLATION.
struct HostRaisedStatus {
  NTSTATUS Status;
};

// ---------------------------------------------------------------- kernel calls
// Implemented by the stand-in; each checks the platform's rules for its
// arguments and for the IRQL it is called at.
extern "C" {

// I/O manager
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoFreeIrp(PIRP Irp);
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
VOID IoWriteErrorLogEntry(PVOID ElEntry);
VOID IoFreeMdl(PMDL Mdl);
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
// Sets the completion routine in the next location, as IoSetCompletionRoutine
// does, and holds DeviceObject (and so its driver) until the routine has
// returned. Fails, with nothing set, when the hold's record cannot be had.
NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel);

// power manager
VOID PoStartNextPowerIrp(PIRP Irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// memory
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePool(PVOID P);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
PMDL MmCreateMdl(PMDL MemoryDescriptorList, PVOID Base, SIZE_T Length);
VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority);
VOID MmUnlockPages(PMDL MemoryDescriptorList);

// events and IRQL
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
KIRQL KeGetCurrentIrql(VOID);
KIRQL KfRaiseIrql(KIRQL NewIrql);
VOID KeLowerIrql(KIRQL NewIrql);
VOID HostPagedCode(const char* Routine);

// strings
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// registry
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize);
NTSTATUS ZwClose(HANDLE Handle);

// Checks behind the inline helpers below.
VOID HostCheckNextLocation(PIRP Irp, const char* Routine);
VOID HostCheckSkip(PIRP Irp);
VOID HostMarkIrpPending(PIRP Irp);
// A place where the stand-in's scheduler may run another thread first.
VOID HostSchedulePoint(const char* Call);

}  // extern "C"

#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
#define PAGED_CODE() HostPagedCode(__func__)
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest

// ---------------------------------------------------------------- inline helpers
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}

inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  HostCheckNextLocation(Irp, "IoGetNextIrpStackLocation");
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

// Copies the current location's parameters (everything before
// CompletionRoutine) to the next one and clears the next one's Control; the
// next location's routine and context are left as they were.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  __builtin_memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
  HostCheckSkip(Irp);
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}

inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

inline VOID IoMarkIrpPending(PIRP Irp) {
  HostMarkIrpPending(Irp);
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
  return (PVOID)((PCHAR)Mdl->StartVa + Mdl->ByteOffset);
}
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }
inline ULONG MmGetMdlByteOffset(PMDL Mdl) { return Mdl->ByteOffset; }

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) { __builtin_memset(Destination, 0, Length); }
inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
  __builtin_memset(Destination, Fill, Length);
}
inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
  __builtin_memcpy(Destination, Source, Length);
}
inline VOID RtlMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
  __builtin_memmove(Destination, Source, Length);
}

// ---------------------------------------------------------------- interlocked family
inline LONG InterlockedIncrement(volatile LONG* Addend) {
  HostSchedulePoint("InterlockedIncrement");
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* Addend) {
  HostSchedulePoint("InterlockedDecrement");
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
// Returns the value before the addition.
inline LONG InterlockedExchangeAdd(volatile LONG* Addend, LONG Value) {
  HostSchedulePoint("InterlockedExchangeAdd");
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  HostSchedulePoint("InterlockedExchange");
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Returns the value before the operation; stores Exchange only when it was Comperand.
inline LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comperand) {
  HostSchedulePoint("InterlockedCompareExchange");
  __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}
inline LONG64 InterlockedCompareExchange64(volatile LONG64* Destination, LONG64 Exchange,
                                           LONG64 Comperand) {
  HostSchedulePoint("InterlockedCompareExchange64");
  __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}
inline LONG64 InterlockedExchange64(volatile LONG64* Target, LONG64 Value) {
  HostSchedulePoint("InterlockedExchange64");
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comperand) {
  HostSchedulePoint("InterlockedCompareExchangePointer");
  __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}
