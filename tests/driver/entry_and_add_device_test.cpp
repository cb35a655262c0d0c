// The driver spine: the entry's dispatch table, AddDevice and the device
// interface, device numbering, and the pending-I/O count.
#include <atomic>
#include <cstring>
#include <thread>

#include "fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

std::string Name(const UNICODE_STRING& string) { return host::Narrow(host::FromUnicodeString(&string)); }

}  // namespace

// ---------------------------------------------------------------- entry and dispatch table

class DriverEntryTest : public WorldTest {};

TEST_F(DriverEntryTest, InstallsTheSameTableForAnyRegistryPathAndAllocatesNothing) {
  for (const char* path : {"", "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi"}) {
    NTSTATUS status = -1;
    PDRIVER_OBJECT driver = world.LoadDriver("StillScsi", DriverEntry, path, &status, true);
    ASSERT_EQ(status, STATUS_SUCCESS) << "path '" << path << "'";
    EXPECT_EQ(world.pool.Count(), 0u);
    auto* table = driver->MajorFunction;
    EXPECT_EQ(table[IRP_MJ_CREATE], DispatchCreate);
    EXPECT_EQ(table[IRP_MJ_CLOSE], DispatchClose);
    EXPECT_EQ(table[IRP_MJ_READ], DispatchReadWrite);
    EXPECT_EQ(table[IRP_MJ_WRITE], DispatchReadWrite);
    EXPECT_EQ(table[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
    EXPECT_EQ(table[IRP_MJ_POWER], DispatchPower);
    EXPECT_EQ(table[IRP_MJ_SYSTEM_CONTROL], DispatchPnp);
    EXPECT_EQ(table[IRP_MJ_PNP], DispatchPnp);
    for (UCHAR major : {IRP_MJ_CREATE_NAMED_PIPE, IRP_MJ_QUERY_INFORMATION, IRP_MJ_FLUSH_BUFFERS,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CHANGE}) {
      EXPECT_EQ(table[major], host::DefaultDispatch) << "major " << (int)major;
    }
    EXPECT_EQ(driver->DriverUnload, Unload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    world.UnloadDriver(driver);
  }
}

class DispatchTableTest : public DriverTest {};

TEST_F(DispatchTableTest, RequestsWithoutARoutineOfTheDriverGetTheKernelsDefaultAnswer) {
  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN}) {
    host::IoResult result = world.app.SendToDevice(device, major);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << "major " << (int)major;
    EXPECT_EQ(result.information, 0u);
  }
  // Answered above the driver: nothing went down to the port driver.
  EXPECT_THAT(port->Requests(), IsEmpty());
  EXPECT_THAT(port->Srbs(), IsEmpty());
}

// ---------------------------------------------------------------- AddDevice

class AddDeviceTest : public DriverTest {};

TEST_F(AddDeviceTest, CreatesANamedScannerDeviceAttachedAboveThePdoWithItsDefaults) {
  PDEVICE_OBJECT pdo = port->Pdo();
  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);

  EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SCANNER);
  EXPECT_EQ(device->Characteristics, 0u);
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE), (ULONG)(DO_DIRECT_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_BUFFERED_IO), 0u);
  EXPECT_EQ(device->StackSize, pdo->StackSize + 1);
  EXPECT_EQ(world.objects.Resolve(u"\\Device\\StillScsi0"), device);

  PDEVICE_EXTENSION extension = Extension(device);
  EXPECT_EQ(extension->StackDeviceObject, pdo);
  EXPECT_EQ(extension->PhysicalDeviceObject, pdo);
  EXPECT_EQ(extension->SrbFlags, (ULONG)SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
  EXPECT_EQ(extension->TimeOutValue, 60);
  EXPECT_EQ(extension->LastSrbError, 0u);
  EXPECT_EQ(extension->ErrorCount, 0u);
  EXPECT_EQ(extension->DeviceNumber, 0u);
  EXPECT_EQ(extension->AdapterDescriptor, nullptr);
  // The bias and the remove event are there before any start.
  EXPECT_EQ(extension->PendingIoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent), 0);
  EXPECT_FALSE(extension->DeviceStarted);
  EXPECT_EQ(extension->LockOwner, 0);
  EXPECT_EQ(extension->OpenCount, 0);
  EXPECT_EQ(extension->SymbolicLinkName.Buffer, nullptr);

  // The still-image interface is registered on the PDO and enabled.
  auto interfaces = world.interfaces.For(pdo);
  ASSERT_THAT(interfaces, SizeIs(1));
  EXPECT_TRUE(interfaces[0].enabled);
  EXPECT_EQ(std::memcmp(&interfaces[0].guid, &GUID_DEVINTERFACE_IMAGE, sizeof(GUID)), 0);
  EXPECT_EQ(Name(extension->InterfaceName), host::Narrow(interfaces[0].name));
  EXPECT_NE(Name(extension->InterfaceName).find("{6bdd1fc6-810f-11d0-bec7-08002be2092f}"), std::string::npos);
  // Nothing was sent down: the device waits for its start.
  EXPECT_THAT(port->Requests(), IsEmpty());
}

class ThreeUnitTest : public DriverTest {
 protected:
  int Units() override { return 3; }
};

TEST_F(ThreeUnitTest, NumbersDevicesInOrderAndNeverGivesANumberTwice) {
  PDEVICE_OBJECT first = Add(0);
  PDEVICE_OBJECT second = Add(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Extension(first)->DeviceNumber, 0u);
  EXPECT_EQ(Extension(second)->DeviceNumber, 1u);
  EXPECT_EQ(world.objects.Resolve(u"\\Device\\StillScsi1"), second);

  // A removed device's number is not given again.
  Remove(first);
  PDEVICE_OBJECT again = Add(0);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Extension(again)->DeviceNumber, 2u);
  PDEVICE_OBJECT third = Add(2);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(Extension(third)->DeviceNumber, 3u);
}

TEST_F(AddDeviceTest, NumbersStartAgainAtZeroOnlyWhenTheImageIsLoadedAnew) {
  PDEVICE_OBJECT first = Add();
  ASSERT_NE(first, nullptr);
  Remove(first);
  port->Shutdown();
  world.UnloadDriver(driver);
  driver = nullptr;
  port.reset();

  Load();
  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Extension(device)->DeviceNumber, 0u);
}

// Each failure that ends AddDevice early: the status, nothing left behind
// (the audit checks that), and no device number used up.
struct AddFailure {
  const char* name;
  host::Fault fault;
  NTSTATUS injected;
  NTSTATUS expected;
};

void PrintTo(const AddFailure& value, std::ostream* out) { *out << value.name; }

class AddDeviceFailureTest : public DriverTest, public ::testing::WithParamInterface<AddFailure> {};

TEST_P(AddDeviceFailureTest, ReturnsTheStatusAndUsesUpNoNumber) {
  const AddFailure& failure = GetParam();
  world.faults.Fail(failure.fault).Status(failure.injected);
  NTSTATUS status = 0;
  EXPECT_EQ(Add(0, &status), nullptr);
  EXPECT_EQ(status, failure.expected);
  EXPECT_EQ(port->Pdo()->AttachedDevice, nullptr);
  EXPECT_THAT(world.objects.LiveDevices(), ElementsAre(port->Pdo()));
  EXPECT_THAT(world.interfaces.For(port->Pdo()), IsEmpty());

  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Extension(device)->DeviceNumber, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachEarlyFailure, AddDeviceFailureTest,
    ::testing::Values(
        AddFailure{"CreateDeviceFails", host::Fault::CreateDevice, STATUS_INSUFFICIENT_RESOURCES,
                   STATUS_INSUFFICIENT_RESOURCES},
        AddFailure{"AttachFails", host::Fault::AttachDevice, 0, STATUS_NOT_SUPPORTED},
        AddFailure{"NameConversionFails", host::Fault::StringConversion, STATUS_NO_MEMORY, STATUS_NO_MEMORY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AddDeviceTest, ANameTakenByAnotherObjectFailsWithTheCollision) {
  // Something else already owns the name the first device would get.
  PDEVICE_OBJECT squatter = nullptr;
  std::u16string name = u"\\Device\\StillScsi0";
  UNICODE_STRING unicodeName{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
  ASSERT_EQ(IoCreateDevice(port->Driver(), 0, &unicodeName, FILE_DEVICE_SCANNER, 0, FALSE, &squatter), STATUS_SUCCESS);
  NTSTATUS status = 0;
  EXPECT_EQ(Add(0, &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
  IoDeleteDevice(squatter);
}

TEST_F(AddDeviceTest, AFailedInterfaceRegistrationStillAddsTheDeviceAndRemovalLeavesTheInterfaceAlone) {
  world.faults.Fail(host::Fault::RegisterInterface);
  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Extension(device)->InterfaceName.Buffer, nullptr);
  EXPECT_THAT(world.interfaces.For(port->Pdo()), IsEmpty());
  EXPECT_EQ(Extension(device)->DeviceNumber, 0u);
  int stateCalls = world.faults.Calls(host::Fault::SetInterfaceState);
  Remove(device);
  EXPECT_EQ(world.faults.Calls(host::Fault::SetInterfaceState), stateCalls) << "removal touched the interface";
}

TEST_F(AddDeviceTest, AnInterfaceThatCannotBeEnabledKeepsItsNameUntilRemoval) {
  world.faults.Fail(host::Fault::SetInterfaceState);
  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);
  ASSERT_NE(Extension(device)->InterfaceName.Buffer, nullptr);
  auto interfaces = world.interfaces.For(port->Pdo());
  ASSERT_THAT(interfaces, SizeIs(1));
  EXPECT_FALSE(interfaces[0].enabled);
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 1u) << "the registered name is held";
}

TEST_F(AddDeviceTest, DisablingTheInterfaceTwiceIsHarmless) {
  PDEVICE_OBJECT device = Add();
  ASSERT_NE(device, nullptr);
  PDEVICE_EXTENSION extension = Extension(device);
  SetDeviceInterface(port->Pdo(), &extension->InterfaceName, FALSE);
  EXPECT_EQ(extension->InterfaceName.Buffer, nullptr);
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 0u) << "the name is freed";
  SetDeviceInterface(port->Pdo(), &extension->InterfaceName, FALSE);
  auto interfaces = world.interfaces.For(port->Pdo());
  ASSERT_THAT(interfaces, SizeIs(1));
  EXPECT_FALSE(interfaces[0].enabled);
  EXPECT_EQ(interfaces[0].disables, 1);
}

// ---------------------------------------------------------------- the pending-I/O count

class IoCountTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    // As AddDevice leaves it: the bias taken, the event not signalled.
    ASSERT_EQ(extension->PendingIoCount, 1);
    ASSERT_TRUE(extension->BiasHeld);
  }
  // What a stop does to the count before it waits.
  LONG DropBias() {
    extension->BiasHeld = FALSE;
    return DecrementIoCount(device);
  }
  bool Signalled() { return KeReadStateEvent(&extension->RemoveEvent) != 0; }

};

TEST_F(IoCountTest, OnlyTheDecrementThatReachesZeroSetsTheEvent) {
  IncrementIoCount(device);  // a request comes in
  EXPECT_EQ(extension->PendingIoCount, 2);
  EXPECT_EQ(DecrementIoCount(device), 1);  // and leaves: the bias holds
  EXPECT_FALSE(Signalled());
  EXPECT_EQ(DropBias(), 0);
  EXPECT_TRUE(Signalled());
}

TEST_F(IoCountTest, AWaitForTheDrainLastsUntilTheLastRequestLeaves) {
  IncrementIoCount(device);  // a request in progress
  DropBias();
  EXPECT_FALSE(Signalled());
  std::atomic<bool> waited{false};
  std::thread stopper([&] {
    KeWaitForSingleObject(&extension->RemoveEvent, Suspended, KernelMode, FALSE, nullptr);
    waited = true;
  });
  ASSERT_TRUE(world.events.AwaitBlockedWaiters(1));
  EXPECT_FALSE(waited);
  DecrementIoCount(device);  // the request ends
  stopper.join();
  EXPECT_TRUE(waited);
}

TEST_F(IoCountTest, ARequestAfterTheDrainSetsTheEventAgain) {
  DropBias();  // stop: 0, signalled
  ASSERT_TRUE(Signalled());
  IncrementIoCount(device);  // a late request
  EXPECT_EQ(DecrementIoCount(device), 0);
  EXPECT_TRUE(Signalled());
}

TEST_F(IoCountTest, ConcurrentRequestsNeverBringAStartedDeviceToZero) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  std::atomic<int> zeros{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      host::IrqlScope level(t % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL);  // completions run raised
      for (int i = 0; i < kRounds; ++i) {
        IncrementIoCount(device);
        if (DecrementIoCount(device) == 0) ++zeros;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(zeros, 0);
  EXPECT_EQ(extension->PendingIoCount, 1);
  EXPECT_FALSE(Signalled());
  EXPECT_EQ(DropBias(), 0);
  EXPECT_TRUE(Signalled());
}

// ---------------------------------------------------------------- names

TEST(DeviceTextTest, EveryNameFitsInThirtyOneCharactersAndNamesOneDevice) {
  struct Expected {
    DEVICE_TEXT_KIND kind;
    const char* first;
    const char* largest;
  };
  for (const Expected& expected : {Expected{DeviceObjectName, "\\Device\\StillScsi0", "\\Device\\StillScsi4294967295"},
                                   Expected{DeviceLinkName, "\\DosDevices\\StillScsi0", "\\DosDevices\\StillScsi4294967295"},
                                   Expected{DeviceOpenName, "\\\\.\\StillScsi0", "\\\\.\\StillScsi4294967295"}}) {
    CHAR text[DEVICE_TEXT_CAPACITY];
    FormatDeviceText(expected.kind, 0, text, sizeof(text));
    EXPECT_STREQ(text, expected.first);
    FormatDeviceText(expected.kind, 4294967295u, text, sizeof(text));
    EXPECT_STREQ(text, expected.largest);
    EXPECT_LE(std::strlen(text), 31u);
    FormatDeviceText(expected.kind, 10, text, sizeof(text));
    EXPECT_STREQ(text + std::strlen(text) - 2, "10");
  }
  // A buffer too small for the text truncates it and still terminates it.
  CHAR small[8];
  std::memset(small, 'x', sizeof(small));
  FormatDeviceText(DeviceObjectName, 123, small, sizeof(small));
  EXPECT_STREQ(small, "\\Device");
}
