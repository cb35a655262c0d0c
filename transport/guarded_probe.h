// The probe and lock of a caller's pages, guarded against the exception the
// kernel raises for memory the caller may not access. This is the driver's
// only exception handling, and the one routine whose body differs between
// the Windows image and the host build.
#pragma once

#include "kernel.h"

// Probes and locks the pages Mdl describes for Operation in AccessMode.
// Returns STATUS_SUCCESS with the pages locked, or the code of the exception
// the probe raised, with nothing locked.
extern "C" NTSTATUS ProbeAndLockCallerPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
