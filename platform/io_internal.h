// Steps of the I/O manager shared by its files (irp.cpp, irp_memory.cpp,
// irp_build.cpp, app.cpp); not part of the stand-in's face for tests.
#pragma once

#include "host_ddk.h"
#include "requests.h"

namespace host {

class World;

// Stops for a request that is not live: freed, or never one.
[[noreturn]] void NotLive(World& world, PIRP irp, const char* routine, const char* freedRule);

// The I/O manager's work at the top of a request it built for a driver.
void FinishThreaded(World& world, PIRP irp, IrpRecord& record);

}  // namespace host
