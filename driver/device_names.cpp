// The texts a device is known by. All three carry the device number, so they
// differ for every device that exists at one time, and each fits in 31
// characters whatever the number.
#include "driver.h"

static const CHAR* const DeviceTextPrefix[] = {
    "\\Device\\StillScsi",      // DeviceObjectName: the device object, and the link's target
    "\\DosDevices\\StillScsi",  // DeviceLinkName: where names from user mode resolve
    "\\\\.\\StillScsi",         // DeviceOpenName: what an application opens
};

// Writes the prefix of Kind followed by DeviceNumber in decimal, NUL-terminated,
// truncating to BufferSize - 1 characters.
VOID FormatDeviceText(DEVICE_TEXT_KIND Kind, ULONG DeviceNumber, CHAR* Buffer, ULONG BufferSize) {
  CHAR digits[10];
  ULONG digitCount = 0;
  ULONG length = 0;
  const CHAR* prefix = DeviceTextPrefix[Kind];

  if (BufferSize == 0) {
    return;
  }
  while (*prefix != '\0' && length + 1 < BufferSize) {
    Buffer[length++] = *prefix++;
  }
  do {
    digits[digitCount++] = (CHAR)('0' + DeviceNumber % 10);
    DeviceNumber /= 10;
  } while (DeviceNumber != 0);
  while (digitCount > 0 && length + 1 < BufferSize) {
    Buffer[length++] = digits[--digitCount];
  }
  Buffer[length] = '\0';
}
