// A root-enumerated test bus driver for running stillscsi.sys under Wine's
// kernel emulation. It reports one child, the imaging instrument, and
// answers what a SCSI port driver answers for it: SRBs (data through the
// request's MDL, status, sense, queue freeze and release), the adapter
// property query, the SCSI address, create, close, Plug and Play and power.
// Test-only, never shipped.
//
// Wine 8 lacks a few kernel routines the driver imports. When the driver's
// image loads, this bus points those entries of its import table at stand-ins
// of its own; the image file itself is not changed. Everything runs in one
// host process there, so the MDL's own address reaches the data.
#include "kernel.h"  // the kernel headers, as the driver includes them

#include <ddk/ntimage.h>

#include "testbus_ioctl.h"

#define TESTBUS_TAG 0x42747354  // "TstB"

namespace {

struct BusExtension {
  BOOLEAN IsPdo;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;  // bus: the device below
  PDEVICE_OBJECT RootPdo;  // bus: the PDO it was added for
  PDEVICE_OBJECT Child;  // bus: the instrument's PDO, once reported
  BOOLEAN LinkMade;
};

struct Instrument {
  KSPIN_LOCK Lock;
  BOOLEAN Frozen;
  LIST_ENTRY Held;  // SRBs that arrived while frozen
  ULONG FailNext;
  ULONG64 ReadPosition;
  TESTBUS_STATS Stats;
};

Instrument g_instrument;
PDRIVER_OBJECT g_driver;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// ------------------------------------------------------------------ the stand-ins of missing imports

// Wine's returns none. One address space: the described memory is
// reachable where it is.
PVOID NTAPI StandInMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
  return (PUCHAR)MmGetMdlVirtualAddress(Mdl);
}

VOID NTAPI StandInProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE, LOCK_OPERATION) {
  volatile UCHAR* at = (volatile UCHAR*)MmGetMdlVirtualAddress(Mdl);
  ULONG length = MmGetMdlByteCount(Mdl);
  for (ULONG offset = 0; offset < length; offset += PAGE_SIZE) (void)at[offset];
  if (length != 0) (void)at[length - 1];
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI StandInWriteErrorLogEntry(PVOID Entry) { ExFreePool(Entry); }

// Wine exports IoSetCompletionRoutineEx but does not implement it. As the
// platform's does: the routine runs from a record that holds a reference on
// the device object (and so on its driver) until the routine has returned.
// The trampoline lives in this bus's image, which outlives the driver.
struct HeldCompletion {
  PIO_COMPLETION_ROUTINE Routine;
  PVOID Context;
  PDEVICE_OBJECT Device;
};

NTSTATUS NTAPI HeldCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  HeldCompletion held = *(HeldCompletion*)Context;
  ExFreePoolWithTag(Context, TESTBUS_TAG);
  NTSTATUS status = held.Routine(DeviceObject, Irp, held.Context);
  ObDereferenceObject(held.Device);
  return status;
}

NTSTATUS NTAPI StandInSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE Routine,
                                             PVOID Context, BOOLEAN OnSuccess, BOOLEAN OnError, BOOLEAN OnCancel) {
  HeldCompletion* held = (HeldCompletion*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(HeldCompletion), TESTBUS_TAG);
  if (held == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  held->Routine = Routine;
  held->Context = Context;
  held->Device = DeviceObject;
  ObReferenceObject(DeviceObject);
  IoSetCompletionRoutine(Irp, HeldCompletionRoutine, held, OnSuccess, OnError, OnCancel);
  return STATUS_SUCCESS;
}

struct Replacement {
  const char* Name;
  PVOID Routine;
};

const Replacement kReplacements[] = {
    {"MmMapLockedPagesSpecifyCache", (PVOID)StandInMapLockedPagesSpecifyCache},
    {"IoSetCompletionRoutineEx", (PVOID)StandInSetCompletionRoutineEx},
    {"MmProbeAndLockPages", (PVOID)StandInProbeAndLockPages},
    {"IoWriteErrorLogEntry", (PVOID)StandInWriteErrorLogEntry},
};

BOOLEAN SameText(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (char)(*a >= 'A' && *a <= 'Z' ? *a + 32 : *a), y = (char)(*b >= 'A' && *b <= 'Z' ? *b + 32 : *b);
    if (x != y) return FALSE;
  }
  return *a == *b;
}

BOOLEAN EndsWith(PUNICODE_STRING Text, const WCHAR* Suffix) {
  USHORT length = 0;
  while (Suffix[length]) ++length;
  if (Text == NULL || Text->Length / sizeof(WCHAR) < length) return FALSE;
  const WCHAR* tail = Text->Buffer + Text->Length / sizeof(WCHAR) - length;
  for (USHORT i = 0; i < length; ++i) {
    WCHAR c = tail[i] >= L'A' && tail[i] <= L'Z' ? (WCHAR)(tail[i] + 32) : tail[i];
    if (c != Suffix[i]) return FALSE;
  }
  return TRUE;
}

// The image's import address table is read-only once loaded, as memory
// integrity expects. Wine's driver host is a process of its own, where
// ZwProtectVirtualMemory makes the table's pages writable for the patch.
typedef NTSTATUS(NTAPI* ProtectVirtualMemoryRoutine)(HANDLE, PVOID*, PSIZE_T, ULONG, PULONG);

BOOLEAN SetProtection(PVOID Address, SIZE_T Length, ULONG Protection, PULONG Old) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"ZwProtectVirtualMemory");
  ProtectVirtualMemoryRoutine protect = (ProtectVirtualMemoryRoutine)MmGetSystemRoutineAddress(&name);
  if (protect == NULL) return FALSE;
  PVOID base = Address;
  SIZE_T size = Length;
  return NT_SUCCESS(protect((HANDLE)-1, &base, &size, Protection, Old));
}

// Points the driver image's imports of the missing routines at the stand-ins.
VOID PatchImports(PUCHAR Base) {
  PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)Base;
  PIMAGE_NT_HEADERS64 nt = (PIMAGE_NT_HEADERS64)(Base + dos->e_lfanew);
  IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_DATA_DIRECTORY table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  ULONG old = 0;
  if (directory.VirtualAddress == 0 || table.VirtualAddress == 0) return;
  if (!SetProtection(Base + table.VirtualAddress, table.Size, PAGE_READWRITE, &old)) return;
  for (PIMAGE_IMPORT_DESCRIPTOR import = (PIMAGE_IMPORT_DESCRIPTOR)(Base + directory.VirtualAddress);
       import->Name != 0; ++import) {
    if (!SameText((const char*)(Base + import->Name), "ntoskrnl.exe")) continue;
    PIMAGE_THUNK_DATA64 names = (PIMAGE_THUNK_DATA64)(Base + import->OriginalFirstThunk);
    PIMAGE_THUNK_DATA64 slots = (PIMAGE_THUNK_DATA64)(Base + import->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
      PIMAGE_IMPORT_BY_NAME byName = (PIMAGE_IMPORT_BY_NAME)(Base + names->u1.AddressOfData);
      for (const Replacement& replacement : kReplacements) {
        if (SameText((const char*)byName->Name, replacement.Name)) {
          slots->u1.Function = (ULONGLONG)replacement.Routine;
          ++g_instrument.Stats.PatchedImports;
        }
      }
    }
  }
  SetProtection(Base + table.VirtualAddress, table.Size, old, &old);
}

VOID NTAPI ImageLoaded(PUNICODE_STRING FullImageName, HANDLE, PIMAGE_INFO ImageInfo) {
  if (EndsWith(FullImageName, L"stillscsi.sys")) PatchImports((PUCHAR)ImageInfo->ImageBase);
}

// ------------------------------------------------------------------ the instrument's SRBs

VOID FailWithHardwareError(PSCSI_REQUEST_BLOCK Srb) {
  Srb->SrbStatus = SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN;
  Srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
  Srb->DataTransferLength = 0;
  if (Srb->SenseInfoBuffer != NULL && Srb->SenseInfoBufferLength >= 14) {
    PUCHAR sense = (PUCHAR)Srb->SenseInfoBuffer;
    RtlZeroMemory(sense, Srb->SenseInfoBufferLength);
    sense[0] = 0x70;
    sense[2] = SCSI_SENSE_HARDWARE_ERROR;
    sense[7] = 10;
    sense[12] = 0x44;  // internal target failure
    Srb->SenseInfoBufferLength = Srb->SenseInfoBufferLength < 18 ? Srb->SenseInfoBufferLength : 18;
    Srb->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
  }
}

// Carries out one execute-SCSI SRB; called with the instrument's lock held.
VOID Execute(PSCSI_REQUEST_BLOCK Srb) {
  Instrument& unit = g_instrument;
  PUCHAR data = (PUCHAR)Srb->DataBuffer;
  ULONG length = Srb->DataTransferLength;
  UCHAR operation = Srb->Cdb[0];
  BOOLEAN transfer = operation == 0x08 || operation == 0x0A || operation == 0x28 || operation == 0x2A;

  ++unit.Stats.Srbs;
  if (length > unit.Stats.LargestTransfer) unit.Stats.LargestTransfer = length;
  Srb->ScsiStatus = SCSISTAT_GOOD;
  if (transfer && unit.FailNext != 0) {
    --unit.FailNext;
    ++unit.Stats.Failed;
    FailWithHardwareError(Srb);
    unit.Frozen = TRUE;
    return;
  }
  if ((operation == 0x08 || operation == 0x28) && data != NULL) {
    for (ULONG i = 0; i < length; ++i) data[i] = TestBusPatternByte(unit.ReadPosition + i);
    unit.ReadPosition += length;
    unit.Stats.ReadBytes += length;
  } else if ((operation == 0x0A || operation == 0x2A) && data != NULL) {
    for (ULONG i = 0; i < length; ++i) unit.Stats.WrittenSum += data[i];
    unit.Stats.WrittenBytes += length;
  } else if (operation == 0x12 && data != NULL) {
    static const UCHAR inquiry[36] = {0x06, 0, 0x02, 0x02, 31, 0, 0, 0, 'S', 'T', 'I', 'L', 'L', 'S', 'I', 'M',
                                      'C', 'H', 'A', 'R', 'T', ' ', 'S', 'C', 'A', 'N', 'N', 'E', 'R', ' ',
                                      ' ', ' ', '1', '.', '0', ' '};
    ULONG count = length < sizeof(inquiry) ? length : sizeof(inquiry);
    RtlCopyMemory(data, inquiry, count);
    Srb->DataTransferLength = count;
  }
  Srb->SrbStatus = SRB_STATUS_SUCCESS;
}

VOID CompleteSrb(PIRP Irp) {
  PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb;
  NTSTATUS status = SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
  Complete(Irp, status, srb->DataTransferLength);
}

NTSTATUS DispatchScsi(PIRP Irp) {
  Instrument& unit = g_instrument;
  PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb;
  LIST_ENTRY released;
  KIRQL irql;

  InitializeListHead(&released);
  KeAcquireSpinLock(&unit.Lock, &irql);
  if (srb->Function == SRB_FUNCTION_RELEASE_QUEUE) {
    ++unit.Stats.Releases;
    unit.Frozen = FALSE;
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    // What the freeze held goes on, in order, unless a new failure freezes
    // the unit again.
    while (!unit.Frozen && !IsListEmpty(&unit.Held)) {
      PLIST_ENTRY entry = RemoveHeadList(&unit.Held);
      PIRP held = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      Execute(IoGetCurrentIrpStackLocation(held)->Parameters.Scsi.Srb);
      InsertTailList(&released, entry);
    }
    KeReleaseSpinLock(&unit.Lock, irql);
    while (!IsListEmpty(&released)) {
      CompleteSrb(CONTAINING_RECORD(RemoveHeadList(&released), IRP, Tail.Overlay.ListEntry));
    }
    return Complete(Irp, STATUS_SUCCESS, 0);
  }
  if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
    KeReleaseSpinLock(&unit.Lock, irql);
    srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (unit.Frozen && !(srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE)) {
    IoMarkIrpPending(Irp);
    InsertTailList(&unit.Held, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&unit.Lock, irql);
    return STATUS_PENDING;
  }
  Execute(srb);
  KeReleaseSpinLock(&unit.Lock, irql);
  CompleteSrb(Irp);
  return STATUS_SUCCESS;
}

// A buffered answer to a request built with IoBuildDeviceIoControlRequest.
// Wine hands the input buffer over as the system buffer and copies nothing
// back, so the answer also goes to the caller's output buffer, and into the
// system buffer only as far as the input's room.
VOID Answer(PIRP Irp, const void* Bytes, ULONG Length) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG count = Length < outputLength ? Length : outputLength;
  PVOID system = Irp->AssociatedIrp.SystemBuffer;
  if (Irp->UserBuffer != NULL && Irp->UserBuffer != system) RtlCopyMemory(Irp->UserBuffer, Bytes, count);
  if (system != NULL) RtlCopyMemory(system, Bytes, count <= inputLength || Irp->UserBuffer == NULL ? count : inputLength);
  Complete(Irp, STATUS_SUCCESS, count);
}

NTSTATUS PdoDeviceControl(PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_QUERY_PROPERTY: {
      PSTORAGE_PROPERTY_QUERY query = (PSTORAGE_PROPERTY_QUERY)Irp->AssociatedIrp.SystemBuffer;
      if (query == NULL || location->Parameters.DeviceIoControl.InputBufferLength < sizeof(STORAGE_PROPERTY_QUERY) ||
          query->PropertyId != StorageAdapterProperty || query->QueryType != PropertyStandardQuery) {
        return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
      }
      STORAGE_ADAPTER_DESCRIPTOR descriptor;
      RtlZeroMemory(&descriptor, sizeof(descriptor));
      descriptor.Version = sizeof(descriptor);
      descriptor.Size = sizeof(descriptor);
      descriptor.MaximumTransferLength = TESTBUS_MAXIMUM_TRANSFER;
      descriptor.MaximumPhysicalPages = TESTBUS_MAXIMUM_PAGES;
      descriptor.AlignmentMask = 0;
      descriptor.BusType = BusTypeScsi;
      Answer(Irp, &descriptor, sizeof(descriptor));
      return STATUS_SUCCESS;
    }
    case IOCTL_SCSI_GET_ADDRESS: {
      SCSI_ADDRESS address;
      address.Length = sizeof(address);
      address.PortNumber = TESTBUS_PORT;
      address.PathId = TESTBUS_PATH;
      address.TargetId = TESTBUS_TARGET;
      address.Lun = TESTBUS_LUN;
      Answer(Irp, &address, sizeof(address));
      return STATUS_SUCCESS;
    }
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// The test program's requests to the bus itself.
NTSTATUS BusDeviceControl(PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  KIRQL irql;
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTBUS_FAIL_NEXT:
      if (location->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
      }
      KeAcquireSpinLock(&g_instrument.Lock, &irql);
      g_instrument.FailNext = *(PULONG)buffer;
      KeReleaseSpinLock(&g_instrument.Lock, irql);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_TESTBUS_GET_STATS:
      if (location->Parameters.DeviceIoControl.OutputBufferLength < sizeof(TESTBUS_STATS)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      KeAcquireSpinLock(&g_instrument.Lock, &irql);
      RtlCopyMemory(buffer, &g_instrument.Stats, sizeof(TESTBUS_STATS));
      KeReleaseSpinLock(&g_instrument.Lock, irql);
      return Complete(Irp, STATUS_SUCCESS, sizeof(TESTBUS_STATS));
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// ------------------------------------------------------------------ Plug and Play

// A copy of Text (several NUL-ended strings, Length characters in all, the
// last NUL included) in paged pool, as the manager frees it.
PWCHAR PoolText(const WCHAR* Text, SIZE_T Length) {
  PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Length * sizeof(WCHAR), TESTBUS_TAG);
  if (copy != NULL) RtlCopyMemory(copy, Text, Length * sizeof(WCHAR));
  return copy;
}

NTSTATUS PdoPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:  // the PDO stays while the bus reports it
      return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_ID: {
      const WCHAR* text = NULL;
      SIZE_T length = 0;
      switch (location->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          text = TESTBUS_CHILD_DEVICE_ID;
          length = sizeof(TESTBUS_CHILD_DEVICE_ID) / sizeof(WCHAR);
          break;
        case BusQueryHardwareIDs:
          text = TESTBUS_CHILD_HARDWARE_IDS;
          length = sizeof(TESTBUS_CHILD_HARDWARE_IDS) / sizeof(WCHAR);
          break;
        case BusQueryCompatibleIDs:
          text = TESTBUS_CHILD_COMPATIBLE_IDS;
          length = sizeof(TESTBUS_CHILD_COMPATIBLE_IDS) / sizeof(WCHAR);
          break;
        case BusQueryInstanceID:
          text = L"0";
          length = 2;
          break;
        default:
          return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
      }
      PWCHAR copy = PoolText(text, length);
      return Complete(Irp, copy != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, (ULONG_PTR)copy);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      if (location->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
      }
      static const WCHAR description[] = L"SCSI imaging instrument on the test bus";
      PWCHAR copy = PoolText(description, sizeof(description) / sizeof(WCHAR));
      return Complete(Irp, copy != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, (ULONG_PTR)copy);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Removable = TRUE;
      capabilities->SurpriseRemovalOK = TRUE;
      capabilities->SilentInstall = TRUE;
      capabilities->Address = TESTBUS_TARGET;
      capabilities->UINumber = TESTBUS_TARGET;
      capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS relations =
            (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TESTBUS_TAG);
        if (relations == NULL) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        relations->Count = 1;
        relations->Objects[0] = Device;
        ObReferenceObject(Device);
        return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)relations);
      }
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    default:
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request to the root PDO below and waits for it.
NTSTATUS PassDownAndWait(BusExtension* Bus, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(Bus->Lower, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

NTSTATUS PassDown(BusExtension* Bus, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Bus->Lower, Irp);
}

NTSTATUS ReportChild(BusExtension* Bus, PIRP Irp) {
  if (Bus->Child == NULL) {
    PDEVICE_OBJECT child;
    NTSTATUS status = IoCreateDevice(g_driver, sizeof(BusExtension), NULL, FILE_DEVICE_MASS_STORAGE,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &child);
    if (!NT_SUCCESS(status)) return Complete(Irp, status, 0);
    BusExtension* extension = (BusExtension*)child->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->IsPdo = TRUE;
    extension->Self = child;
    child->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus->Child = child;
  }
  PDEVICE_RELATIONS relations =
      (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TESTBUS_TAG);
  if (relations == NULL) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  relations->Count = 1;
  relations->Objects[0] = Bus->Child;
  ObReferenceObject(Bus->Child);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = (ULONG_PTR)relations;
  return PassDown(Bus, Irp);
}

NTSTATUS BusPnp(BusExtension* Bus, PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = PassDownAndWait(Bus, Irp);
      if (NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED) status = STATUS_SUCCESS;
      Complete(Irp, status, 0);
      // The manager asks for the bus's children when told they changed.
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(Bus->RootPdo, BusRelations);
      return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (location->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportChild(Bus, Irp);
      return PassDown(Bus, Irp);
    case IRP_MN_REMOVE_DEVICE: {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(Bus, Irp);
      if (Bus->LinkMade) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, TESTBUS_LINK_NAME);
        IoDeleteSymbolicLink(&link);
      }
      if (Bus->Child != NULL) IoDeleteDevice(Bus->Child);
      IoDetachDevice(Bus->Lower);
      IoDeleteDevice(Bus->Self);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Bus, Irp);
    default:
      return PassDown(Bus, Irp);
  }
}

// ------------------------------------------------------------------ dispatch

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  BusExtension* extension = (BusExtension*)Device->DeviceExtension;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  switch (location->MajorFunction) {
    case IRP_MJ_PNP:
      return extension->IsPdo ? PdoPnp(Device, Irp) : BusPnp(extension, Irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(Irp);
      if (extension->IsPdo) return Complete(Irp, STATUS_SUCCESS, 0);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(extension->Lower, Irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_SCSI:
      if (!extension->IsPdo) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      return DispatchScsi(Irp);
    case IRP_MJ_DEVICE_CONTROL:
      return extension->IsPdo ? PdoDeviceControl(Irp) : BusDeviceControl(Irp);
    case IRP_MJ_SYSTEM_CONTROL:
      if (extension->IsPdo) return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
      return PassDown(extension, Irp);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI AddBus(PDRIVER_OBJECT Driver, PDEVICE_OBJECT RootPdo) {
  UNICODE_STRING name, link;
  PDEVICE_OBJECT bus;
  RtlInitUnicodeString(&name, TESTBUS_DEVICE_NAME);
  NTSTATUS status = IoCreateDevice(Driver, sizeof(BusExtension), &name, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &bus);
  if (!NT_SUCCESS(status)) return status;
  BusExtension* extension = (BusExtension*)bus->DeviceExtension;
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Self = bus;
  extension->RootPdo = RootPdo;
  extension->Lower = IoAttachDeviceToDeviceStack(bus, RootPdo);
  if (extension->Lower == NULL) {
    IoDeleteDevice(bus);
    return STATUS_NO_SUCH_DEVICE;
  }
  RtlInitUnicodeString(&link, TESTBUS_LINK_NAME);
  extension->LinkMade = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
  bus->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  bus->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { PsRemoveLoadImageNotifyRoutine(ImageLoaded); }

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  g_driver = Driver;
  KeInitializeSpinLock(&g_instrument.Lock);
  InitializeListHead(&g_instrument.Held);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) Driver->MajorFunction[i] = Dispatch;
  Driver->DriverExtension->AddDevice = AddBus;
  Driver->DriverUnload = Unload;
  return PsSetLoadImageNotifyRoutine(ImageLoaded);
}
