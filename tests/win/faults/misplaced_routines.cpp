// Deliberate fault, linked into a copy of the driver image for the checker's
// test: a routine the driver must keep resident placed in the pageable
// section, and a pageable one left resident. Their parameter types differ
// from any real routine of the same name, so they link beside them.
#include "kernel.h"

struct MisplacedFault {
  int Unused;
};

PAGED_ROUTINE VOID IssueSrb(MisplacedFault* Fault) {
  Fault->Unused = 1;
}

VOID GetScsiAddress(MisplacedFault* Fault) {
  Fault->Unused = 2;
}
