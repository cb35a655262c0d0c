// Host body of the guarded probe: the stand-in raises the kernel's exception
// as a C++ exception carrying the status. This file alone is built with
// exceptions enabled.
#include "guarded_probe.h"

extern "C" NTSTATUS ProbeAndLockCallerPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  try {
    MmProbeAndLockPages(Mdl, AccessMode, Operation);
  } catch (const HostRaisedStatus& raised) {
    return raised.Status;
  }
  return STATUS_SUCCESS;
}
