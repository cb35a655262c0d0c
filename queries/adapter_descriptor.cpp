// The storage adapter's descriptor, whose transfer limits size every chunk.
#include "queries.h"

// The descriptor's fields the driver reads (MaximumTransferLength and
// MaximumPhysicalPages) end at byte 16; a shorter descriptor is refused.
#define MINIMUM_ADAPTER_DESCRIPTOR_SIZE 16

static VOID BuildPropertyQuery(PSTORAGE_PROPERTY_QUERY Query, STORAGE_PROPERTY_ID PropertyId) {
  RtlZeroMemory(Query, sizeof(STORAGE_PROPERTY_QUERY));
  Query->PropertyId = PropertyId;
  Query->QueryType = PropertyStandardQuery;
}

PAGED_ROUTINE NTSTATUS GetAdapterDescriptor(PDEVICE_OBJECT DeviceObject, PSTORAGE_PROPERTY_ID PropertyId,
                                            PSTORAGE_ADAPTER_DESCRIPTOR* Descriptor) {
  STORAGE_PROPERTY_QUERY query;
  STORAGE_DESCRIPTOR_HEADER header;
  IO_STATUS_BLOCK ioStatus;
  PKEVENT event;
  PSTORAGE_ADAPTER_DESCRIPTOR buffer = NULL;
  NTSTATUS status;

  PAGED_CODE();

  *Descriptor = NULL;

  event = (PKEVENT)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), STILLSCSI_POOL_TAG);
  if (event == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(event, SynchronizationEvent, FALSE);

  // First pass: the header alone, for the descriptor's full size. Only
  // the bytes the port says it wrote are its answer.
  RtlZeroMemory(&header, sizeof(header));
  BuildPropertyQuery(&query, *PropertyId);
  status = SendDeviceControlSync(DeviceObject, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header,
                                 sizeof(header), event, &ioStatus);
  if (NT_SUCCESS(status) &&
      (ioStatus.Information < sizeof(header) || header.Size < MINIMUM_ADAPTER_DESCRIPTOR_SIZE)) {
    status = STATUS_DEVICE_PROTOCOL_ERROR;
  }

  // Second pass: the whole descriptor, into a buffer of exactly that size.
  if (NT_SUCCESS(status)) {
    buffer = (PSTORAGE_ADAPTER_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPoolNx, header.Size, STILLSCSI_POOL_TAG);
    if (buffer == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlZeroMemory(buffer, header.Size);
      BuildPropertyQuery(&query, *PropertyId);
      status = SendDeviceControlSync(DeviceObject, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer,
                                     header.Size, event, &ioStatus);
      if (NT_SUCCESS(status) && ioStatus.Information < MINIMUM_ADAPTER_DESCRIPTOR_SIZE) {
        status = STATUS_DEVICE_PROTOCOL_ERROR;
      }
      if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, STILLSCSI_POOL_TAG);
        buffer = NULL;
      }
    }
  }

  ExFreePoolWithTag(event, STILLSCSI_POOL_TAG);
  *Descriptor = buffer;
  return status;
}
