// Steps of the I/O manager shared by its files (irp.cpp, irp_memory.cpp,
// irp_build.cpp, app.cpp); not in the stand-in's face for tests.
#pragma once

#include "host_ddk.h"
#include "requests.h"

namespace host {

class World;

// Stops for a request that is not live: freed, or never one.
[[noreturn]] void NotLive(World& world, PIRP irp, const char* routine, const char* freedRule);

// The buffers of a device control as its sender gave them. UserMode: the
// addresses are the application's, in the world's user space; a buffer the
// application cannot reach fails the request. KernelMode: they are kernel
// addresses and must be reachable. Routine and caller are what the system
// buffer is charged to.
struct ControlBuffers {
  KPROCESSOR_MODE mode;
  const void* input;
  ULONG inputLength;
  void* output;
  ULONG outputLength;
  const char* routine;
  const void* caller;
};

// Fills the next location's device-control parameters and gives the
// request its buffers as the control code's method asks: a system buffer
// with the input copied in (METHOD_BUFFERED, and the input of the direct
// methods), the output locked into an MDL (direct methods), or the raw
// addresses (METHOD_NEITHER). The status a UserMode request fails with, or
// STATUS_SUCCESS; the world lock is held.
NTSTATUS BufferDeviceControl(World& world, PIRP irp, PIO_STACK_LOCATION next, ULONG code,
                             const ControlBuffers& buffers);

// Locks a user buffer into an MDL as the I/O manager does for direct I/O;
// the probe's exception becomes the request's status.
NTSTATUS LockUserBuffer(World& world, PIRP irp, const void* buffer, ULONG length, LOCK_OPERATION operation);

// The I/O manager's work at the top of a request it built for a driver.
void FinishThreaded(World& world, PIRP irp, IrpRecord& record);

}  // namespace host
