// A root-enumerated test bus driver for running stillscsi.sys under Wine's
// kernel emulation. It reports one child, the imaging instrument, and
// answers what a SCSI port driver answers for it: SRBs (data through the
// request's MDL, status, sense, queue freeze and release), the adapter
// property query, the SCSI address, create, close, Plug and Play and power.
// The SRBs' commands are carried out by a user-mode scanner server through
// an inverted call (testbus_ioctl.h); the bus keeps the queue, the freeze
// and the scripted failures itself. Test-only, never shipped.
//
// Wine 8 lacks a few kernel routines the driver imports. When the driver's
// image loads, this bus points those entries of its import table at stand-ins
// of its own; the image file itself is not changed. Drivers run in one host
// process there, so the MDL's own address reaches the data; an
// application's memory is reachable only through a section mapped at the
// same address in both processes (IOCTL_TESTBUS_MAP_SECTION).
#include "kernel.h"  // the kernel headers, as the driver includes them

#include <ddk/ntimage.h>

#include "testbus_ioctl.h"

#define TESTBUS_TAG 0x42747354  // "TstB"

// Exported by the kernel; the kernel headers leave it undeclared.
extern "C" NTSYSAPI VOID NTAPI RtlRaiseException(PEXCEPTION_RECORD ExceptionRecord);

namespace {

struct BusExtension {
  BOOLEAN IsPdo;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;  // bus: the device below
  PDEVICE_OBJECT RootPdo;  // bus: the PDO it was added for
  PDEVICE_OBJECT Child;  // bus: the instrument's PDO, once reported
  BOOLEAN LinkMade;
};

// The SCSI unit: its queue, which freezes on a failure until a release, and
// the scanner server that answers its SRBs.
struct Instrument {
  KSPIN_LOCK Lock;
  BOOLEAN Frozen;
  LIST_ENTRY Waiting;     // SRBs in arrival order, not yet with the server; held while frozen
  PIRP InService;         // the SRB the server has, or none
  ULONG InServiceTag;
  ULONG InServiceAge;     // ticks since the server took it
  PIRP ServerRequest;     // the server's pending IOCTL_TESTBUS_NEXT_SRB
  PFILE_OBJECT ServerFile;
  BOOLEAN StopAsked;      // a stop came while no NEXT_SRB was pending
  ULONG NextTag;
  ULONG FailNext;
  TESTBUS_STATS Stats;
};

// A view of an application's section, mapped at the application's address.
struct SharedView {
  PVOID Base;
  SIZE_T Size;
};

const ULONG kTickMs = 100;
const ULONG kMaximumViews = 4;

Instrument g_instrument;
PDRIVER_OBJECT g_driver;
SharedView g_views[kMaximumViews];
FAST_MUTEX g_viewsLock;
KEVENT g_stopTicks;
PVOID g_ticker;  // the thread that ends SRBs nobody serves

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

// True when the Length bytes at Address lie inside one mapped view.
BOOLEAN InSharedView(ULONG_PTR Address, ULONG Length) {
  BOOLEAN inside = FALSE;
  ExAcquireFastMutex(&g_viewsLock);
  for (const SharedView& view : g_views) {
    ULONG_PTR base = (ULONG_PTR)view.Base;
    if (base != 0 && Address >= base && Address - base <= view.Size && Length <= view.Size - (Address - base)) {
      inside = TRUE;
    }
  }
  ExReleaseFastMutex(&g_viewsLock);
  return inside;
}

// Wine's does nothing. A touch of each page raises an access violation on a
// page this process does not have, which the driver's guarded probe catches.
// A caller's page that this process happens to have is refused unless it
// lies in a view of the caller's sense section: everything else of the
// caller's memory is not what lies at that address here.
VOID NTAPI StandInProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION) {
  volatile UCHAR* at = (volatile UCHAR*)MmGetMdlVirtualAddress(Mdl);
  ULONG length = MmGetMdlByteCount(Mdl);
  if (AccessMode == UserMode) InterlockedIncrement((LONG*)&g_instrument.Stats.Probes);
  for (ULONG offset = 0; offset < length; offset += PAGE_SIZE) (void)at[offset];
  if (length != 0) (void)at[length - 1];
  if (AccessMode == UserMode && !InSharedView((ULONG_PTR)at, length)) {
    InterlockedIncrement((LONG*)&g_instrument.Stats.ProbesRefused);
    // Wine's ExRaiseStatus is a stub that ends the process; its
    // RtlRaiseException raises.
    EXCEPTION_RECORD record;
    RtlZeroMemory(&record, sizeof(record));
    record.ExceptionCode = STATUS_ACCESS_VIOLATION;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = (PVOID)StandInProbeAndLockPages;
    RtlRaiseException(&record);
  }
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

PSCSI_REQUEST_BLOCK SrbOf(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb; }

// Ticks an SRB has waited for a server, kept in the request while the bus
// owns it.
PVOID& AgeOf(PIRP Irp) { return Irp->Tail.Overlay.DriverContext[0]; }
ULONG Age(PIRP Irp) { return (ULONG)(ULONG_PTR)AgeOf(Irp); }

BOOLEAN IsTransfer(UCHAR Operation) {
  return Operation == 0x08 || Operation == 0x0A || Operation == 0x28 || Operation == 0x2A;
}

// Completes an SRB with what the unit reported; sets the request's status
// from the SRB's as a SCSI port driver does.
VOID FinishSrb(PIRP Irp) {
  PSCSI_REQUEST_BLOCK srb = SrbOf(Irp);
  BOOLEAN succeeded = SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SUCCESS;
  Complete(Irp, succeeded ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR, srb->DataTransferLength);
}

// The target did not answer: no data, no status, no sense, no freeze.
VOID FailUnanswered(PIRP Irp) {
  PSCSI_REQUEST_BLOCK srb = SrbOf(Irp);
  srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
  srb->ScsiStatus = SCSISTAT_GOOD;
  srb->SenseInfoBufferLength = 0;
  srb->DataTransferLength = 0;
  FinishSrb(Irp);
}

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

// Takes the server's pending NEXT_SRB unless its cancellation has begun
// (then the cancel routine completes it). Lock held.
PIRP TakeServerRequestLocked() {
  Instrument& unit = g_instrument;
  PIRP request = unit.ServerRequest;
  if (request == NULL || IoSetCancelRoutine(request, NULL) == NULL) return NULL;
  unit.ServerRequest = NULL;
  return request;
}

// What the queue does next, lock held: an SRB scripted to fail fails at
// once; otherwise the first SRB the queue may run goes to a waiting server.
// SRBs to complete go on Done; the server request to complete and the
// length of its record are returned.
PIRP PumpLocked(PLIST_ENTRY Done, ULONG* RecordLength) {
  Instrument& unit = g_instrument;
  *RecordLength = 0;
  for (PLIST_ENTRY entry = unit.Waiting.Flink; entry != &unit.Waiting;) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    PSCSI_REQUEST_BLOCK srb = SrbOf(irp);
    PLIST_ENTRY next = entry->Flink;
    if (unit.Frozen && !(srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE)) {
      entry = next;
      continue;
    }
    if (IsTransfer(srb->Cdb[0]) && unit.FailNext != 0) {
      RemoveEntryList(entry);
      --unit.FailNext;
      ++unit.Stats.Failed;
      FailWithHardwareError(srb);
      unit.Frozen = TRUE;
      InsertTailList(Done, entry);
      entry = next;
      continue;
    }
    if (unit.InService != NULL) return NULL;
    PIRP request = TakeServerRequestLocked();
    if (request == NULL) return NULL;
    RemoveEntryList(entry);
    unit.InService = irp;
    unit.InServiceTag = ++unit.NextTag;
    unit.InServiceAge = 0;
    TESTBUS_SRB* record = (TESTBUS_SRB*)request->AssociatedIrp.SystemBuffer;
    RtlZeroMemory(record, TESTBUS_SRB_HEADER);
    record->Tag = unit.InServiceTag;
    record->SrbFlags = srb->SrbFlags;
    record->DataTransferLength = srb->DataTransferLength;
    record->CdbLength = srb->CdbLength;
    RtlCopyMemory(record->Cdb, srb->Cdb, sizeof(record->Cdb));
    *RecordLength = TESTBUS_SRB_HEADER;
    if ((srb->SrbFlags & SRB_FLAGS_DATA_OUT) && srb->DataBuffer != NULL) {
      RtlCopyMemory(record->Data, srb->DataBuffer, srb->DataTransferLength);
      *RecordLength += srb->DataTransferLength;
      unit.Stats.WrittenBytes += srb->DataTransferLength;
    }
    return request;
  }
  return NULL;
}

// Unlocks, then completes what PumpLocked gave.
VOID PumpAndUnlock(KIRQL Irql) {
  LIST_ENTRY done;
  ULONG length;
  InitializeListHead(&done);
  PIRP request = PumpLocked(&done, &length);
  KeReleaseSpinLock(&g_instrument.Lock, Irql);
  while (!IsListEmpty(&done)) FinishSrb(CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry));
  if (request != NULL) Complete(request, STATUS_SUCCESS, length);
}

NTSTATUS DispatchScsi(PIRP Irp) {
  Instrument& unit = g_instrument;
  PSCSI_REQUEST_BLOCK srb = SrbOf(Irp);
  KIRQL irql;

  if (srb->Function == SRB_FUNCTION_RELEASE_QUEUE) {
    KeAcquireSpinLock(&unit.Lock, &irql);
    ++unit.Stats.Releases;
    unit.Frozen = FALSE;
    // What the freeze held waits for the server afresh.
    for (PLIST_ENTRY entry = unit.Waiting.Flink; entry != &unit.Waiting; entry = entry->Flink) {
      AgeOf(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry)) = NULL;
    }
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    PumpAndUnlock(irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
  }
  if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
    srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  IoMarkIrpPending(Irp);
  AgeOf(Irp) = NULL;
  KeAcquireSpinLock(&unit.Lock, &irql);
  ++unit.Stats.Srbs;
  if (srb->DataTransferLength > unit.Stats.LargestTransfer) unit.Stats.LargestTransfer = srb->DataTransferLength;
  InsertTailList(&unit.Waiting, &Irp->Tail.Overlay.ListEntry);
  PumpAndUnlock(irql);
  return STATUS_PENDING;
}

// The server's answer: the SRB in service completes as a SCSI port driver
// completes it (see sim/port_scsi.cpp, which maps the same outcome).
NTSTATUS AnswerSrb(PIRP Irp) {
  Instrument& unit = g_instrument;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  const TESTBUS_ANSWER* answer = (const TESTBUS_ANSWER*)Irp->AssociatedIrp.SystemBuffer;
  KIRQL irql;

  if (inputLength < TESTBUS_ANSWER_HEADER) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  KeAcquireSpinLock(&unit.Lock, &irql);
  PIRP irp = unit.InService;
  if (irp == NULL || answer->Tag != unit.InServiceTag) {
    KeReleaseSpinLock(&unit.Lock, irql);
    return Complete(Irp, STATUS_NOT_FOUND, 0);
  }
  PSCSI_REQUEST_BLOCK srb = SrbOf(irp);
  BOOLEAN in = (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
  ULONG moved = answer->BytesTransferred < srb->DataTransferLength ? answer->BytesTransferred : srb->DataTransferLength;
  if (in && inputLength - TESTBUS_ANSWER_HEADER < moved) {
    KeReleaseSpinLock(&unit.Lock, irql);
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  unit.InService = NULL;
  ++unit.Stats.Served;
  if (in && moved != 0 && srb->DataBuffer != NULL) {
    RtlCopyMemory(srb->DataBuffer, answer->Data, moved);
    unit.Stats.ReadBytes += moved;
  }
  UCHAR status = (UCHAR)(answer->SrbStatus & 0x3F);
  srb->ScsiStatus = answer->ScsiStatus;
  UCHAR senseLength = 0;
  if (answer->SenseLength != 0 && !(srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) && srb->SenseInfoBuffer != NULL &&
      srb->SenseInfoBufferLength != 0) {
    senseLength = answer->SenseLength < TESTBUS_SENSE_BYTES ? answer->SenseLength : TESTBUS_SENSE_BYTES;
    if (senseLength > srb->SenseInfoBufferLength) senseLength = srb->SenseInfoBufferLength;
    RtlCopyMemory(srb->SenseInfoBuffer, answer->Sense, senseLength);
    status |= SRB_STATUS_AUTOSENSE_VALID;
  }
  srb->SenseInfoBufferLength =
      (answer->Flags & TESTBUS_ANSWER_REPORTS_SENSE_LENGTH) ? answer->ReportedSenseLength : senseLength;
  srb->DataTransferLength = moved;
  if (SRB_STATUS(status) != SRB_STATUS_SUCCESS && !(srb->SrbFlags & SRB_FLAGS_NO_QUEUE_FREEZE)) {
    unit.Frozen = TRUE;
    status |= SRB_STATUS_QUEUE_FROZEN;
  }
  srb->SrbStatus = status;
  PumpAndUnlock(irql);
  FinishSrb(irp);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

VOID NTAPI CancelServerRequest(PDEVICE_OBJECT, PIRP Irp) {
  KIRQL irql;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KeAcquireSpinLock(&g_instrument.Lock, &irql);
  if (g_instrument.ServerRequest == Irp) g_instrument.ServerRequest = NULL;
  KeReleaseSpinLock(&g_instrument.Lock, irql);
  Complete(Irp, STATUS_CANCELLED, 0);
}

// The server asks for the next SRB: pending until one comes.
NTSTATUS NextSrb(PIRP Irp) {
  Instrument& unit = g_instrument;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  KIRQL irql;

  if (location->Parameters.DeviceIoControl.OutputBufferLength < sizeof(TESTBUS_SRB)) {
    return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  KeAcquireSpinLock(&unit.Lock, &irql);
  if (unit.StopAsked) {
    unit.StopAsked = FALSE;
    KeReleaseSpinLock(&unit.Lock, irql);
    TESTBUS_SRB* record = (TESTBUS_SRB*)Irp->AssociatedIrp.SystemBuffer;
    RtlZeroMemory(record, TESTBUS_SRB_HEADER);
    record->Stop = 1;
    return Complete(Irp, STATUS_SUCCESS, TESTBUS_SRB_HEADER);
  }
  if (unit.ServerRequest != NULL) {
    KeReleaseSpinLock(&unit.Lock, irql);
    return Complete(Irp, STATUS_DEVICE_BUSY, 0);
  }
  // A server that asks again without answering has given its SRB up.
  PIRP abandoned = unit.InService;
  unit.InService = NULL;
  if (abandoned != NULL) ++unit.Stats.NoServer;
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, CancelServerRequest);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&unit.Lock, irql);
    if (abandoned != NULL) FailUnanswered(abandoned);
    Complete(Irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  unit.ServerRequest = Irp;
  unit.ServerFile = location->FileObject;
  PumpAndUnlock(irql);
  if (abandoned != NULL) FailUnanswered(abandoned);
  return STATUS_PENDING;
}

NTSTATUS StopServer(PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&g_instrument.Lock, &irql);
  PIRP request = TakeServerRequestLocked();
  if (request == NULL) g_instrument.StopAsked = TRUE;
  KeReleaseSpinLock(&g_instrument.Lock, irql);
  if (request != NULL) {
    TESTBUS_SRB* record = (TESTBUS_SRB*)request->AssociatedIrp.SystemBuffer;
    RtlZeroMemory(record, TESTBUS_SRB_HEADER);
    record->Stop = 1;
    Complete(request, STATUS_SUCCESS, TESTBUS_SRB_HEADER);
  }
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// The server's handle closes: its pending request is cancelled and the SRB
// it had goes unanswered.
VOID ServerGone(PFILE_OBJECT File) {
  KIRQL irql;
  PIRP request = NULL, abandoned = NULL;
  KeAcquireSpinLock(&g_instrument.Lock, &irql);
  if (File != NULL && File == g_instrument.ServerFile) {
    request = TakeServerRequestLocked();
    abandoned = g_instrument.InService;
    g_instrument.InService = NULL;
    g_instrument.ServerFile = NULL;
    if (abandoned != NULL) ++g_instrument.Stats.NoServer;
  }
  KeReleaseSpinLock(&g_instrument.Lock, irql);
  if (request != NULL) Complete(request, STATUS_CANCELLED, 0);
  if (abandoned != NULL) FailUnanswered(abandoned);
}

// Every tick: SRBs that waited too long for a server, or for its answer, end
// unanswered, so that nothing hangs when no server runs.
VOID NTAPI Ticker(PVOID) {
  LARGE_INTEGER tick;
  tick.QuadPart = -(LONGLONG)kTickMs * 10000;
  while (KeWaitForSingleObject(&g_stopTicks, Executive, KernelMode, FALSE, &tick) == STATUS_TIMEOUT) {
    Instrument& unit = g_instrument;
    LIST_ENTRY expired;
    KIRQL irql;
    InitializeListHead(&expired);
    KeAcquireSpinLock(&unit.Lock, &irql);
    for (PLIST_ENTRY entry = unit.Waiting.Flink; entry != &unit.Waiting;) {
      PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      PLIST_ENTRY next = entry->Flink;
      BOOLEAN held = unit.Frozen && !(SrbOf(irp)->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE);
      if (!held) AgeOf(irp) = (PVOID)(ULONG_PTR)(Age(irp) + 1);
      if (!held && Age(irp) * kTickMs >= TESTBUS_SERVER_WAIT_MS) {
        RemoveEntryList(entry);
        InsertTailList(&expired, entry);
        ++unit.Stats.NoServer;
      }
      entry = next;
    }
    if (unit.InService != NULL && ++unit.InServiceAge * kTickMs >= TESTBUS_ANSWER_WAIT_MS) {
      InsertTailList(&expired, &unit.InService->Tail.Overlay.ListEntry);
      unit.InService = NULL;
      ++unit.Stats.NoServer;
    }
    PumpAndUnlock(irql);
    while (!IsListEmpty(&expired)) {
      FailUnanswered(CONTAINING_RECORD(RemoveHeadList(&expired), IRP, Tail.Overlay.ListEntry));
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// ------------------------------------------------------------------ the sense section

// Maps the application's section at the application's address in this
// process, in place of any view there.
NTSTATUS MapSection(PIRP Irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  if (location->Parameters.DeviceIoControl.InputBufferLength < sizeof(TESTBUS_SECTION)) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  TESTBUS_SECTION request = *(const TESTBUS_SECTION*)Irp->AssociatedIrp.SystemBuffer;
  request.Name[RTL_NUMBER_OF(request.Name) - 1] = 0;
  if (request.Address == 0 || request.Address % 0x10000 != 0 || request.Size == 0) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }

  // Win32 names of kernel objects: "Global\" in the system's directory,
  // "Local\" or none in the session's. Wine files an application's objects under
  // \Sessions\1.
  static const WCHAR kGlobal[] = L"Global\\";
  static const WCHAR kLocal[] = L"Local\\";
  const WCHAR* name = request.Name;
  const WCHAR* directories[2] = {L"\\Sessions\\1\\BaseNamedObjects\\", L"\\BaseNamedObjects\\"};
  ULONG tries = 2;
  if (_wcsnicmp(name, kGlobal, RTL_NUMBER_OF(kGlobal) - 1) == 0) {
    name += RTL_NUMBER_OF(kGlobal) - 1;
    directories[0] = directories[1];
    tries = 1;
  } else if (_wcsnicmp(name, kLocal, RTL_NUMBER_OF(kLocal) - 1) == 0) {
    name += RTL_NUMBER_OF(kLocal) - 1;
  }
  HANDLE section = NULL;
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  for (ULONG i = 0; i < tries && !NT_SUCCESS(status); ++i) {
    WCHAR full[160];
    UNICODE_STRING text;
    RtlInitEmptyUnicodeString(&text, full, sizeof(full));
    RtlAppendUnicodeToString(&text, directories[i]);
    RtlAppendUnicodeToString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenSection(&section, SECTION_MAP_READ | SECTION_MAP_WRITE, &attributes);
  }
  if (!NT_SUCCESS(status)) return Complete(Irp, status, 0);

  ExAcquireFastMutex(&g_viewsLock);
  SharedView* slot = NULL;
  for (SharedView& view : g_views) {
    if (view.Base == (PVOID)request.Address) {
      ZwUnmapViewOfSection(NtCurrentProcess(), view.Base);
      view.Base = NULL;
    }
    if (view.Base == NULL && slot == NULL) slot = &view;
  }
  if (slot == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    PVOID base = (PVOID)request.Address;
    SIZE_T size = (SIZE_T)request.Size;
    status = ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 0, NULL, &size, ViewUnmap, 0, PAGE_READWRITE);
    if (NT_SUCCESS(status) && base != (PVOID)request.Address) {
      ZwUnmapViewOfSection(NtCurrentProcess(), base);
      status = STATUS_CONFLICTING_ADDRESSES;
    }
    if (NT_SUCCESS(status)) {
      slot->Base = base;
      slot->Size = size;
      InterlockedIncrement((LONG*)&g_instrument.Stats.SectionsMapped);
    }
  }
  ExReleaseFastMutex(&g_viewsLock);
  ZwClose(section);
  return Complete(Irp, status, 0);
}

VOID UnmapSections() {
  ExAcquireFastMutex(&g_viewsLock);
  for (SharedView& view : g_views) {
    if (view.Base != NULL) ZwUnmapViewOfSection(NtCurrentProcess(), view.Base);
    view.Base = NULL;
  }
  ExReleaseFastMutex(&g_viewsLock);
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
    case IOCTL_TESTBUS_NEXT_SRB:
      return NextSrb(Irp);
    case IOCTL_TESTBUS_ANSWER:
      return AnswerSrb(Irp);
    case IOCTL_TESTBUS_STOP_SERVER:
      return StopServer(Irp);
    case IOCTL_TESTBUS_MAP_SECTION:
      return MapSection(Irp);
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
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      if (!extension->IsPdo) ServerGone(location->FileObject);
      return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CREATE:
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

VOID NTAPI Unload(PDRIVER_OBJECT) {
  PsRemoveLoadImageNotifyRoutine(ImageLoaded);
  KeSetEvent(&g_stopTicks, IO_NO_INCREMENT, FALSE);
  if (g_ticker != NULL) {
    KeWaitForSingleObject(g_ticker, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(g_ticker);
  }
  UnmapSections();
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  g_driver = Driver;
  KeInitializeSpinLock(&g_instrument.Lock);
  InitializeListHead(&g_instrument.Waiting);
  ExInitializeFastMutex(&g_viewsLock);
  KeInitializeEvent(&g_stopTicks, NotificationEvent, FALSE);
  HANDLE thread;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Ticker, NULL);
  if (!NT_SUCCESS(status)) return status;
  ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &g_ticker, NULL);
  ZwClose(thread);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) Driver->MajorFunction[i] = Dispatch;
  Driver->DriverExtension->AddDevice = AddBus;
  Driver->DriverUnload = Unload;
  return PsSetLoadImageNotifyRoutine(ImageLoaded);
}
