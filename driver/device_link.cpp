// The names a started device is reached by: the symbolic link to the device
// object, and the open name written to "CreateFileName" in the device's
// driver key.
#include "driver.h"

// Converts the text of Kind for the device into Name, a newly allocated
// UNICODE_STRING that the caller frees with RtlFreeUnicodeString.
static NTSTATUS ConvertDeviceText(DEVICE_TEXT_KIND Kind, ULONG DeviceNumber, PUNICODE_STRING Name) {
  CHAR text[DEVICE_TEXT_CAPACITY];
  ANSI_STRING ansi;

  FormatDeviceText(Kind, DeviceNumber, text, sizeof(text));
  RtlInitAnsiString(&ansi, text);
  return RtlAnsiStringToUnicodeString(Name, &ansi, TRUE);
}

// Writes Text (its Length bytes, no terminating NUL) as the REG_SZ value
// "CreateFileName" of the device's driver key; a key that cannot be opened
// is passed over.
static VOID WriteCreateFileName(PDEVICE_EXTENSION Extension, PUNICODE_STRING Text) {
  HANDLE key;
  UNICODE_STRING valueName;

  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key))) {
    return;
  }
  RtlInitUnicodeString(&valueName, WIDE_TEXT("CreateFileName"));
  ZwSetValueKey(key, &valueName, 0, REG_SZ, Text->Buffer, Text->Length);
  ZwClose(key);
}

// Creates the link and publishes the open name. The link's name is owned by
// the extension's SymbolicLinkName from here until DestroyDeviceLink; when
// the link cannot be made, nothing of the attempt is left and the start
// fails with STATUS_NOT_SUPPORTED.
PAGED_ROUTINE NTSTATUS CreateDeviceLink(PDEVICE_EXTENSION Extension) {
  UNICODE_STRING target;
  UNICODE_STRING openName;
  NTSTATUS status;

  PAGED_CODE();

  // A link already published (a start sent to a started device) is
  // withdrawn first, so that its name is neither leaked nor collided with.
  if (Extension->SymbolicLinkName.Buffer != NULL) {
    IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
    RtlFreeUnicodeString(&Extension->SymbolicLinkName);
  }

  if (!NT_SUCCESS(ConvertDeviceText(DeviceObjectName, Extension->DeviceNumber, &target))) {
    return STATUS_NOT_SUPPORTED;
  }
  if (!NT_SUCCESS(ConvertDeviceText(DeviceLinkName, Extension->DeviceNumber, &Extension->SymbolicLinkName))) {
    RtlFreeUnicodeString(&target);
    return STATUS_NOT_SUPPORTED;
  }
  status = IoCreateSymbolicLink(&Extension->SymbolicLinkName, &target);
  RtlFreeUnicodeString(&target);
  if (status != STATUS_SUCCESS) {
    // A success code other than STATUS_SUCCESS still means a link was made:
    // take it back, so that a failed start leaves no name behind.
    if (NT_SUCCESS(status)) {
      IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
    }
    RtlFreeUnicodeString(&Extension->SymbolicLinkName);
    return STATUS_NOT_SUPPORTED;
  }

  if (NT_SUCCESS(ConvertDeviceText(DeviceOpenName, Extension->DeviceNumber, &openName))) {
    WriteCreateFileName(Extension, &openName);
    RtlFreeUnicodeString(&openName);
  }
  return STATUS_SUCCESS;
}

// Withdraws the link and empties "CreateFileName" (the value stays, with no
// data). Reports no failure.
PAGED_ROUTINE NTSTATUS DestroyDeviceLink(PDEVICE_EXTENSION Extension) {
  ANSI_STRING emptyAnsi;
  UNICODE_STRING empty;

  PAGED_CODE();

  // Only a link that was made is deleted: a stop of a device that never
  // started has none.
  if (Extension->SymbolicLinkName.Buffer != NULL) {
    IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
  }
  RtlInitAnsiString(&emptyAnsi, "");
  if (NT_SUCCESS(RtlAnsiStringToUnicodeString(&empty, &emptyAnsi, TRUE))) {
    WriteCreateFileName(Extension, &empty);
    RtlFreeUnicodeString(&empty);
  }
  RtlFreeUnicodeString(&Extension->SymbolicLinkName);
  return STATUS_SUCCESS;
}
