// The one place that chooses the platform the driver is built for: the
// kernel's own headers in the Windows image, the user-mode stand-in in the
// host build. Everything in the driver folders includes this header and
// nothing else of the platform's.
#pragma once

#if defined(STILLSCSI_HOST)

// Named by its place, not found on the include path: the driver's include
// path holds the driver's own folders only, so that the stand-in's world
// and everything else of it stay out of reach of driver code. A build that
// checks another copy of the header names that copy instead.
#ifndef STILLSCSI_HOST_DDK
#define STILLSCSI_HOST_DDK "../platform/host_ddk.h"
#endif
#include STILLSCSI_HOST_DDK

// Code placement is a property of the kernel image; the host build has none.
#define INIT_ROUTINE
#define PAGED_ROUTINE
// Driver-wide variables live in their own section so that the stand-in can
// give every load of the driver a freshly initialised image.
#define DRIVER_IMAGE_DATA __attribute__((section("stillscsi_image"), used))
// A UTF-16 text constant.
#define WIDE_TEXT(s) u##s
// MmMapLockedPagesSpecifyCache's priority for a mapping that is not
// executable; the platform takes it as ULONG.
#define NO_EXECUTE_MAPPING_PRIORITY ((ULONG)NormalPagePriority | MdlMappingNoExecute)

#else

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define POOL_TAGGING 1
#include <ddk/ntddk.h>
#include <ddk/srb.h>
#include <ddk/scsi.h>  // SCSI status codes
#include <ntddscsi.h>
#include <ntddstor.h>

// The platform's flag for a mapping that is not executable, which these
// headers do not declare yet.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
// These headers declare the priority as the enumeration, which holds the
// flag's bits all the same.
#define NO_EXECUTE_MAPPING_PRIORITY ((MM_PAGE_PRIORITY)((ULONG)NormalPagePriority | MdlMappingNoExecute))

#define INIT_ROUTINE __attribute__((section("INIT")))
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define DRIVER_IMAGE_DATA
#define WIDE_TEXT(s) L##s

#endif

// Reads a 32-bit field that other processors change with interlocked
// operations: whole, without a fence, a plain load on x64. Saying so keeps
// the compiler from tearing or caching it, and tells the host's race
// detector that the read is meant.
#define READ_SHARED_LONG(Field) ((LONG)__atomic_load_n((volatile LONG*)&(Field), __ATOMIC_RELAXED))
