// The layout table: size, alignment and field offsets of the kernel records,
// sizes and kinds of the integer types, and values of the constants, as one
// compiler sees them. Compiled twice by compare_layout.py, once by the host
// compiler against platform/host_ddk.h (STILLSCSI_HOST) and once by the
// mingw-w64 cross compiler against the kernel headers, both through
// include/kernel.h exactly as the driver includes them.
//
// What is measured comes from layout_list.inc, which compare_layout.py writes
// from the declarations of host_ddk.h. The file is only compiled to assembly
// (-S): every entry becomes one assembler comment line
//     #@layout VALUE KEY
// which the script reads back, so nothing has to run on either platform.
//
// Entries the compiler cannot find are recorded as absent rather than
// failing the build: fields and enumerators are probed through
// requires-expressions, macros through #ifdef in the list. A record or type
// name the platform lacks does stop the compilation, with the name in the
// compiler's message.
#include "kernel.h"

#if !defined(STILLSCSI_HOST)
// host_ddk.h also carries the SCSI status codes the simulated port driver
// and the tests use, which the platform keeps in its SCSI header.
#include <ddk/scsi.h>
#endif

#include <type_traits>

namespace {

// Value of a "kind" entry: what sort of type a typedef or field is (for an
// array, its element). Integers are told apart by signedness, so that a
// USHORT standing where the platform has a CSHORT is a difference.
enum Kind : int { kOther = 0, kUnsigned = 1, kSigned = 2, kEnum = 3, kPointer = 4, kRecord = 5 };

template <typename T>
constexpr int KindOf() {
  using E = std::remove_cv_t<std::remove_all_extents_t<T>>;
  if constexpr (std::is_enum_v<E>) return kEnum;
  else if constexpr (std::is_integral_v<E>) return std::is_signed_v<E> ? kSigned : kUnsigned;
  else if constexpr (std::is_pointer_v<E>) return kPointer;
  else if constexpr (std::is_class_v<E> || std::is_union_v<E>) return kRecord;
  else return kOther;
}

}  // namespace

// One table line. The value must be a compile-time constant: the "i"
// operand makes the compiler print it into the assembly, %c without the
// immediate prefix.
#define LAYOUT_ENTRY(value, key)                                     \
  do {                                                               \
    constexpr long long layout_value_ = (long long)(value);          \
    asm volatile("#@layout %c0 " key : : "i"(layout_value_));        \
  } while (0)
#define LAYOUT_ABSENT(key) asm volatile("#@layout absent " key)

// A record (struct, union or enum) by its typedef name.
#define RECORD(r)                        \
  LAYOUT_ENTRY(sizeof(r), #r " size");   \
  LAYOUT_ENTRY(alignof(r), #r " align")

// A named field of a record, by its path from the record (a.b.c). The
// lambdas are templates so that what the record lacks is a discarded branch
// instead of a compile error: offset and size are -1 when there is no such
// field, -2 when it is a bit field (which has neither).
#define FIELD(r, f)                                                                       \
  do {                                                                                    \
    constexpr auto offset_ = []<typename T>(T*) -> long long {                            \
      if constexpr (requires(T& t) { &t.f; }) return __builtin_offsetof(T, f);            \
      else if constexpr (requires(T& t) { t.f; }) return -2;                              \
      else return -1;                                                                     \
    };                                                                                    \
    constexpr auto size_ = []<typename T>(T*) -> long long {                              \
      if constexpr (requires(T& t) { &t.f; }) return sizeof(static_cast<T*>(nullptr)->f); \
      else if constexpr (requires(T& t) { t.f; }) return -2;                              \
      else return -1;                                                                     \
    };                                                                                    \
    constexpr auto kind_ = []<typename T>(T*) -> long long {                              \
      if constexpr (requires(T& t) { t.f; })                                              \
        return KindOf<decltype(static_cast<T*>(nullptr)->f)>();                           \
      else return -1;                                                                     \
    };                                                                                    \
    LAYOUT_ENTRY(offset_(static_cast<r*>(nullptr)), #r "." #f " offset");                 \
    LAYOUT_ENTRY(size_(static_cast<r*>(nullptr)), #r "." #f " size");                     \
    LAYOUT_ENTRY(kind_(static_cast<r*>(nullptr)), #r "." #f " kind");                     \
  } while (0)

// A typedef of a non-record type (integers, pointers).
#define TYPE(t)                          \
  LAYOUT_ENTRY(sizeof(t), #t " size");   \
  LAYOUT_ENTRY(alignof(t), #t " align"); \
  LAYOUT_ENTRY(KindOf<t>(), #t " kind")

// A macro constant; the list tests with #ifdef which of the two applies.
#define CONSTANT(c) LAYOUT_ENTRY(c, #c " value")
#define CONSTANT_ABSENT(c) LAYOUT_ABSENT(#c " value")

// An enumerator, looked up in its enum (E::c) so that one the platform lacks,
// or declares in another enum, is reported absent.
#define ENUMERATOR(e, c)                                          \
  []<typename T>(T*) {                                            \
    if constexpr (requires { T::c; }) LAYOUT_ENTRY(T::c, #c " value"); \
    else LAYOUT_ABSENT(#c " value");                              \
  }(static_cast<e*>(nullptr))

void stillscsi_layout_table() {
#include "layout_list.inc"
}
