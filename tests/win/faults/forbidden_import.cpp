// Deliberate fault, linked into a copy of the driver image for the checker's
// test: a routine that calls a kernel routine outside the allow-list.
#include "kernel.h"

VOID FaultCallsForbiddenImport(VOID) {
  KeBugCheckEx(0xDEAD, 0, 0, 0, 0);
}
