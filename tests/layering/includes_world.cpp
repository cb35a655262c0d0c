// Compiled as driver code is, this must not build: the stand-in's world is
// not in reach of driver code.
#include "driver.h"
#include "world.h"
