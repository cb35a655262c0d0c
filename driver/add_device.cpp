// Device creation and the still-image device interface.
#include "driver.h"

// The number the next device added is named by; never given twice in a load
// of the driver.
DRIVER_IMAGE_DATA ULONG NextDeviceNumber = 0;

// Creates the device object for one instrument, attaches it above the port
// driver's PDO, sets the defaults and announces the interface. The device is
// not started: requests of handles are refused until the start succeeds.
PAGED_ROUTINE NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  CHAR nameText[64];
  ANSI_STRING ansiName;
  UNICODE_STRING deviceName;
  PDEVICE_OBJECT deviceObject = NULL;
  PDEVICE_EXTENSION extension;
  NTSTATUS status;

  PAGED_CODE();

  FormatDeviceText(DeviceObjectName, NextDeviceNumber, nameText, sizeof(nameText));
  RtlInitAnsiString(&ansiName, nameText);
  status = RtlAnsiStringToUnicodeString(&deviceName, &ansiName, TRUE);
  if (!NT_SUCCESS(status)) {
    // No name, no device: nothing has been created yet.
    return status;
  }

  status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_SCANNER, 0,
                          FALSE, &deviceObject);
  RtlFreeUnicodeString(&deviceName);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

  extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
  RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
  // The remove event and the bias exist from the start of the device's life,
  // not only from its first start: a create or power request before any
  // start, or a removal of a device never started, then counts, sets and
  // waits on an initialised event as after a start. The event is never
  // initialised again: requests may be counted at any moment from here on.
  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  IncrementIoCount(deviceObject);
  extension->BiasHeld = TRUE;

  extension->StackDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  if (extension->StackDeviceObject == NULL) {
    IoDeleteDevice(deviceObject);
    return STATUS_NOT_SUPPORTED;
  }

  extension->LastSrbError = 0;
  extension->DeviceNumber = NextDeviceNumber;
  extension->PhysicalDeviceObject = PhysicalDeviceObject;
  extension->SrbFlags = STILLSCSI_DEFAULT_SRB_FLAGS;
  extension->TimeOutValue = STILLSCSI_DEFAULT_TIMEOUT;

  // A device whose interface cannot be registered is still served through
  // its symbolic link, so the outcome is not looked at.
  SetDeviceInterface(PhysicalDeviceObject, &extension->InterfaceName, TRUE);

  NextDeviceNumber++;
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// Enable: registers the interface (the kernel allocates InterfaceName's
// buffer, owned by the caller from then on) and enables it.
// Disable: disables it and frees the name; the null Buffer left behind makes
// a second call do nothing.
NTSTATUS SetDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING InterfaceName,
                            BOOLEAN Enable) {
  NTSTATUS status = STATUS_SUCCESS;

  if (Enable) {
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_IMAGE, NULL, InterfaceName);
    if (NT_SUCCESS(status)) {
      IoSetDeviceInterfaceState(InterfaceName, TRUE);
    }
  } else if (InterfaceName->Buffer != NULL) {
    IoSetDeviceInterfaceState(InterfaceName, FALSE);
    RtlFreeUnicodeString(InterfaceName);
    InterfaceName->Buffer = NULL;
  }
  return status;
}
