// The rest of the stand-in: user memory and MDLs, fault injection,
// events, devices and names, interfaces, the registry, the error
// log, the Rtl strings, and the end-of-test audit itself.
#include <array>
#include <cstring>

#include "toy_drivers.h"

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {
constexpr GUID kGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
std::u16string Text(const UNICODE_STRING& string) { return host::FromUnicodeString(&string); }
}  // namespace

// ---------------------------------------------------------------- probing user memory

struct ProbeCase {
  const char* name;
  std::optional<host::Access> access;  // none: a kernel address
  ULONG length;                        // bytes probed from the start of a 64-byte buffer
  LOCK_OPERATION operation;
  bool raises;
};

void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.name; }

class ProbeTest : public KernelTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, UserModeProbesRaiseForAnyByteNotUserMemoryWithTheAccess) {
  const ProbeCase& c = GetParam();
  static std::array<UCHAR, 2 * PAGE_SIZE> kernel;
  void* buffer = c.access ? world.user.Alloc(64, *c.access) : kernel.data();
  PMDL mdl = MmCreateMdl(nullptr, buffer, c.length);
  NTSTATUS raised = STATUS_SUCCESS;
  try {
    MmProbeAndLockPages(mdl, UserMode, c.operation);
  } catch (const HostRaisedStatus& exception) {
    raised = exception.Status;
  }
  EXPECT_EQ(raised, c.raises ? STATUS_ACCESS_VIOLATION : STATUS_SUCCESS);
  EXPECT_EQ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0, !c.raises);
  if (!c.raises) MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ProbeTest,
    ::testing::Values(ProbeCase{"ReadWriteForWrite", host::Access::ReadWrite, 64, IoWriteAccess, false},
                      ProbeCase{"ReadOnlyForRead", host::Access::Read, 64, IoReadAccess, false},
                      ProbeCase{"ReadOnlyForWrite", host::Access::Read, 64, IoWriteAccess, true},
                      ProbeCase{"NoAccessForRead", host::Access::None, 64, IoReadAccess, true},
                      ProbeCase{"RunningIntoTheGuardPage", host::Access::ReadWrite, PAGE_SIZE + 1, IoReadAccess, true},
                      ProbeCase{"KernelAddress", std::nullopt, 64, IoReadAccess, true}),
    [](const auto& info) { return std::string(info.param.name); });

class MemoryTest : public KernelTest {};

TEST_F(MemoryTest, ARangeThatOnlyRunsIntoUserSpaceFailsItsProbeInEitherMode) {
  for (KPROCESSOR_MODE mode : {KernelMode, UserMode}) {
    PMDL mdl = MmCreateMdl(nullptr, (PVOID)(world.user.Base() - PAGE_SIZE), 2 * PAGE_SIZE);
    NTSTATUS raised = STATUS_SUCCESS;
    try {
      MmProbeAndLockPages(mdl, mode, IoReadAccess);
    } catch (const HostRaisedStatus& exception) {
      raised = exception.Status;
    }
    EXPECT_EQ(raised, STATUS_ACCESS_VIOLATION) << "mode " << (int)mode;
    IoFreeMdl(mdl);
  }
}

TEST_F(MemoryTest, AMappedViewIsAnotherAddressForTheSameBytes) {
  void* buffer = world.user.Alloc(6000, host::Access::ReadWrite, 100);
  auto bytes = world.user.Bytes(buffer, 6000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (UCHAR)i;
  PMDL mdl = MmCreateMdl(nullptr, buffer, 6000);
  MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  auto* view = (UCHAR*)MmMapLockedPages(mdl, KernelMode);
  ASSERT_NE(view, nullptr);
  EXPECT_NE((void*)view, buffer);
  EXPECT_FALSE(world.user.Contains(view, 1));
  EXPECT_EQ(mdl->MappedSystemVa, view);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(std::memcmp(view, bytes.data(), 6000), 0);
  view[5000] = 0xAB;  // on the second page
  EXPECT_EQ(bytes[5000], 0xAB);
  bytes[1] = 0xCD;
  EXPECT_EQ(view[1], 0xCD);
  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED), 0);

  // A mapping allowed to fail returns NULL and leaves the MDL unmapped.
  MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
  world.faults.Fail(host::Fault::MdlMapping);
  EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

// ---------------------------------------------------------------- fault injection

struct FaultCase {
  const char* name;
  std::function<void(host::FaultRule&)> rule;
  const char* pattern;  // per call: X fails
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultRuleTest : public KernelTest, public ::testing::WithParamInterface<FaultCase> {};

// Six allocations: tags A B A B A B, sizes 16 16 16 32 32 32.
TEST_P(FaultRuleTest, FailsTheMatchingCalls) {
  const FaultCase& c = GetParam();
  host::FaultRule& rule = world.faults.Fail(host::Fault::PoolAllocation);
  c.rule(rule);
  std::string pattern;
  for (int i = 0; i < 6; ++i) {
    ULONG tag = i % 2 ? host::Tag("FltB") : host::Tag("FltA");
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, i < 3 ? 16 : 32, tag);
    pattern += block ? '.' : 'X';
    if (block) ExFreePoolWithTag(block, tag);
  }
  EXPECT_EQ(pattern, c.pattern);
  EXPECT_EQ(rule.Fired(), (int)std::count(pattern.begin(), pattern.end(), 'X'));
  EXPECT_EQ(world.faults.Calls(host::Fault::PoolAllocation), 6);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, FaultRuleTest,
    ::testing::Values(FaultCase{"FirstByDefault", [](host::FaultRule&) {}, "X....."},
                      FaultCase{"Nth", [](host::FaultRule& r) { r.Nth(3); }, "..X..."},
                      FaultCase{"Times", [](host::FaultRule& r) { r.Nth(2).Times(2); }, ".XX..."},
                      FaultCase{"Always", [](host::FaultRule& r) { r.Nth(4).Always(); }, "...XXX"},
                      FaultCase{"Tag", [](host::FaultRule& r) { r.Tag(host::Tag("FltB")).Always(); }, ".X.X.X"},
                      FaultCase{"NthOfTag", [](host::FaultRule& r) { r.Tag(host::Tag("FltB")).Nth(2); }, "...X.."},
                      FaultCase{"Size", [](host::FaultRule& r) { r.Size(32).Nth(2); }, "....X."},
                      FaultCase{"MinSize", [](host::FaultRule& r) { r.MinSize(17).Always(); }, "...XXX"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultRuleTest, EverySiteFailsWithItsDefaultStatusOrTheOneGiven) {
  using host::Fault;
  PDEVICE_OBJECT pdo = Pdo();
  PDEVICE_OBJECT device = nullptr;
  UNICODE_STRING link = Unicode(u"\\??\\FaultLink"), target = Unicode(u"\\Device\\Anything"), name{};
  HANDLE key = nullptr;
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "text");
  for (Fault site : {Fault::CreateDevice, Fault::CreateSymbolicLink, Fault::StringConversion, Fault::OpenRegistryKey,
                     Fault::RegisterInterface, Fault::SetInterfaceState, Fault::SetValueKey}) {
    world.faults.Fail(site);
  }
  world.faults.Fail(Fault::CreateSymbolicLink).Status(STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(IoCreateDevice(pdo->DriverObject, 0, nullptr, 0, 0, FALSE, &device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&name, &ansi, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  RtlFreeUnicodeString(&name);
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key), STATUS_SUCCESS);
  ULONG value = 0;
  UNICODE_STRING valueName = Unicode(u"V");
  EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, 4), STATUS_INSUFFICIENT_RESOURCES);
  ZwClose(key);
  // The calls that answer with NULL.
  for (Fault site : {Fault::IrpAllocation, Fault::MdlCreation, Fault::ErrorLogEntry, Fault::BuildDeviceIoControl}) {
    world.faults.Fail(site);
  }
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  EXPECT_EQ(MmCreateMdl(nullptr, world.user.Alloc(8), 8), nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(pdo, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0, pdo, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr), nullptr);
}

// ---------------------------------------------------------------- events

class EventTest : public KernelTest {};

TEST_F(EventTest, NotificationEventsStaySignalledSynchronizationEventsReleaseOneWait) {
  LARGE_INTEGER zero{};
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
  host::IrqlScope dispatch(DISPATCH_LEVEL);  // a zero timeout is allowed here
  for (PKEVENT event : {&notification, &synchronization}) {
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 1) << "the previous state";
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  }
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeClearEvent(&notification);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

// ---------------------------------------------------------------- devices and names

class ObjectTest : public KernelTest {};

TEST_F(ObjectTest, DevicesStartInitializingWithAZeroedExtensionAndStackOnTheTop) {
  PDRIVER_OBJECT driver = LoadToy(CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT fresh;
  UNICODE_STRING name = Unicode(u"\\Device\\Stacked"), sameName = Unicode(u"\\DEVICE\\stacked");
  ASSERT_EQ(IoCreateDevice(driver, 40, &name, FILE_DEVICE_SCANNER, 0, FALSE, &fresh), STATUS_SUCCESS);
  EXPECT_TRUE(fresh->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(fresh->Flags & DO_DEVICE_HAS_NAME);
  EXPECT_EQ(fresh->StackSize, 1);
  auto* extension = (const UCHAR*)fresh->DeviceExtension;
  EXPECT_TRUE(std::all_of(extension, extension + 40, [](UCHAR b) { return b == 0; }));
  PDEVICE_OBJECT other = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, &sameName, FILE_DEVICE_SCANNER, 0, FALSE, &other), STATUS_OBJECT_NAME_COLLISION);
  IoDeleteDevice(fresh);

  PDEVICE_OBJECT bottom = Device(driver);
  EXPECT_FALSE(bottom->Flags & DO_DEVICE_HAS_NAME);
  PDEVICE_OBJECT middle = Device(driver, bottom);
  EXPECT_EQ(middle->StackSize, 2);
  PDEVICE_OBJECT top = Device(driver);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle) << "attaching lands on the top of the stack";
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(IoGetAttachedDeviceReference(bottom), top);
  IoDetachDevice(middle);
}

TEST_F(ObjectTest, SymbolicLinksShareOneNamespaceUnderBothSpellings) {
  PDEVICE_OBJECT device = Toy(CompleteWith(STATUS_SUCCESS), nullptr, u"\\Device\\Linked");
  UNICODE_STRING dosName = Unicode(u"\\DosDevices\\ToyLink"), shortName = Unicode(u"\\??\\TOYLINK"),
                 target = Unicode(u"\\Device\\Linked");
  ASSERT_EQ(IoCreateSymbolicLink(&dosName, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&shortName, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(world.objects.Resolve(u"\\??\\ToyLink"), device);
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\\\.\\ToyLink", &handle), STATUS_SUCCESS);
  EXPECT_EQ(handle.device, device);
  world.app.Close(handle);
  EXPECT_EQ(IoDeleteSymbolicLink(&shortName), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(IoDeleteSymbolicLink(&dosName)));
  EXPECT_EQ(world.app.Open("\\\\.\\ToyLink", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ObjectTest, InterfacesAreNamedAfterTheInstanceAndToggleOnce) {
  PDEVICE_OBJECT pdo = Pdo();
  PDEVICE_OBJECT notPdo = Toy(CompleteWith(STATUS_SUCCESS));
  UNICODE_STRING name{};
  EXPECT_FALSE(NT_SUCCESS(IoRegisterDeviceInterface(notPdo, &kGuid, nullptr, &name)));
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(Text(name), u"\\??\\ROOT#TOY#0007#{12345678-9abc-def0-0123-456789abcdef}");
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 1u) << "the caller frees the name";
  ASSERT_NE(world.interfaces.Find(Text(name)), nullptr);
  EXPECT_FALSE(world.interfaces.Find(Text(name))->enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(world.interfaces.Find(Text(name))->enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(world.interfaces.Find(Text(name))->enables, 1);
  EXPECT_EQ(world.interfaces.Find(Text(name))->disables, 1);
  RtlFreeUnicodeString(&name);
}

TEST_F(ObjectTest, RegistryKeysBelongToPdosAndKeepTheExactBytes) {
  PDEVICE_OBJECT pdo = Pdo();
  PDEVICE_OBJECT notPdo = Toy(CompleteWith(STATUS_SUCCESS));
  HANDLE key = nullptr;
  EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(notPdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key)));
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 3, KEY_WRITE, &key), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key), STATUS_SUCCESS);
  EXPECT_THAT(world.Audit(), Contains(HasSubstr("registry: key handle")));

  UNICODE_STRING name = Unicode(u"Blob");
  UCHAR bytes[] = {0, 1, 0, 2, 0};
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, bytes, sizeof(bytes)), STATUS_SUCCESS);
  const host::RegistryValue* value = world.registry.Value(pdo, PLUGPLAY_REGKEY_DRIVER, u"BLOB");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->type, (ULONG)REG_BINARY);
  EXPECT_EQ(value->data, std::vector<uint8_t>(bytes, bytes + sizeof(bytes)));
  WCHAR text[] = u"on";
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, text, sizeof(text)), STATUS_SUCCESS);
  value = world.registry.Value(pdo, PLUGPLAY_REGKEY_DRIVER, u"Blob");
  EXPECT_EQ(value->type, (ULONG)REG_SZ);
  EXPECT_EQ(value->data.size(), sizeof(text));
  EXPECT_EQ(value->Text(), u"on");
  EXPECT_EQ(world.registry.Writes(pdo, PLUGPLAY_REGKEY_DRIVER, u"blob"), 2);
  EXPECT_EQ(world.registry.Value(pdo, PLUGPLAY_REGKEY_DEVICE, u"Blob"), nullptr) << "each key type is its own key";
  ZwClose(key);
}

TEST_F(ObjectTest, ErrorLogEntriesAreZeroedBoundedAndReadableOnceWritten) {
  PDEVICE_OBJECT device = Toy(CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(IoAllocateErrorLogEntry(device, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  void* largest = IoAllocateErrorLogEntry(device, ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(largest, nullptr);
  IoWriteErrorLogEntry(largest);

  constexpr UCHAR kSize = sizeof(IO_ERROR_LOG_PACKET) + sizeof(ULONG);
  auto* packet = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(device, kSize);
  ASSERT_NE(packet, nullptr);
  EXPECT_TRUE(std::all_of((UCHAR*)packet, (UCHAR*)packet + kSize, [](UCHAR b) { return b == 0; }));
  EXPECT_THAT(world.Audit(), Contains(HasSubstr("allocated but never written")));
  packet->ErrorCode = IO_ERR_CONTROLLER_ERROR;
  packet->UniqueErrorValue = 17;
  packet->FinalStatus = STATUS_IO_DEVICE_ERROR;
  packet->DumpDataSize = 2 * sizeof(ULONG);
  packet->DumpData[0] = 0xAAAA;
  packet->DumpData[1] = 0xBBBB;
  IoWriteErrorLogEntry(packet);

  ASSERT_EQ(world.errorLog.Entries().size(), 2u);
  const host::ErrorLogEntry& entry = world.errorLog.Entries()[1];
  EXPECT_EQ(entry.ioObject, device);
  EXPECT_EQ(entry.Packet().ErrorCode, IO_ERR_CONTROLLER_ERROR);
  EXPECT_EQ(entry.Packet().UniqueErrorValue, 17u);
  EXPECT_EQ(entry.Packet().FinalStatus, STATUS_IO_DEVICE_ERROR);
  EXPECT_THAT(entry.DumpData(), ElementsAre(0xAAAAu, 0xBBBBu));
}

TEST_F(ObjectTest, RtlStringsCountBytesAndConversionsAllocateStringPool) {
  UNICODE_STRING unicode = Unicode(u"abc");
  EXPECT_EQ(unicode.Length, 6);
  EXPECT_EQ(unicode.MaximumLength, 8);
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "abcd");
  UNICODE_STRING converted{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&converted, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(converted), u"abcd");
  EXPECT_EQ(converted.Buffer[4], 0);
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 1u);
  RtlFreeUnicodeString(&converted);
  EXPECT_EQ(converted.Buffer, nullptr);

  // A caller's buffer needs room for the terminating NUL as well.
  WCHAR exact[4], room[5] = {u'x', u'x', u'x', u'x', u'x'};
  UNICODE_STRING caller{0, sizeof(exact), exact};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&caller, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
  caller = {0, sizeof(room), room};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&caller, &ansi, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Text(caller), u"abcd");
  EXPECT_EQ(room[4], 0);

  // A text whose conversion with its NUL passes 65535 bytes is refused.
  std::string longest(32766, 'a'), tooLong(32767, 'a');
  ANSI_STRING big{(USHORT)longest.size(), (USHORT)longest.size(), longest.data()};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&converted, &big, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(converted.Length, 65532);
  RtlFreeUnicodeString(&converted);
  big = {(USHORT)tooLong.size(), (USHORT)tooLong.size(), tooLong.data()};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&converted, &big, TRUE), STATUS_INVALID_PARAMETER_2);
  EXPECT_EQ(world.pool.Count(host::kStringPoolTag), 0u);
}

// ---------------------------------------------------------------- the audit

class AuditTest : public KernelTest {};

TEST_F(AuditTest, ListsEverythingLeftBehindUntilItIsGivenBack) {
  PDEVICE_OBJECT pdo = Toy(CompleteWith(STATUS_SUCCESS), nullptr, u"\\Device\\Leaky");
  world.pnp.ReportPdo(pdo, u"ROOT\\TOY\\0000");
  PDEVICE_OBJECT extra;
  IoCreateDevice(pdo->DriverObject, 0, nullptr, FILE_DEVICE_SCANNER, 0, FALSE, &extra);
  void* block = ExAllocatePoolWithTag(PagedPool, 24, host::Tag("Leak"));
  PMDL mdl = MmCreateMdl(nullptr, world.user.Alloc(32), 32);
  MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
  PIRP irp = IoAllocateIrp(2, FALSE);
  UNICODE_STRING link = Unicode(u"\\??\\Leaky"), target = Unicode(u"\\Device\\Leaky");
  IoCreateSymbolicLink(&link, &target);
  HANDLE key;
  IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  void* entry = IoAllocateErrorLogEntry(pdo, sizeof(IO_ERROR_LOG_PACKET));
  host::Report("a reported rule", "test", nullptr);

  std::vector<std::string> left = world.Audit();
  EXPECT_EQ(left.size(), 9u);
  EXPECT_THAT(left, Contains(AllOf(StartsWith("pool: 24 bytes tagged 'Leak'"), HasSubstr("allocated from"))));
  EXPECT_THAT(left, Contains(AllOf(StartsWith("MDL: "), HasSubstr("32 bytes"), HasSubstr("(locked)"))));
  EXPECT_THAT(left, Contains(StartsWith("request: allocated IRP")));
  EXPECT_THAT(left, Contains(AllOf(StartsWith("device: "), HasSubstr("not deleted"))));
  EXPECT_THAT(left, Contains(HasSubstr("\\Device\\Leaky (PDO) not deleted")));
  EXPECT_THAT(left, Contains("link: \\??\\Leaky -> \\Device\\Leaky not deleted"));
  EXPECT_THAT(left, Contains(StartsWith("registry: key handle")));
  EXPECT_THAT(left, Contains(StartsWith("error log: entry")));
  EXPECT_THAT(left, Contains(StartsWith("VERIFIER REPORT: a reported rule")));

  world.TakeReports();
  IoWriteErrorLogEntry(entry);
  ZwClose(key);
  IoDeleteSymbolicLink(&link);
  IoFreeIrp(irp);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  ExFreePoolWithTag(block, host::Tag("Leak"));
  IoDeleteDevice(extra);
  EXPECT_THAT(world.Audit(), Contains(HasSubstr("(PDO) not deleted"))) << "the fixture's own device is still there";
}
