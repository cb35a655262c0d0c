// Test fixtures. Each test gets a fresh kernel stand-in and ends by asking
// it what is left: a test that passes with a leak or a verifier report is a
// failing test.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver.h"
#include "port_driver.h"
#include "world.h"

// The pending-I/O count of the driver's device never goes below 0: a count
// below 0 never reaches 0 again, and the next stop or removal waits for
// ever, or sets the remove event while requests are still counted.
inline void WatchPendingIoCount(host::World& world, PDEVICE_OBJECT device) {
  auto* extension = (PDEVICE_EXTENSION)device->DeviceExtension;
  world.watches.Add(device, "pending-I/O count below 0",
                    [extension] { return __atomic_load_n(&extension->PendingIoCount, __ATOMIC_RELAXED) >= 0; });
}

// A world and nothing else; the audit runs after the test's own tear-down.
class WorldTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Clean();
    EXPECT_THAT(world.Audit(), ::testing::IsEmpty()) << "the test left something behind";
  }
  // Gives back what the test set up, before the audit.
  virtual void Clean() {}

  host::World world;
};

// The driver loaded over a simulated SCSI port with one or more units.
class DriverTest : public WorldTest {
 protected:
  void SetUp() override { Load(Config(), Units()); }
  virtual sim::PortConfig Config() { return {}; }
  virtual int Units() { return 1; }

  void Load(sim::PortConfig config = {}, int units = 1) {
    port = std::make_unique<sim::PortDriver>(world, config, units);
    NTSTATUS status = -1;
    driver = world.LoadDriver("StillScsi", DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi",
                              &status, true);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }

  // Adds the driver's device over a unit's PDO; returns the new device
  // object, or null when AddDevice failed (its status in *status).
  PDEVICE_OBJECT Add(int unit = 0, NTSTATUS* status = nullptr) {
    PDEVICE_OBJECT pdo = port->Pdo(unit);
    NTSTATUS result = world.pnp.AddDevice(driver, pdo);
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) return nullptr;
    PDEVICE_OBJECT device = pdo->AttachedDevice;
    added.push_back(device);
    WatchPendingIoCount(world, device);
    return device;
  }

  static PDEVICE_EXTENSION Extension(PDEVICE_OBJECT device) {
    return (PDEVICE_EXTENSION)device->DeviceExtension;
  }

  // Takes a device apart the way removal does: withdraws the interface,
  // detaches and deletes the device object.
  void Remove(PDEVICE_OBJECT device) {
    PDEVICE_EXTENSION extension = Extension(device);
    SetDeviceInterface(extension->PhysicalDeviceObject, &extension->InterfaceName, FALSE);
    IoDetachDevice(extension->StackDeviceObject);
    IoDeleteDevice(device);
    added.erase(std::remove(added.begin(), added.end(), device), added.end());
  }

  // The device's PDO, and the requests the Plug and Play manager sends it.
  static PDEVICE_OBJECT PdoOf(PDEVICE_OBJECT device) { return Extension(device)->PhysicalDeviceObject; }
  host::PnpResult Pnp(PDEVICE_OBJECT device, UCHAR minor) { return world.pnp.Send(PdoOf(device), minor); }
  NTSTATUS Start(PDEVICE_OBJECT device) { return Pnp(device, IRP_MN_START_DEVICE).status; }

  // A device that Plug and Play removed (IRP_MN_REMOVE_DEVICE) has taken
  // itself apart already.
  bool RemovedByPnp(PDEVICE_OBJECT device) {
    std::lock_guard<host::WorldLock> lock(world.mu);
    return !world.objects.IsLive(device);
  }

  // Every device the test left is removed as the Plug and Play manager
  // removes it, which also takes back its link, name and descriptor. A
  // device whose count shows a request still in progress would never
  // finish its removal; it is taken apart by hand instead, after the check
  // has failed the test.
  void Clean() override {
    world.faults.Clear();
    while (!added.empty()) {
      PDEVICE_OBJECT device = added.back();
      added.pop_back();
      if (RemovedByPnp(device)) continue;
      PDEVICE_EXTENSION extension = Extension(device);
      EXPECT_LE(extension->PendingIoCount, 1) << "a request is still counted in device " << extension->DeviceNumber;
      if (extension->PendingIoCount <= 1) {
        world.pnp.ForceRemove(PdoOf(device));
      } else {
        added.push_back(device);
        Remove(device);
      }
    }
    if (port) port->Shutdown();
    if (driver != nullptr) world.UnloadDriver(driver);
    driver = nullptr;
    port.reset();
  }

  std::unique_ptr<sim::PortDriver> port;
  PDRIVER_OBJECT driver = nullptr;
  std::vector<PDEVICE_OBJECT> added;
};

// The driver's device added over unit 0, not started.
class DeviceTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    device = Add();
    ASSERT_NE(device, nullptr);
    extension = Extension(device);
  }

  PDEVICE_OBJECT device = nullptr;
  PDEVICE_EXTENSION extension = nullptr;
};

// The driver's device added over unit 0 and started.
class StartedDeviceTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Start(device), STATUS_SUCCESS);
  }
};
