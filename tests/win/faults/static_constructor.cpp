// Deliberate fault, linked into a copy of the driver image for the checker's
// test: a driver-wide variable with a constructor, which nothing in a driver
// would ever run.
#include "kernel.h"

struct ConstructedFault {
  ConstructedFault();
  volatile LONG Value;
};

ConstructedFault::ConstructedFault() : Value(1) {}

ConstructedFault FaultGlobal;
