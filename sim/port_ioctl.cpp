// The simulated port driver's device controls: the adapter-property and
// address queries, and scripted failures.
#include "port_driver.h"

#include <algorithm>
#include <cstring>

namespace sim {

NTSTATUS PortDriver::DispatchIoctl(int unit, PIRP irp, KIRQL irql) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ReceivedRequest request;
  request.major = location->MajorFunction;
  request.ioControlCode = location->Parameters.DeviceIoControl.IoControlCode;
  request.inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  request.outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  request.presetStatus = irp->IoStatus.Status;
  request.file = location->FileObject;
  request.irql = irql;
  request.unit = unit;
  if (METHOD_FROM_CTL_CODE(request.ioControlCode) != METHOD_NEITHER && irp->AssociatedIrp.SystemBuffer != nullptr) {
    const uint8_t* input = (const uint8_t*)irp->AssociatedIrp.SystemBuffer;
    request.input.assign(input, input + request.inputLength);
  }
  Job job{irp, 0, unit, config_.ioctl, false};
  {
    std::lock_guard<std::mutex> lock(mu_);
    job.record = requests_.size();
    requests_.push_back(std::move(request));
    if (!ioctlCompletions_.empty()) {
      job.how = ioctlCompletions_.front();
      ioctlCompletions_.pop_front();
    }
    if (PendLocked(job)) return STATUS_PENDING;
  }
  return CompleteNow(job);
}

void PortDriver::AnswerIoctl(const Job& job) {
  PIRP irp = job.irp;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  bool unplugged;
  {
    std::lock_guard<std::mutex> lock(mu_);
    unplugged = units_[job.unit]->unplugged;
    auto script = ioctlScript_.find(code);
    if (!unplugged && script != ioctlScript_.end() && !script->second.empty()) {
      status = script->second.front();
      script->second.pop_front();
    }
  }
  if (unplugged) {
    status = answers_.load(std::memory_order_acquire)->UnpluggedStatus();
  } else if (!NT_SUCCESS(status)) {
    // a scripted failure
  } else if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
    auto* query = (const STORAGE_PROPERTY_QUERY*)buffer;
    if (inputLength < sizeof(STORAGE_PROPERTY_QUERY)) {
      status = STATUS_INVALID_PARAMETER;
    } else if (query->PropertyId != StorageAdapterProperty || query->QueryType != PropertyStandardQuery) {
      status = STATUS_NOT_SUPPORTED;
    } else if (outputLength < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      ULONG count = std::min(outputLength, config_.descriptorSize);
      std::vector<uint8_t> bytes(std::max<size_t>(count, sizeof(STORAGE_ADAPTER_DESCRIPTOR)), 0);
      STORAGE_ADAPTER_DESCRIPTOR descriptor{};
      descriptor.Version = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
      descriptor.Size = config_.descriptorSize;
      descriptor.MaximumTransferLength = config_.maximumTransferLength;
      descriptor.MaximumPhysicalPages = config_.maximumPhysicalPages;
      descriptor.AlignmentMask = 3;
      descriptor.CommandQueueing = TRUE;
      descriptor.AcceleratedTransfer = TRUE;
      descriptor.BusType = 1;  // SCSI
      descriptor.BusMajorVersion = 2;
      std::memcpy(bytes.data(), &descriptor, sizeof(descriptor));
      std::memcpy(buffer, bytes.data(), count);
      information = count;
    }
  } else if (code == IOCTL_SCSI_GET_ADDRESS) {
    if (outputLength < sizeof(SCSI_ADDRESS)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), config_.portNumber, config_.pathId, units_.at(job.unit)->targetId,
                           config_.lun};
      std::memcpy(buffer, &address, sizeof(address));
      information = sizeof(address);
    }
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  std::lock_guard<std::mutex> lock(mu_);
  requests_[job.record].status = status;
}

}  // namespace sim
