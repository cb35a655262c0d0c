// The verifier: every rule the stand-in enforces fires. A fatal rule stops
// the test with one line naming the rule and the routine; a reportable rule
// is collected for the test to take.
#include "toy_drivers.h"

namespace rule = host::rule;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

constexpr ULONG kTag = host::Tag("Test");
constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_SCANNER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS Continue(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
void Pageable() { PAGED_CODE(); }

PIRP Allocated(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  return irp;
}

PIRP Threaded(PDEVICE_OBJECT device, PKEVENT event = nullptr) {
  static IO_STATUS_BLOCK iosb;
  return IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, FALSE, event, &iosb);
}

PMDL UserMdl(bool lock = true) {
  PMDL mdl = MmCreateMdl(nullptr, host::World::Current().user.Alloc(64), 64);
  if (lock) MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  return mdl;
}

PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver) {
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SCANNER, 0, FALSE, &device);
  return device;
}

}  // namespace

class VerifierTest : public KernelTest {
 public:
  // Sends a request to a lone device whose dispatch routine is Routine.
  void Dispatching(ToyRoutine routine) { Issue(Toy(std::move(routine))); }
  // A lower device that completes and an upper one attached to it.
  std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT> Pair(const std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>& upper) {
    PDEVICE_OBJECT lower = Toy(CompleteWith(STATUS_SUCCESS));
    return {lower, Toy([upper, lower](PDEVICE_OBJECT, PIRP irp) { return upper(lower, irp); }, lower)};
  }
  void ExpectReport(const char* rule) {
    EXPECT_THAT(world.TakeReports(), ElementsAre(StartsWith(std::string("VERIFIER REPORT: ") + rule)));
  }
};

// A driver's own request whose routine was set with IoSetCompletionRoutineEx
// holds the driver until the routine has returned, then lets it go.
TEST_F(VerifierTest, ACompletionRoutineSetWithTheHoldRunsOnceAndLetsTheDriverGo) {
  PDEVICE_OBJECT lower = Toy(CompleteWith(STATUS_SUCCESS));
  static int ran;
  ran = 0;
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  ASSERT_EQ(IoSetCompletionRoutineEx(lower, irp, [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
              ++*(int*)context;
              IoFreeIrp(done);
              return STATUS_MORE_PROCESSING_REQUIRED;
            }, &ran, TRUE, TRUE, TRUE),
            STATUS_SUCCESS);
  EXPECT_EQ(world.completionHolds[lower->DriverObject], 1);
  EXPECT_EQ(world.pool.Count(host::kCompletionHoldTag), 1u);
  IoCallDriver(lower, irp);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(world.completionHolds.count(lower->DriverObject), 0u);
  EXPECT_EQ(world.pool.Count(host::kCompletionHoldTag), 0u);

  world.faults.Fail(host::Fault::CompletionRoutineEx);
  PIRP refused = IoAllocateIrp(lower->StackSize, FALSE);
  EXPECT_EQ(IoSetCompletionRoutineEx(lower, refused, Continue, nullptr, TRUE, TRUE, TRUE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoGetNextIrpStackLocation(refused)->CompletionRoutine, nullptr) << "nothing set";
  IoFreeIrp(refused);
}

// ---------------------------------------------------------------- fatal rules

struct Stop {
  const char* name;
  const char* rule;
  const char* routine;  // the routine the stop line names
  std::function<void(VerifierTest&)> scenario;
};

void PrintTo(const Stop& stop, std::ostream* out) { *out << stop.name; }

class VerifierStopTest : public VerifierTest, public ::testing::WithParamInterface<Stop> {};

// The whole scenario runs in the dying child: nothing is left to clean.
TEST_P(VerifierStopTest, StopsWithTheRulesLine) {
  EXPECT_DEATH(GetParam().scenario(*this), StopLine(GetParam().rule, GetParam().routine));
}

const Stop kStops[] = {
    // Requests.
    {"CompletingTwice", rule::kCompletedTwice, "IofCompleteRequest",
     [](VerifierTest& t) {
       t.Dispatching([](PDEVICE_OBJECT, PIRP irp) {
         host::CompleteRequest(irp, STATUS_SUCCESS, 0);
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
       });
     }},
    {"CompletingWithStatusPending", rule::kCompletedWithBadStatus, "IofCompleteRequest",
     [](VerifierTest& t) { t.Dispatching(CompleteWith(STATUS_PENDING)); }},
    {"CompletingWithACancelRoutineSet", rule::kCancelRoutineSet, "IofCompleteRequest",
     [](VerifierTest& t) {
       t.Dispatching([](PDEVICE_OBJECT, PIRP irp) {
         irp->CancelRoutine = [](PDEVICE_OBJECT, PIRP) {};
         return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
       });
     }},
    {"DispatchDroppingTheRequest", rule::kRequestDropped, "dispatch routine",
     [](VerifierTest& t) { t.Dispatching([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }); }},
    {"DispatchReturningAnotherStatus", rule::kStatusMismatch, "dispatch routine",
     [](VerifierTest& t) {
       t.Dispatching([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(STATUS_SUCCESS)(nullptr, irp), STATUS_UNSUCCESSFUL; });
     }},
    {"DispatchReturningAtAnotherIrql", rule::kIrqlChanged, "dispatch routine",
     [](VerifierTest& t) {
       t.Dispatching([](PDEVICE_OBJECT, PIRP irp) { return KfRaiseIrql(DISPATCH_LEVEL), CompleteWith(STATUS_SUCCESS)(nullptr, irp); });
     }},
    {"CallingDownWithNoLocationLeft", rule::kNoStackLocation, "IofCallDriver",
     [](VerifierTest& t) {
       PDEVICE_OBJECT other = t.Toy(CompleteWith(STATUS_SUCCESS));
       t.Dispatching([other](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(other, irp); });  // StackSize 1
     }},
    {"CallingNoDevice", rule::kCallToBadDevice, "IofCallDriver",
     [](VerifierTest& t) { IoCallDriver(nullptr, Allocated(t.Toy(CompleteWith(STATUS_SUCCESS)))); }},
    {"TouchingAFreedRequest", rule::kFreedIrpTouched, "memory access",
     [](VerifierTest&) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       (void)*(volatile CHAR*)&irp->StackCount;
     }},
    {"IoFreeIrpOnAThreadedRequest", rule::kFreeThreadedIrp, "IoFreeIrp",
     [](VerifierTest& t) { IoFreeIrp(Threaded(t.Toy(CompleteWith(STATUS_SUCCESS)))); }},
    {"ExFreePoolOnARequest", rule::kFreeThreadedIrp, "ExFreePool", [](VerifierTest&) { ExFreePool(IoAllocateIrp(1, FALSE)); }},
    {"SendingAnAllocatedRequestWithoutARoutine", rule::kAllocatedIrpNoRoutine, "IofCallDriver",
     [](VerifierTest& t) {
       PDEVICE_OBJECT device = t.Toy(CompleteWith(STATUS_SUCCESS));
       IoCallDriver(device, Allocated(device));
     }},
    {"CompletingAnAllocatedRequestToTheTop", rule::kAllocatedIrpAtTop, "IofCompleteRequest",
     [](VerifierTest& t) {
       PDEVICE_OBJECT device = t.Toy(CompleteWith(STATUS_SUCCESS));
       PIRP irp = Allocated(device);
       IoSetCompletionRoutine(irp, Continue, nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(device, irp);
     }},
    {"MarkingPendingPastTheTop", rule::kMarkedPastTop, "IoMarkIrpPending",
     [](VerifierTest&) { IoMarkIrpPending(IoAllocateIrp(1, FALSE)); }},
    {"WritingPastTheTopWithoutTheHelper", rule::kMarkedPastTop, "IoFreeIrp",
     [](VerifierTest&) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;  // the guard location past the array
       IoFreeIrp(irp);
     }},
    {"PassingDownWithThePendingBitCopied", rule::kControlNotCleared, "IofCallDriver",
     [](VerifierTest& t) {
       t.Issue(t.Pair([](PDEVICE_OBJECT lower, PIRP irp) {
                   IoMarkIrpPending(irp);
                   *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);
                   return IoCallDriver(lower, irp), STATUS_PENDING;
                 }).second);
     }},
    {"PassingDownWithTheUpperRoutineCopied", rule::kRoutineCopiedDown, "IofCallDriver",
     [](VerifierTest& t) {
       t.Issue(t.Pair([](PDEVICE_OBJECT lower, PIRP irp) {
                   *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);
                   return IoCallDriver(lower, irp);
                 }).second);
     }},
    {"PendingAThreadedRequestWhoseEventIsSignalled", rule::kEventAlreadySignalled, "IofCallDriver",
     [](VerifierTest& t) {
       static PIRP held;
       static KEVENT event;
       PDEVICE_OBJECT device = t.Toy(HoldIn(&held));
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       IoCallDriver(device, Threaded(device, &event));
     }},
    {"SendingAThreadedRequestAtApcLevel", rule::kThreadedAtApc, "IofCallDriver",
     [](VerifierTest& t) {
       PDEVICE_OBJECT device = t.Toy(CompleteWith(STATUS_SUCCESS));
       KfRaiseIrql(APC_LEVEL);
       IoCallDriver(device, Threaded(device));
     }},
    {"SendingPlugAndPlayAtDispatchLevel", rule::kPassiveRequestAtDispatch, "IofCallDriver",
     [](VerifierTest& t) {
       PDEVICE_OBJECT device = t.Toy(CompleteWith(STATUS_SUCCESS));
       PIRP irp = Allocated(device, IRP_MJ_PNP);
       IoSetCompletionRoutine(irp, Continue, nullptr, TRUE, TRUE, TRUE);
       KfRaiseIrql(DISPATCH_LEVEL);
       IoCallDriver(device, irp);
     }},
    // Pool and MDLs.
    {"FreeingPoolTwice", rule::kPoolDoubleFree, "ExFreePoolWithTag",
     [](VerifierTest&) {
       void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
       ExFreePoolWithTag(block, kTag);
       ExFreePoolWithTag(block, kTag);
     }},
    {"FreeingPoolWithAnotherTag", rule::kPoolWrongTag, "ExFreePoolWithTag",
     [](VerifierTest&) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag), host::Tag("Tset")); }},
    {"FreeingWhatIsNotPool", rule::kPoolBadAddress, "ExFreePool", [](VerifierTest& t) { ExFreePool(&t); }},
    {"AskingForMustSucceedPool", rule::kPoolMustSucceed, "ExAllocatePoolWithTag",
     [](VerifierTest&) { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 32, kTag); }},
    {"AllocatingWithTagZero", rule::kPoolTagZero, "ExAllocatePoolWithTag",
     [](VerifierTest&) { ExAllocatePoolWithTag(NonPagedPoolNx, 32, 0); }},
    {"AllocatingPagedPoolAtDispatchLevel", rule::kPoolIrql, "ExAllocatePoolWithTag",
     [](VerifierTest&) { KfRaiseIrql(DISPATCH_LEVEL), ExAllocatePoolWithTag(PagedPool, 32, kTag); }},
    {"FreeingALockedMdl", rule::kMdlFreedLocked, "IoFreeMdl", [](VerifierTest&) { IoFreeMdl(UserMdl()); }},
    {"UnlockingAnMdlTwice", rule::kMdlUnlockUnlocked, "MmUnlockPages",
     [](VerifierTest&) {
       PMDL mdl = UserMdl();
       MmUnlockPages(mdl);
       MmUnlockPages(mdl);
     }},
    {"LockingALockedMdl", rule::kMdlProbeFlags, "MmProbeAndLockPages",
     [](VerifierTest&) { MmProbeAndLockPages(UserMdl(), UserMode, IoReadAccess); }},
    {"MappingAnUnlockedMdl", rule::kMdlMapUnlocked, "MmMapLockedPages",
     [](VerifierTest&) { MmMapLockedPages(UserMdl(false), KernelMode); }},
    {"MappingAnMdlTwice", rule::kMdlMapTwice, "MmMapLockedPages",
     [](VerifierTest&) {
       PMDL mdl = UserMdl();
       MmMapLockedPages(mdl, KernelMode);
       MmMapLockedPages(mdl, KernelMode);
     }},
    {"MappingFailingWithoutMappingCanFail", rule::kMappingFailedFatally, "MmMapLockedPages",
     [](VerifierTest& t) {
       t.world.faults.Fail(host::Fault::MdlMapping);
       MmMapLockedPages(UserMdl(), KernelMode);
     }},
    {"TouchingAUserAddress", rule::kUserAddressTouched, "memory access",
     [](VerifierTest& t) { ((volatile UCHAR*)t.world.user.Alloc(16))[3] = 1; }},
    // IRQL and events.
    {"PageableCodeAtDispatchLevel", rule::kPagedCodeRaised, "Pageable",
     [](VerifierTest&) { KfRaiseIrql(DISPATCH_LEVEL), Pageable(); }},
    {"WaitingForeverAtDispatchLevel", rule::kUnboundedWaitAtDispatch, "KeWaitForSingleObject",
     [](VerifierTest&) {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       KfRaiseIrql(DISPATCH_LEVEL);
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},
    {"WaitingATickAtDispatchLevel", rule::kUnboundedWaitAtDispatch, "KeWaitForSingleObject",
     [](VerifierTest&) {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       LARGE_INTEGER tick{};
       tick.QuadPart = -1;
       KfRaiseIrql(DISPATCH_LEVEL);
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tick);
     }},
    {"WaitingOnAnEventNeverInitialised", rule::kUninitialisedEvent, "KeWaitForSingleObject",
     [](VerifierTest&) {
       KEVENT event{};
       LARGE_INTEGER zero{};
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
     }},
    {"SettingAnEventAboveDispatchLevel", rule::kSetEventAboveDispatch, "KeSetEvent",
     [](VerifierTest&) {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       KfRaiseIrql(HIGH_LEVEL), KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
     }},
    {"RaisingToALowerLevel", rule::kRaiseLower, "KeRaiseIrql",
     [](VerifierTest&) { KfRaiseIrql(DISPATCH_LEVEL), KfRaiseIrql(APC_LEVEL); }},
    {"LoweringToALevelTheRaiseDidNotReturn", rule::kLowerHigher, "KeLowerIrql",
     [](VerifierTest&) { KfRaiseIrql(DISPATCH_LEVEL), KeLowerIrql(APC_LEVEL); }},
    {"CreatingADeviceAtDispatchLevel", rule::kIrqlTooHigh, "IoCreateDevice",
     [](VerifierTest& t) {
       PDRIVER_OBJECT driver = t.LoadToy(CompleteWith(STATUS_SUCCESS));
       KfRaiseIrql(DISPATCH_LEVEL), NewDevice(driver);
     }},
    // Devices, the registry and unloading.
    {"DeletingTheUpperDeviceStillAttached", rule::kDeleteAttached, "IoDeleteDevice",
     [](VerifierTest& t) { IoDeleteDevice(t.Pair(nullptr).second); }},
    {"DeletingTheLowerDeviceWithOneAttached", rule::kDeleteAttached, "IoDeleteDevice",
     [](VerifierTest& t) { IoDeleteDevice(t.Pair(nullptr).first); }},
    {"DeletingADeviceTwice", rule::kDeleteTwice, "IoDeleteDevice",
     [](VerifierTest& t) {
       PDEVICE_OBJECT device = NewDevice(t.LoadToy(CompleteWith(STATUS_SUCCESS)));
       IoDeleteDevice(device);
       IoDeleteDevice(device);
     }},
    {"DetachingWhenNothingIsAttached", rule::kDetachUnattached, "IoDetachDevice",
     [](VerifierTest& t) { IoDetachDevice(t.Toy(CompleteWith(STATUS_SUCCESS))); }},
    {"SettingAValueOnAClosedKey", rule::kClosedHandle, "ZwSetValueKey",
     [](VerifierTest& t) {
       HANDLE key;
       IoOpenDeviceRegistryKey(t.Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key);
       ZwClose(key);
       UNICODE_STRING name = Unicode(u"Value");
       ULONG value = 1;
       ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
     }},
    {"UnloadingADriverWithDevices", rule::kUnloadWithDevices, "UnloadDriver",
     [](VerifierTest& t) { t.world.UnloadDriver(t.Toy(CompleteWith(STATUS_SUCCESS))->DriverObject); }},
    // Rules for the driver's own memory and requests.
    {"AskingForExecutableNonpagedPool", rule::kPoolExecutable, "ExAllocatePoolWithTag",
     [](VerifierTest&) { ExAllocatePoolWithTag(NonPagedPool, 32, kTag); }},
    {"AskingForExecutableNonpagedPoolUntagged", rule::kPoolExecutable, "ExAllocatePool",
     [](VerifierTest&) { ExAllocatePool(NonPagedPoolCacheAligned, 32); }},
    {"SendingADriversOwnRequestWithAPlainCompletionRoutine", rule::kUnloadUnsafeCompletion, "IofCallDriver",
     [](VerifierTest& t) {
       PDEVICE_OBJECT lower = t.Toy(CompleteWith(STATUS_SUCCESS));
       t.Dispatching([lower](PDEVICE_OBJECT, PIRP irp) {
         PIRP own = Allocated(lower);  // allocated inside the driver's dispatch routine
         IoSetCompletionRoutine(own, Continue, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(lower, own);
         return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
       });
     }},
    {"UnloadingADriverWhoseCompletionRoutineMayStillRun", rule::kUnloadWithRoutinePending, "UnloadDriver",
     [](VerifierTest& t) {
       PDRIVER_OBJECT driver = t.LoadToy(CompleteWith(STATUS_SUCCESS));
       PDEVICE_OBJECT device = NewDevice(driver);
       PIRP irp = IoAllocateIrp(1, FALSE);
       ASSERT_EQ(IoSetCompletionRoutineEx(device, irp, Continue, nullptr, TRUE, TRUE, TRUE), STATUS_SUCCESS);
       IoDeleteDevice(device);
       t.world.UnloadDriver(driver);
     }},
    {"BreakingAWatchedInvariant", rule::kDriverInvariant, "KeWaitForSingleObject",
     [](VerifierTest& t) {
       static LONG count = 0;
       static KEVENT event;
       t.world.watches.Add(&count, "count below 0", [] { return __atomic_load_n(&count, __ATOMIC_RELAXED) >= 0; });
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       InterlockedDecrement(&count);
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},
};

INSTANTIATE_TEST_SUITE_P(Rules, VerifierStopTest, ::testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- reported rules

TEST_F(VerifierTest, ReportsStatusPendingReturnedWithoutMarking) {
  Dispatching([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(STATUS_SUCCESS)(nullptr, irp), STATUS_PENDING; });
  ExpectReport(rule::kPendingNotMarked);
}

TEST_F(VerifierTest, ReportsMarkedPendingButReturnedAnotherStatus) {
  Dispatching([](PDEVICE_OBJECT, PIRP irp) { return IoMarkIrpPending(irp), CompleteWith(STATUS_SUCCESS)(nullptr, irp); });
  ExpectReport(rule::kMarkedNotPending);
}

TEST_F(VerifierTest, ReportsACompletionRoutineThatIgnoresPendingReturned) {
  PIRP held = nullptr;
  PDEVICE_OBJECT lower = Toy(HoldIn(&held));
  Issued& issued = Issue(Toy(
      [lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Continue, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);  // the lower driver's STATUS_PENDING
      },
      lower));
  EXPECT_EQ(issued.returned, STATUS_PENDING);
  EXPECT_THAT(world.TakeReports(), IsEmpty()) << "returning the lower driver's status needs no mark";
  host::CompleteRequest(held, STATUS_SUCCESS, 0);
  ExpectReport(rule::kPendingReturnedIgnored);
}

TEST_F(VerifierTest, ReportsPassingToADeviceBelowTheOneAttachedTo) {
  auto [bottom, middle] = Pair(nullptr);
  Issue(Toy(
      [bottom](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(bottom, irp);
      },
      middle));
  ExpectReport(rule::kSkipsAttachedDevice);
}

TEST_F(VerifierTest, ReportsAZeroByteAllocation) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag);
  ExpectReport(rule::kPoolZeroBytes);
  ExFreePoolWithTag(block, kTag);
}

TEST_F(VerifierTest, ReportsAnAddedDeviceLeftInitializing) {
  PDEVICE_OBJECT pdo = Pdo();
  PDRIVER_OBJECT driver = LoadToy(CompleteWith(STATUS_SUCCESS));
  static PDEVICE_OBJECT added;
  driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT self, PDEVICE_OBJECT physical) -> NTSTATUS {
    added = NewDevice(self);
    IoAttachDeviceToDeviceStack(added, physical);  // DO_DEVICE_INITIALIZING never cleared
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(world.pnp.AddDevice(driver, pdo), STATUS_SUCCESS);
  ExpectReport(rule::kDeviceInitializing);
  IoDetachDevice(pdo);
  IoDeleteDevice(added);
}
