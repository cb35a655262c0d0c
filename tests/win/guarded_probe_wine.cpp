// Runs the Windows guard object in a user-mode program, under wine or on
// Windows, with MmProbeAndLockPages replaced by stubs. The guard reaches the
// probe through its import cell, so the program provides that cell and points
// it at each stub in turn. A stub that raises exercises the same exception
// dispatch the kernel performs: unwind data, __C_specific_handler, scope
// table, filter and landing point.
#include <windows.h>

#include <stdio.h>

typedef void(__stdcall* PROBE_ROUTINE)(void* Mdl, char AccessMode, int Operation);

extern "C" {
LONG ProbeAndLockCallerPages(void* Mdl, char AccessMode, int Operation);
PROBE_ROUTINE __imp_MmProbeAndLockPages;
}

static DWORD RaisedCode;
static void* SeenMdl;
static char SeenAccessMode;
static int SeenOperation;
static int ProbeCalls;

static void __stdcall ProbeThatSucceeds(void* Mdl, char AccessMode, int Operation) {
  ProbeCalls++;
  SeenMdl = Mdl;
  SeenAccessMode = AccessMode;
  SeenOperation = Operation;
}

static void __stdcall ProbeThatRaises(void* Mdl, char AccessMode, int Operation) {
  ProbeThatSucceeds(Mdl, AccessMode, Operation);
  RaiseException(RaisedCode, 0, 0, NULL);
}

// A probe that faults for real, as the kernel's does when it touches an
// address the caller may not use.
static void __stdcall ProbeThatFaults(void* Mdl, char AccessMode, int Operation) {
  ProbeThatSucceeds(Mdl, AccessMode, Operation);
  *(volatile int*)Mdl = 1;
}

// Nested: the raise happens two frames below the guard.
static void __stdcall ProbeThatRaisesDeeper(void* Mdl, char AccessMode, int Operation) {
  ProbeThatRaises(Mdl, AccessMode, Operation);
  ProbeCalls += 100;  // never reached
}

static int Failures;

static void Expect(bool Condition, const char* What) {
  if (!Condition) {
    printf("FAILED: %s\n", What);
    Failures++;
  }
}

int main() {
  int mdl = 0;

  __imp_MmProbeAndLockPages = ProbeThatSucceeds;
  ProbeCalls = 0;
  Expect(ProbeAndLockCallerPages(&mdl, 1, 2) == 0, "a probe that returns gives STATUS_SUCCESS");
  Expect(ProbeCalls == 1 && SeenMdl == &mdl && SeenAccessMode == 1 && SeenOperation == 2,
         "the probe receives the guard's three arguments unchanged");

  static const DWORD codes[] = {0xC0000005u /* STATUS_ACCESS_VIOLATION */,
                                0xC000009Au /* STATUS_INSUFFICIENT_RESOURCES */,
                                0xC0000006u /* STATUS_IN_PAGE_ERROR */};
  for (DWORD code : codes) {
    __imp_MmProbeAndLockPages = ProbeThatRaises;
    RaisedCode = code;
    ProbeCalls = 0;
    LONG status = ProbeAndLockCallerPages(&mdl, 1, 1);
    if ((DWORD)status != code) {
      printf("raised 0x%08lX, guard returned 0x%08lX\n", (unsigned long)code, (unsigned long)status);
    }
    Expect((DWORD)status == code, "a raised exception's code is returned");
    Expect(ProbeCalls == 1, "the raising probe ran once");
  }

  __imp_MmProbeAndLockPages = ProbeThatRaisesDeeper;
  RaisedCode = 0xC0000005u;
  ProbeCalls = 0;
  Expect((DWORD)ProbeAndLockCallerPages(&mdl, 0, 0) == 0xC0000005u,
         "an exception raised deeper below the probe is caught");
  Expect(ProbeCalls == 1, "the frames below the guard are abandoned");

  __imp_MmProbeAndLockPages = ProbeThatFaults;
  ProbeCalls = 0;
  Expect((DWORD)ProbeAndLockCallerPages((void*)16, 1, 1) == 0xC0000005u,
         "a hardware access violation inside the probe is caught");

  // Many catches in a row: a guard that left the stack or a nonvolatile
  // register wrong would soon crash or corrupt these locals.
  volatile int sentinel = 0x5A5A;
  __imp_MmProbeAndLockPages = ProbeThatRaises;
  for (int round = 0; round < 1000; round++) {
    RaisedCode = 0xC0000005u + (DWORD)(round & 1);
    if ((DWORD)ProbeAndLockCallerPages(&mdl, 1, 0) != RaisedCode) {
      Expect(false, "every one of a thousand raises is caught with its own code");
      break;
    }
  }
  Expect(sentinel == 0x5A5A, "the caller's frame survives a thousand catches");

  __imp_MmProbeAndLockPages = ProbeThatSucceeds;
  Expect(ProbeAndLockCallerPages(&mdl, 1, 0) == 0, "after catching, a clean probe succeeds again");

  if (Failures == 0) {
    printf("guarded probe: all checks passed\n");
  }
  return Failures == 0 ? 0 : 1;
}
