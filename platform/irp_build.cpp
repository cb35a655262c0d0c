// Building requests and their buffering: the device controls the I/O
// manager builds for drivers (IoBuildDeviceIoControlRequest) and for
// applications share one routine that buffers them by method; at the top of
// a request the I/O manager gives the buffers back.
#include <cstring>
#include <string>

#include "io_internal.h"
#include "world.h"

namespace host {

namespace {

// The bytes behind the sender's input: the backing store of a user address,
// or the kernel address itself.
const void* InputBytes(World& world, const ControlBuffers& buffers) {
  return buffers.mode == UserMode ? world.user.Backing(buffers.input) : buffers.input;
}

void* SystemBuffer(World& world, ULONG length, const ControlBuffers& buffers) {
  return world.pool.Allocate(NonPagedPool, length, kSystemBufferTag, buffers.routine, buffers.caller, false);
}

// An application's buffers must be ones it can reach, or the system service
// fails the request before any driver sees it. A kernel sender's are taken
// as given.
NTSTATUS CheckUserBuffers(World& world, ULONG method, const ControlBuffers& buffers) {
  if (buffers.mode != UserMode) return STATUS_SUCCESS;
  if (buffers.inputLength != 0 && !world.user.Accessible(buffers.input, buffers.inputLength, Access::Read)) {
    return STATUS_ACCESS_VIOLATION;
  }
  if (method == METHOD_BUFFERED && buffers.outputLength != 0 &&
      !world.user.Accessible(buffers.output, buffers.outputLength, Access::ReadWrite)) {
    return STATUS_ACCESS_VIOLATION;
  }
  return STATUS_SUCCESS;
}

// METHOD_BUFFERED: one system buffer as large as the larger of the two, the
// input copied in; the output is copied back at the top.
void BufferBoth(World& world, PIRP irp, const ControlBuffers& buffers) {
  ULONG length = buffers.inputLength > buffers.outputLength ? buffers.inputLength : buffers.outputLength;
  if (length != 0) {
    irp->AssociatedIrp.SystemBuffer = SystemBuffer(world, length, buffers);
    if (buffers.input != nullptr && buffers.inputLength != 0) {
      std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBytes(world, buffers), buffers.inputLength);
    }
  }
  irp->UserBuffer = buffers.output;
}

// A kernel sender's output locked into an MDL; it must be reachable.
void LockKernelBuffer(World& world, PIRP irp, const ControlBuffers& buffers, LOCK_OPERATION operation) {
  PMDL mdl = world.mdls.Create(buffers.output, buffers.outputLength, true);
  try {
    MmProbeAndLockPages(mdl, KernelMode, operation);
  } catch (const HostRaisedStatus&) {
    Violation(rule::kBadArgument, buffers.routine, buffers.output, "output buffer not accessible");
  }
  irp->MdlAddress = mdl;
}

// METHOD_IN_DIRECT and METHOD_OUT_DIRECT: the input in a system buffer, the
// output locked into an MDL for reading or writing.
NTSTATUS BufferDirect(World& world, PIRP irp, ULONG method, const ControlBuffers& buffers) {
  if (buffers.inputLength != 0) {
    irp->AssociatedIrp.SystemBuffer = SystemBuffer(world, buffers.inputLength, buffers);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBytes(world, buffers), buffers.inputLength);
  }
  LOCK_OPERATION operation = method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
  if (buffers.mode == UserMode) {
    return buffers.outputLength != 0 ? LockUserBuffer(world, irp, buffers.output, buffers.outputLength, operation)
                                     : STATUS_SUCCESS;
  }
  if (buffers.output != nullptr && buffers.outputLength != 0) LockKernelBuffer(world, irp, buffers, operation);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS LockUserBuffer(World& world, PIRP irp, const void* buffer, ULONG length, LOCK_OPERATION operation) {
  PMDL mdl = world.mdls.Create((PVOID)buffer, length, true);
  try {
    MmProbeAndLockPages(mdl, UserMode, operation);
  } catch (const HostRaisedStatus& raised) {
    world.mdls.Free(mdl, "I/O manager");
    return raised.Status;
  }
  irp->MdlAddress = mdl;
  return STATUS_SUCCESS;
}

NTSTATUS BufferDeviceControl(World& world, PIRP irp, PIO_STACK_LOCATION next, ULONG code,
                             const ControlBuffers& buffers) {
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = buffers.inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = buffers.outputLength;
  ULONG method = METHOD_FROM_CTL_CODE(code);
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)buffers.input;
    irp->UserBuffer = buffers.output;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = CheckUserBuffers(world, method, buffers);
  if (!NT_SUCCESS(status)) return status;
  if (method == METHOD_BUFFERED) {
    BufferBoth(world, irp, buffers);
    return STATUS_SUCCESS;
  }
  return BufferDirect(world, irp, method, buffers);
}

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
  host::BufferDeviceControl(world, irp, next, IoControlCode,
                            {KernelMode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                             "IoBuildDeviceIoControlRequest", __builtin_return_address(0)});
  record->systemBuffer = irp->AssociatedIrp.SystemBuffer;
  if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_BUFFERED) {
    record->outputBuffer = OutputBuffer;
    record->outputLength = OutputBufferLength;
    record->copyBack = OutputBufferLength != 0;
  }
  return irp;
}

}  // extern "C"
