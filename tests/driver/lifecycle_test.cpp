// The device's life as the Plug and Play manager drives it: start, stop,
// start again and removal with the link, the open name, the interface and
// the pending-I/O count at each state; the start's failures; the drain;
// capabilities and the requests passed down untouched.
#include <atomic>
#include <cstring>
#include <thread>

#include "fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Values;

namespace {

constexpr ULONG kBulk = STILLSCSI_POOL_TAG;

}  // namespace

class LifecycleTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    pdo = port->Pdo();
  }

  // What the device publishes and holds, at one moment.
  struct Seen {
    bool started;
    std::optional<std::u16string> linkTarget;
    std::optional<std::u16string> createFileName;  // the value's text, if the value exists
    size_t createFileNameBytes;
    bool interfaceEnabled;
    LONG pendingIoCount;
    bool removeEventSignalled;
    bool descriptor;
  };
  Seen Look() {
    std::lock_guard<host::WorldLock> lock(world.mu);
    Seen seen{};
    bool live = world.objects.IsLive(device);
    seen.started = live && extension->DeviceStarted;
    seen.linkTarget = world.objects.LinkTarget(u"\\DosDevices\\StillScsi0");
    if (const host::RegistryValue* value = world.registry.Value(pdo, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName")) {
      EXPECT_EQ(value->type, (ULONG)REG_SZ);
      seen.createFileName = value->Text();
      seen.createFileNameBytes = value->data.size();
    }
    auto interfaces = world.interfaces.For(pdo);
    seen.interfaceEnabled = !interfaces.empty() && interfaces[0].enabled;
    if (live) {
      seen.pendingIoCount = extension->PendingIoCount;
      seen.removeEventSignalled = KeReadStateEvent(&extension->RemoveEvent) != 0;
      seen.descriptor = extension->AdapterDescriptor != nullptr;
    }
    return seen;
  }

  PDEVICE_OBJECT pdo = nullptr;
};

// ---------------------------------------------------------------- the state table

TEST_F(LifecycleTest, WalksFromAddedThroughStartedStoppedAndStartedAgainToRemoved) {
  const std::u16string openName = u"\\\\.\\StillScsi0";

  Seen added = Look();
  EXPECT_FALSE(added.started);
  EXPECT_FALSE(added.linkTarget);
  EXPECT_FALSE(added.createFileName) << "nothing is written before a start";
  EXPECT_TRUE(added.interfaceEnabled);
  EXPECT_EQ(added.pendingIoCount, 1) << "the bias is there from AddDevice on";
  EXPECT_FALSE(added.removeEventSignalled);

  port->ScriptIoctl(IOCTL_STORAGE_QUERY_PROPERTY, {STATUS_NOT_SUPPORTED});
  EXPECT_EQ(Start(device), STATUS_NOT_SUPPORTED);
  Seen failed = Look();
  EXPECT_FALSE(failed.started);
  EXPECT_FALSE(failed.linkTarget);
  EXPECT_FALSE(failed.descriptor);
  EXPECT_TRUE(failed.interfaceEnabled);
  EXPECT_EQ(failed.pendingIoCount, 1) << "a failed start holds its bias";
  EXPECT_EQ(world.pool.Count(kBulk), 0u);

  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  Seen started = Look();
  EXPECT_TRUE(started.started);
  EXPECT_EQ(started.linkTarget, u"\\Device\\StillScsi0");
  EXPECT_EQ(started.createFileName, openName);
  EXPECT_EQ(started.createFileNameBytes, openName.size() * 2) << "the open name's Length, no terminating NUL";
  EXPECT_TRUE(started.interfaceEnabled);
  EXPECT_EQ(started.pendingIoCount, 1);
  EXPECT_FALSE(started.removeEventSignalled);
  EXPECT_TRUE(started.descriptor);
  EXPECT_EQ(extension->AdapterDescriptor->MaximumTransferLength, 65536u);

  EXPECT_EQ(Pnp(device, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  Seen stopped = Look();
  EXPECT_FALSE(stopped.started);
  EXPECT_FALSE(stopped.linkTarget);
  EXPECT_EQ(stopped.createFileName, u"") << "the value stays, empty";
  EXPECT_EQ(stopped.createFileNameBytes, 0u);
  EXPECT_FALSE(stopped.interfaceEnabled);
  EXPECT_EQ(stopped.pendingIoCount, 0);
  EXPECT_TRUE(stopped.removeEventSignalled);
  EXPECT_FALSE(stopped.descriptor);

  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  Seen again = Look();
  EXPECT_TRUE(again.started);
  EXPECT_EQ(again.linkTarget, u"\\Device\\StillScsi0");
  EXPECT_EQ(again.createFileName, openName);
  EXPECT_FALSE(again.interfaceEnabled) << "a start does not enable the interface a stop disabled";
  EXPECT_EQ(again.pendingIoCount, 1);
  EXPECT_FALSE(again.removeEventSignalled);

  EXPECT_EQ(world.pnp.Remove(pdo), host::Removal::Removed);
  Seen removed = Look();
  EXPECT_TRUE(RemovedByPnp(device));
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_FALSE(removed.linkTarget);
  EXPECT_EQ(removed.createFileName, u"");
  EXPECT_EQ(removed.createFileNameBytes, 0u);
  EXPECT_FALSE(removed.interfaceEnabled);
  EXPECT_EQ(world.pool.Count(kBulk), 0u);
}

// ---------------------------------------------------------------- removal of a device never started

TEST_F(LifecycleTest, ADeviceNeverStartedIsRemovedAtOnce) {
  EXPECT_EQ(world.pnp.Remove(pdo), host::Removal::Removed);
  EXPECT_TRUE(RemovedByPnp(device));
  EXPECT_FALSE(world.interfaces.For(pdo)[0].enabled);
  EXPECT_EQ(world.registry.Writes(pdo, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName"), 0);
}

TEST_F(LifecycleTest, ADeviceWhoseStartFailedAtTheAdapterQueryIsRemovedAtOnce) {
  port->ScriptIoctl(IOCTL_STORAGE_QUERY_PROPERTY, {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR});
  EXPECT_EQ(Start(device), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(world.pnp.Remove(pdo), host::Removal::Removed);
  EXPECT_TRUE(RemovedByPnp(device));
}

TEST_F(LifecycleTest, ADeviceWhoseStartFailedAtTheLinkIsRemovedAtOnce) {
  world.faults.Fail(host::Fault::CreateSymbolicLink);
  EXPECT_EQ(Start(device), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(world.pnp.Remove(pdo), host::Removal::Removed);
  EXPECT_TRUE(RemovedByPnp(device));
  EXPECT_EQ(world.registry.Writes(pdo, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName"), 0);
}

// ---------------------------------------------------------------- the start's failures

struct StartFailure {
  const char* name;
  std::function<void(host::World&, sim::PortDriver&)> arrange;
  NTSTATUS status;           // the start's
  bool linked;               // link and CreateFileName published
  bool nameWritten;          // CreateFileName written
};

void PrintTo(const StartFailure& failure, std::ostream* out) { *out << failure.name; }

class StartFailureTest : public LifecycleTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, EndsWithItsStatusAndLeavesNothingOfTheAttempt) {
  GetParam().arrange(world, *port);
  EXPECT_EQ(Start(device), GetParam().status);
  Seen seen = Look();
  bool succeeded = NT_SUCCESS(GetParam().status);
  EXPECT_EQ(seen.started, succeeded);
  EXPECT_EQ(seen.descriptor, succeeded);
  EXPECT_EQ(seen.linkTarget.has_value(), GetParam().linked);
  EXPECT_EQ(seen.createFileName.has_value(), GetParam().nameWritten);
  EXPECT_EQ(seen.pendingIoCount, 1);
  std::lock_guard<host::WorldLock> lock(world.mu);
  if (!succeeded) {
    EXPECT_EQ(world.pool.Count(kBulk), 0u);
    EXPECT_EQ(extension->SymbolicLinkName.Buffer, nullptr);
  }
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), (succeeded ? 1u : 0u) + 1u)
      << "the link's name while started, and the interface's name";
}

INSTANTIATE_TEST_SUITE_P(
    EachFailure, StartFailureTest,
    Values(
        StartFailure{"LowerStartFails",
                     [](host::World&, sim::PortDriver& port) {
                       port.Bus().pnpStatus[IRP_MN_START_DEVICE] = STATUS_UNSUCCESSFUL;
                     },
                     STATUS_UNSUCCESSFUL, false, false},
        StartFailure{"AdapterQueryFails",
                     [](host::World&, sim::PortDriver& port) {
                       port.ScriptIoctl(IOCTL_STORAGE_QUERY_PROPERTY, {STATUS_INVALID_DEVICE_REQUEST});
                     },
                     STATUS_INVALID_DEVICE_REQUEST, false, false},
        StartFailure{"LinkCollides",
                     [](host::World& world, sim::PortDriver&) { world.faults.Fail(host::Fault::CreateSymbolicLink); },
                     STATUS_NOT_SUPPORTED, false, false},
        StartFailure{"LinkMadeWithAnInformationalStatus",
                     [](host::World& world, sim::PortDriver&) {
                       world.faults.Fail(host::Fault::CreateSymbolicLink).Status(STATUS_OBJECT_NAME_EXISTS);
                     },
                     STATUS_NOT_SUPPORTED, false, false},
        StartFailure{"QueryEventAllocationFails",
                     [](host::World& world, sim::PortDriver&) {
                       world.faults.Fail(host::Fault::PoolAllocation).Tag(STILLSCSI_POOL_TAG);
                     },
                     STATUS_INSUFFICIENT_RESOURCES, false, false},
        StartFailure{"DescriptorAllocationFails",
                     [](host::World& world, sim::PortDriver&) {
                       world.faults.Fail(host::Fault::PoolAllocation).Tag(STILLSCSI_POOL_TAG).Nth(2);
                     },
                     STATUS_INSUFFICIENT_RESOURCES, false, false},
        StartFailure{"FirstQueryNotBuilt",
                     [](host::World& world, sim::PortDriver&) { world.faults.Fail(host::Fault::BuildDeviceIoControl); },
                     STATUS_INSUFFICIENT_RESOURCES, false, false},
        StartFailure{"SecondQueryNotBuilt",
                     [](host::World& world, sim::PortDriver&) {
                       world.faults.Fail(host::Fault::BuildDeviceIoControl).Nth(2);
                     },
                     STATUS_INSUFFICIENT_RESOURCES, false, false},
        StartFailure{"LinkTargetNotConverted",
                     [](host::World& world, sim::PortDriver&) { world.faults.Fail(host::Fault::StringConversion); },
                     STATUS_NOT_SUPPORTED, false, false},
        StartFailure{"LinkNameNotConverted",
                     [](host::World& world, sim::PortDriver&) {
                       world.faults.Fail(host::Fault::StringConversion).Nth(2);
                     },
                     STATUS_NOT_SUPPORTED, false, false},
        StartFailure{"OpenNameNotConverted",
                     [](host::World& world, sim::PortDriver&) {
                       world.faults.Fail(host::Fault::StringConversion).Nth(3);
                     },
                     STATUS_SUCCESS, true, false},
        StartFailure{"DriverKeyNotOpened",
                     [](host::World& world, sim::PortDriver&) { world.faults.Fail(host::Fault::OpenRegistryKey); },
                     STATUS_SUCCESS, true, false},
        StartFailure{"ValueNotWritten",
                     [](host::World& world, sim::PortDriver&) { world.faults.Fail(host::Fault::SetValueKey); },
                     STATUS_SUCCESS, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A unit below that is not in service puts no device in service above it.
TEST_F(LifecycleTest, AStartTheLowerDriversFailFailsAndALaterGoodOneServes) {
  port->Bus().pnpStatus[IRP_MN_START_DEVICE] = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(Start(device), STATUS_DEVICE_NOT_READY);
  Seen failed = Look();
  EXPECT_FALSE(failed.started);
  EXPECT_FALSE(failed.descriptor);
  EXPECT_FALSE(failed.linkTarget);
  EXPECT_FALSE(failed.createFileName);
  EXPECT_EQ(failed.pendingIoCount, 1);
  EXPECT_THAT(port->Requests(IRP_MJ_DEVICE_CONTROL), IsEmpty()) << "no adapter query after a failed start below";

  port->Bus().pnpStatus.erase(IRP_MN_START_DEVICE);
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\\\.\\StillScsi0", &handle), STATUS_SUCCESS);
  world.app.Close(handle);
  EXPECT_EQ(Look().pendingIoCount, 1) << "one bias, not two";
}

// ---------------------------------------------------------------- stop and removal drain

class DrainTest : public LifecycleTest {
 protected:
  void SetUp() override {
    LifecycleTest::SetUp();
    ASSERT_EQ(Start(device), STATUS_SUCCESS);
  }
  // Sends Minor from another thread, as the Plug and Play manager's thread
  // would, while a request is counted in the device; true when the request
  // returned only after that request ended.
  bool WaitsForTheRequestInProgress(UCHAR minor, bool alreadyCounted = false) {
    if (!alreadyCounted) IncrementIoCount(device);  // a request in progress in the device
    std::atomic<bool> returned{false};
    std::thread manager([&] {
      world.pnp.Send(pdo, minor);
      returned = true;
    });
    EXPECT_TRUE(world.events.AwaitBlockedWaiters(1)) << "the manager's thread waits for the drain";
    bool heldBack = !returned;
    DecrementIoCount(device);  // the request ends
    manager.join();
    return heldBack && returned;
  }
};

TEST_F(DrainTest, AStopReturnsOnlyAfterTheRequestInProgressHasEnded) {
  EXPECT_TRUE(WaitsForTheRequestInProgress(IRP_MN_STOP_DEVICE));
  EXPECT_FALSE(Look().descriptor) << "freed after the drain";
}

TEST_F(DrainTest, ARemovalReturnsOnlyAfterTheRequestInProgressHasEnded) {
  EXPECT_TRUE(WaitsForTheRequestInProgress(IRP_MN_REMOVE_DEVICE));
  EXPECT_TRUE(RemovedByPnp(device));
}

// Handles outlive a stop; their requests count themselves in and out at any
// moment, also while the next start runs.
TEST_F(DrainTest, ARequestCountedAcrossAStartIsWaitedForByTheNextStop) {
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  IncrementIoCount(device);  // a request of a surviving handle, inside the driver
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  EXPECT_EQ(Look().pendingIoCount, 2) << "the request and the bias";
  EXPECT_TRUE(WaitsForTheRequestInProgress(IRP_MN_STOP_DEVICE, /*alreadyCounted=*/true));
  EXPECT_EQ(Look().pendingIoCount, 0);
}

TEST_F(DrainTest, ARequestThatLeavesAfterTheStartLeavesTheCountWhereItWas) {
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  IncrementIoCount(device);
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  DecrementIoCount(device);  // the request leaves
  EXPECT_EQ(Look().pendingIoCount, 1);
  EXPECT_FALSE(Look().removeEventSignalled) << "not set while the bias is held";
  EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Look().pendingIoCount, 0);
  EXPECT_TRUE(Look().removeEventSignalled);
}

// A request that reached 0 before the start took the bias may set the event
// after the start cleared it.
TEST_F(DrainTest, ALateSetOfTheRemoveEventDoesNotEndTheNextStopsWait) {
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  KeSetEvent(&extension->RemoveEvent, EVENT_INCREMENT, FALSE);  // the late set
  EXPECT_TRUE(WaitsForTheRequestInProgress(IRP_MN_STOP_DEVICE));
}

TEST_F(DrainTest, ARemovalAfterAStopDropsNoBiasItDoesNotHold) {
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  ASSERT_EQ(Look().pendingIoCount, 0);
  EXPECT_EQ(world.pnp.Remove(pdo), host::Removal::Removed) << "the count never goes below 0 on the way";
}

TEST_F(DrainTest, WithNothingInProgressStopAndRemovalReturnAtOnceAndTheLinkGoesOnce) {
  EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  int writes = world.registry.Writes(pdo, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName");
  EXPECT_EQ(writes, 2) << "published at the start, emptied at the stop";
  EXPECT_EQ(world.pnp.Remove(pdo), host::Removal::Removed);
  EXPECT_EQ(world.registry.Writes(pdo, PLUGPLAY_REGKEY_DRIVER, u"CreateFileName"), writes)
      << "the removal after a stop withdraws nothing a second time";
  EXPECT_EQ(world.events.BlockedWaiters(), 0);
}

// ---------------------------------------------------------------- requests the platform's manager does not send

TEST_F(LifecycleTest, AStartOfAStartedDeviceAndAStopOfAStoppedOneLeaveNothingBehind) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  EXPECT_EQ(Start(device), STATUS_SUCCESS);
  EXPECT_EQ(world.pool.Count(kBulk), 1u) << "one descriptor, the new one";
  EXPECT_EQ(Look().linkTarget, u"\\Device\\StillScsi0");
  EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pool.Count(kBulk), 0u);
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 1u) << "only the interface's name";
}

TEST_F(LifecycleTest, AStopOfADeviceNeverStartedLeavesNothingBehind) {
  EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Look().pendingIoCount, 0);
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 1u);
}

// ---------------------------------------------------------------- capabilities

// A device added over the PDO of a removed one is a new device to the
// manager: its surprise removal is followed by its own removal.
TEST_F(LifecycleTest, ADeviceAddedAfterARemovalIsRemovedAfterItsOwnSurpriseRemoval) {
  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  ASSERT_EQ(world.pnp.Remove(port->Pdo()), host::Removal::Removed);
  PDEVICE_OBJECT second = Add();
  ASSERT_EQ(Start(second), STATUS_SUCCESS);
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\\\.\\StillScsi" + std::to_string(Extension(second)->DeviceNumber), &handle),
            STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.SurpriseRemove(port->Pdo()), host::Removal::Deferred);
  world.app.Close(handle);
  EXPECT_TRUE(RemovedByPnp(second));
}

TEST_F(LifecycleTest, CapabilitiesCarryLatenciesOfTenAndNothingElseOfTheDrivers) {
  host::PnpResult result = Pnp(device, IRP_MN_QUERY_CAPABILITIES);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_TRUE(result.capabilities);
  EXPECT_EQ(result.capabilities->D1Latency, 10u);
  EXPECT_EQ(result.capabilities->D2Latency, 10u);
  EXPECT_EQ(result.capabilities->D3Latency, 10u);

  // What reached the port is the manager's record with the three latencies
  // and nothing else changed.
  auto requests = port->Requests(IRP_MJ_PNP);
  ASSERT_THAT(requests, ::testing::SizeIs(1));
  ASSERT_TRUE(requests[0].capabilities);
  DEVICE_CAPABILITIES expected{};
  expected.Size = sizeof(DEVICE_CAPABILITIES);
  expected.Version = 1;
  expected.Address = expected.UINumber = 0xFFFFFFFF;
  expected.D1Latency = expected.D2Latency = expected.D3Latency = 10;
  EXPECT_EQ(std::memcmp(&*requests[0].capabilities, &expected, sizeof(expected)), 0);
}

TEST_F(LifecycleTest, LatenciesALowerDriverWritesAreTheAnswer) {
  port->Config().capabilityLatency = 50;
  host::PnpResult result = Pnp(device, IRP_MN_QUERY_CAPABILITIES);
  ASSERT_TRUE(result.capabilities);
  EXPECT_EQ(result.capabilities->D1Latency, 50u);
  EXPECT_EQ(result.capabilities->D3Latency, 50u);
}

// ---------------------------------------------------------------- requests passed down

TEST_F(LifecycleTest, QueriesCancelsAndSurpriseRemovalSucceedHereAndArePassedDown) {
  for (UCHAR minor : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                      IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
    SCOPED_TRACE(minor);
    size_t before = port->Requests(IRP_MJ_PNP).size();
    EXPECT_EQ(Pnp(device, minor).status, STATUS_SUCCESS);
    auto requests = port->Requests(IRP_MJ_PNP);
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().minor, minor);
    EXPECT_EQ(requests.back().presetStatus, STATUS_SUCCESS) << "success set before passing down";
  }
  // The lower drivers' answer is the answer.
  port->Bus().pnpStatus[IRP_MN_QUERY_STOP_DEVICE] = STATUS_DEVICE_BUSY;
  EXPECT_EQ(Pnp(device, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_DEVICE_BUSY);
}

TEST_F(LifecycleTest, OtherMinorCodesAndSystemControlPassDownUntouched) {
  for (UCHAR minor : {IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_ID, IRP_MN_QUERY_PNP_DEVICE_STATE}) {
    SCOPED_TRACE(minor);
    host::PnpResult result = Pnp(device, minor);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << "the manager's preset, untouched on the way";
    EXPECT_EQ(port->Requests(IRP_MJ_PNP).back().presetStatus, STATUS_NOT_SUPPORTED);
  }
  host::PnpResult control = world.pnp.SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA, (NTSTATUS)0x40001234);
  EXPECT_EQ(control.status, (NTSTATUS)0x40001234);
  auto controls = port->Requests(IRP_MJ_SYSTEM_CONTROL);
  ASSERT_THAT(controls, ::testing::SizeIs(1));
  EXPECT_EQ(controls[0].presetStatus, (NTSTATUS)0x40001234);
  EXPECT_EQ(controls[0].minor, IRP_MN_QUERY_ALL_DATA);
}

// ---------------------------------------------------------------- more than one device

class TwoDeviceTest : public DriverTest {
 protected:
  int Units() override { return 2; }
};

TEST_F(TwoDeviceTest, DevicesAtOnceHaveTheirOwnNamesAndARemovedOnesNumberIsNotGivenAgain) {
  PDEVICE_OBJECT first = Add(0), second = Add(1);
  ASSERT_EQ(Start(first), STATUS_SUCCESS);
  ASSERT_EQ(Start(second), STATUS_SUCCESS);
  EXPECT_EQ(world.objects.LinkTarget(u"\\DosDevices\\StillScsi0"), u"\\Device\\StillScsi0");
  EXPECT_EQ(world.objects.LinkTarget(u"\\DosDevices\\StillScsi1"), u"\\Device\\StillScsi1");
  EXPECT_EQ(world.registry.Value(port->Pdo(0), PLUGPLAY_REGKEY_DRIVER, u"CreateFileName")->Text(), u"\\\\.\\StillScsi0");
  EXPECT_EQ(world.registry.Value(port->Pdo(1), PLUGPLAY_REGKEY_DRIVER, u"CreateFileName")->Text(), u"\\\\.\\StillScsi1");

  EXPECT_EQ(world.pnp.Remove(port->Pdo(0)), host::Removal::Removed);
  PDEVICE_OBJECT third = Add(0);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(Extension(third)->DeviceNumber, 2u);
  ASSERT_EQ(Start(third), STATUS_SUCCESS);
  EXPECT_EQ(world.objects.LinkTarget(u"\\DosDevices\\StillScsi2"), u"\\Device\\StillScsi2");
  EXPECT_FALSE(world.objects.LinkTarget(u"\\DosDevices\\StillScsi0"));
}
