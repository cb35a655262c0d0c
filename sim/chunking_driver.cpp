#include "chunking_driver.h"

#include <cstring>

namespace sim {

namespace {

constexpr ULONG kContextTag = host::Tag("ToyC");

struct Extension {
  PDEVICE_OBJECT lower;
  ULONG chunkLength;
};

// One request in flight: its SRB and how far the transfer has come. Owned
// by the request; freed by the completion that ends it.
struct Transfer {
  SCSI_REQUEST_BLOCK srb;
  PDEVICE_OBJECT lower;
  ULONG_PTR next;       // address of the next data byte, in the MDL's range
  ULONG remaining;
  ULONG moved;
  ULONG chunkLength;
  ULONG direction;      // SRB_FLAGS_DATA_IN or SRB_FLAGS_DATA_OUT
  UCHAR opcode;
};

NTSTATUS ChunkDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Fills the SRB for the chunk at Next and sends the request down with it.
void SendChunk(PIRP irp, Transfer* transfer) {
  ULONG length = transfer->remaining < transfer->chunkLength ? transfer->remaining : transfer->chunkLength;
  SCSI_REQUEST_BLOCK& srb = transfer->srb;
  std::memset(&srb, 0, sizeof(srb));
  srb.Length = sizeof(srb);
  srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
  srb.QueueAction = SRB_SIMPLE_TAG_REQUEST;
  srb.CdbLength = 6;
  srb.SrbFlags = transfer->direction;
  srb.DataTransferLength = length;
  srb.TimeOutValue = 60;
  srb.DataBuffer = (PVOID)transfer->next;
  srb.OriginalRequest = irp;
  srb.Cdb[0] = transfer->opcode;
  srb.Cdb[2] = (UCHAR)(length >> 16);
  srb.Cdb[3] = (UCHAR)(length >> 8);
  srb.Cdb[4] = (UCHAR)length;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_SCSI;
  next->MinorFunction = 0;
  next->Parameters.Scsi.Srb = &srb;
  IoSetCompletionRoutine(irp, ChunkDone, transfer, TRUE, TRUE, FALSE);
  IoCallDriver(transfer->lower, irp);
}

NTSTATUS ChunkDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* transfer = (Transfer*)context;
  bool good = SRB_STATUS(transfer->srb.SrbStatus) == SRB_STATUS_SUCCESS;
  if (good) {
    ULONG moved = transfer->srb.DataTransferLength;
    transfer->moved += moved;
    transfer->remaining -= moved;
    transfer->next += moved;
    if (transfer->remaining != 0 && moved != 0) {
      SendChunk(irp, transfer);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  }
  irp->IoStatus.Status = good ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
  irp->IoStatus.Information = good ? transfer->moved : 0;
  ExFreePoolWithTag(transfer, kContextTag);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return irp->IoStatus.Status;
}

// Completes a request that moves no data, with Status.
NTSTATUS CompleteWithoutData(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = (Extension*)device->DeviceExtension;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return CompleteWithoutData(irp, STATUS_SUCCESS);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      break;
    default:
      return CompleteWithoutData(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  ULONG length = location->Parameters.Read.Length;
  if (length == 0 || irp->MdlAddress == nullptr) return CompleteWithoutData(irp, STATUS_INVALID_PARAMETER);
  auto* transfer = (Transfer*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Transfer), kContextTag);
  if (transfer == nullptr) return CompleteWithoutData(irp, STATUS_INSUFFICIENT_RESOURCES);
  bool read = location->MajorFunction == IRP_MJ_READ;
  transfer->lower = extension->lower;
  transfer->next = (ULONG_PTR)MmGetMdlVirtualAddress(irp->MdlAddress);
  transfer->remaining = length;
  transfer->moved = 0;
  transfer->chunkLength = extension->chunkLength;
  transfer->direction = read ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT;
  transfer->opcode = read ? 0x08 : 0x0A;
  IoMarkIrpPending(irp);
  SendChunk(irp, transfer);
  return STATUS_PENDING;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& entry : driver->MajorFunction) entry = Dispatch;
  return STATUS_SUCCESS;
}

}  // namespace

ChunkingDriver::ChunkingDriver(host::World& world, PDEVICE_OBJECT pdo, ULONG chunkLength, std::string name)
    : world_(world), name_(std::move(name)), chunkLength_(chunkLength) {
  driver_ = world_.LoadDriver(name_, Entry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name_);
  std::u16string deviceName = host::Utf16("\\Device\\" + name_);
  UNICODE_STRING unicodeName{(USHORT)(deviceName.size() * 2), (USHORT)(deviceName.size() * 2), deviceName.data()};
  std::u16string linkName = host::Utf16("\\DosDevices\\" + name_);
  UNICODE_STRING unicodeLink{(USHORT)(linkName.size() * 2), (USHORT)(linkName.size() * 2), linkName.data()};
  if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(Extension), &unicodeName, FILE_DEVICE_SCANNER, 0, FALSE, &device_)) ||
      !NT_SUCCESS(IoCreateSymbolicLink(&unicodeLink, &unicodeName))) {
    host::Violation(host::rule::kBadArgument, "ChunkingDriver", pdo, "cannot create the toy's device");
  }
  lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
  auto* extension = (Extension*)device_->DeviceExtension;
  extension->lower = lower_;
  extension->chunkLength = chunkLength_;
  device_->Flags |= DO_DIRECT_IO | (pdo->Flags & DO_POWER_PAGABLE);
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

ChunkingDriver::~ChunkingDriver() {
  std::u16string linkName = host::Utf16("\\DosDevices\\" + name_);
  UNICODE_STRING unicodeLink{(USHORT)(linkName.size() * 2), (USHORT)(linkName.size() * 2), linkName.data()};
  IoDeleteSymbolicLink(&unicodeLink);
  IoDetachDevice(lower_);
  IoDeleteDevice(device_);
  world_.UnloadDriver(driver_);
}

}  // namespace sim
