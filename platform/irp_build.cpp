// Building requests and their buffering: the device controls the I/O
// manager builds for drivers (IoBuildDeviceIoControlRequest), and the steps
// at the top of a request that give the buffers back.
#include <cstring>
#include <string>

#include "io_internal.h"
#include "world.h"

namespace host {

// The I/O manager's work at the top of a request it built for a driver:
// unlock and free the MDLs, copy buffered output back, free the system
// buffer, and (unless the request failed at once) write the caller's status
// block and set its event.
void FinishThreaded(World& world, PIRP irp, IrpRecord& record) {
  NTSTATUS status = irp->IoStatus.Status;
  ReleaseMdls(irp);
  if (record.copyBack && record.outputBuffer != nullptr) {
    CopyBufferedOutput(irp, record.systemBuffer, record.outputBuffer, record.outputLength);
  }
  if (record.systemBuffer != nullptr) {
    world.pool.Free(record.systemBuffer, kSystemBufferTag, "IofCompleteRequest");
    record.systemBuffer = nullptr;
  }
  if (!(NT_ERROR(status) && !irp->PendingReturned)) {
    if (record.userIosb != nullptr) *record.userIosb = irp->IoStatus;
    if (record.userEvent != nullptr) world.events.Set(record.userEvent);
  }
}

void ReleaseMdls(PIRP irp) {
  World& world = World::Current();
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    world.mdls.Free(mdl, "IofCompleteRequest");
    mdl = next;
  }
  irp->MdlAddress = nullptr;
}

void CopyBufferedOutput(PIRP irp, const void* systemBuffer, void* destination, ULONG outputLength) {
  if (NT_ERROR(irp->IoStatus.Status)) return;
  ULONG_PTR count = irp->IoStatus.Information;
  if (count > outputLength) {
    Report(rule::kBufferedOverrun, "IofCompleteRequest", irp,
           std::to_string(count) + " bytes for a buffer of " + std::to_string(outputLength));
    count = outputLength;
  }
  if (count != 0) std::memcpy(destination, systemBuffer, count);
}

}  // namespace host

using host::IrpRecord;
using host::Violation;
using host::World;
namespace rule = host::rule;

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  host::RequireIrql(APC_LEVEL, "IoBuildDeviceIoControlRequest");
  World& world = World::Current();
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (DeviceObject == nullptr || !world.objects.IsLive(DeviceObject)) {
    Violation(rule::kCallToBadDevice, "IoBuildDeviceIoControlRequest", DeviceObject);
  }
  if (world.faults.Check(host::Fault::BuildDeviceIoControl)) return nullptr;
  PIRP irp = world.irps.Allocate(DeviceObject->StackSize, host::IrpKind::Threaded, false);
  if (irp == nullptr) return nullptr;
  IrpRecord* record = world.irps.Find(irp);
  irp->RequestorMode = KernelMode;
  // The caller's status block is written at completion only; until then it
  // holds a poison that reads as success, so a caller that reads it too
  // early (or after a failure completed at once) goes visibly wrong.
  if (IoStatusBlock != nullptr) {
    IoStatusBlock->Status = host::kStatusBlockPoison;
    IoStatusBlock->Information = 0x5A5A5A5A;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  record->userIosb = IoStatusBlock;
  record->userEvent = Event;
  PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length != 0) {
        void* buffer = world.pool.Allocate(NonPagedPool, length, host::kSystemBufferTag,
                                           "IoBuildDeviceIoControlRequest", __builtin_return_address(0), false);
        if (InputBuffer != nullptr && InputBufferLength != 0) std::memcpy(buffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        record->systemBuffer = buffer;
      }
      irp->UserBuffer = OutputBuffer;
      record->outputBuffer = OutputBuffer;
      record->outputLength = OutputBufferLength;
      record->copyBack = OutputBufferLength != 0;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
      if (InputBufferLength != 0) {
        void* buffer = world.pool.Allocate(NonPagedPool, InputBufferLength, host::kSystemBufferTag,
                                           "IoBuildDeviceIoControlRequest", __builtin_return_address(0), false);
        std::memcpy(buffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        record->systemBuffer = buffer;
      }
      if (OutputBuffer != nullptr && OutputBufferLength != 0) {
        PMDL mdl = world.mdls.Create(OutputBuffer, OutputBufferLength, true);
        LOCK_OPERATION operation =
            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
        try {
          MmProbeAndLockPages(mdl, KernelMode, operation);
        } catch (const HostRaisedStatus&) {
          Violation(rule::kBadArgument, "IoBuildDeviceIoControlRequest", OutputBuffer, "output buffer not accessible");
        }
        irp->MdlAddress = mdl;
      }
      break;
    }
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  return irp;
}

}  // extern "C"
