// The Rtl string calls.
#include <cstring>

#include "world.h"

using host::Violation;
using host::World;
namespace rule = host::rule;

extern "C" {

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  size_t length = SourceString ? std::strlen(SourceString) : 0;
  DestinationString->Buffer = (PCHAR)SourceString;
  DestinationString->Length = (USHORT)length;
  DestinationString->MaximumLength = (USHORT)(SourceString ? length + 1 : 0);
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t length = 0;
  if (SourceString != nullptr) {
    while (SourceString[length] != 0) ++length;
  }
  DestinationString->Buffer = (PWSTR)SourceString;
  DestinationString->Length = (USHORT)(length * sizeof(WCHAR));
  DestinationString->MaximumLength = (USHORT)(SourceString ? (length + 1) * sizeof(WCHAR) : 0);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  host::RequireIrql(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
  World& world = World::Current();
  size_t characters = SourceString->Length;
  // The converted text with its terminating NUL must fit a 16-bit length.
  size_t size = (characters + 1) * sizeof(WCHAR);
  if (size > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  // The length is set before the room is checked, as the platform does.
  DestinationString->Length = (USHORT)(size - sizeof(WCHAR));
  if (AllocateDestinationString) {
    std::lock_guard<host::WorldLock> lock(world.mu);
    NTSTATUS failure;
    if (world.faults.Check(host::Fault::StringConversion, 0, size - sizeof(WCHAR), &failure)) return failure;
    DestinationString->Buffer = (PWSTR)world.pool.Allocate(PagedPool, size, host::kStringPoolTag,
                                                           "RtlAnsiStringToUnicodeString",
                                                           __builtin_return_address(0), false);
    DestinationString->MaximumLength = (USHORT)size;
  } else if (DestinationString->Length >= DestinationString->MaximumLength) {
    // No room for the text and its terminating NUL.
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < characters; ++i) {
    DestinationString->Buffer[i] = (WCHAR)(unsigned char)SourceString->Buffer[i];
  }
  DestinationString->Buffer[characters] = 0;
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  host::RequireIrql(APC_LEVEL, "RtlFreeUnicodeString");
  if (UnicodeString->Buffer != nullptr) {
    World& world = World::Current();
    const host::PoolBlock* block = world.pool.Find(UnicodeString->Buffer);
    if (block != nullptr && block->tag != host::kStringPoolTag) {
      Violation(rule::kPoolWrongTag, "RtlFreeUnicodeString", UnicodeString->Buffer, "not a string the kernel allocated");
    }
    world.pool.Free(UnicodeString->Buffer, host::kStringPoolTag, "RtlFreeUnicodeString");
  }
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

}  // extern "C"
