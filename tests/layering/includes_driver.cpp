// Compiles as driver code does: the driver's own headers are in reach.
#include "driver.h"
#include "queries.h"
#include "transport.h"
