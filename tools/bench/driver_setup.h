// The driver loaded over the simulated port and started through the Plug
// and Play manager, with handles of the device open, for the benchmarks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "port_driver.h"
#include "world.h"

namespace bench {

struct DriverSetup {
  explicit DriverSetup(sim::PortConfig config, int handles = 1, size_t userBytes = size_t(512) << 20) {
    host::World::Options options;
    options.userSpaceBytes = userBytes;
    world = std::make_unique<host::World>(options);
    port = std::make_unique<sim::PortDriver>(*world, config);
    NTSTATUS status;
    driver = world->LoadDriver("StillScsi", DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi",
                               &status, true);
    world->pnp.AddDevice(driver, port->Pdo());
    started = NT_SUCCESS(world->pnp.Send(port->Pdo(), IRP_MN_START_DEVICE).status);
    for (int i = 0; i < handles; ++i) {
      this->handles.emplace_back();
      started &= NT_SUCCESS(world->app.Open("\\\\.\\StillScsi0", &this->handles.back()));
    }
  }
  // Closes, removes and unloads; true when the audit is clean.
  bool Finish() {
    for (host::Handle& handle : handles) world->app.Close(handle);
    world->pnp.Remove(port->Pdo());
    port->Shutdown();
    world->UnloadDriver(driver);
    port.reset();
    return world->Audit().empty();
  }
  PDEVICE_EXTENSION Extension() { return (PDEVICE_EXTENSION)port->Pdo()->AttachedDevice->DeviceExtension; }

  std::unique_ptr<host::World> world;
  std::unique_ptr<sim::PortDriver> port;
  PDRIVER_OBJECT driver = nullptr;
  std::vector<host::Handle> handles;
  bool started = false;
};

// A pass-through READ(10) of Length bytes into Buffer (user memory), with its
// block, status byte and sense buffer in user memory too.
struct PassThroughRead {
  PassThroughRead(host::World& world, void* buffer, ULONG length) : world(world), buffer(buffer), length(length) {
    block = (SCSISCAN_CMD*)world.user.Alloc(sizeof(SCSISCAN_CMD) + 32);
    SCSISCAN_CMD cmd{};
    cmd.Size = sizeof(cmd);
    cmd.SrbFlags = SRB_FLAGS_DATA_IN;
    cmd.CdbLength = 10;
    cmd.Cdb[0] = 0x28;
    cmd.TransferLength = length;
    cmd.SenseLength = 18;
    cmd.pSrbStatus = (PUCHAR)(block + 1);
    cmd.pSenseBuffer = (PUCHAR)(block + 1) + 8;
    *world.user.As<SCSISCAN_CMD>(block) = cmd;
    SetLength(length);
  }
  // The bytes to read, in the block and in the CDB (bytes 6 to 8).
  void SetLength(ULONG bytes) {
    length = bytes;
    SCSISCAN_CMD* cmd = world.user.As<SCSISCAN_CMD>(block);
    cmd->TransferLength = bytes;
    cmd->Cdb[6] = (UCHAR)(bytes >> 16);
    cmd->Cdb[7] = (UCHAR)(bytes >> 8);
    cmd->Cdb[8] = (UCHAR)bytes;
  }
  host::IoResult Send(const host::Handle& handle) {
    return world.app.DeviceIoControl(handle, IOCTL_SCSISCAN_CMD, block, sizeof(SCSISCAN_CMD), buffer, length);
  }
  std::shared_ptr<host::PendingIo> SendAsync(const host::Handle& handle) {
    return world.app.DeviceIoControlAsync(handle, IOCTL_SCSISCAN_CMD, block, sizeof(SCSISCAN_CMD), buffer, length);
  }
  host::World& world;
  void* buffer;
  ULONG length;
  SCSISCAN_CMD* block;
};

}  // namespace bench
