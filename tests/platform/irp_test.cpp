// Requests in the stand-in: the completion walk and its routines, pending
// propagation, the I/O manager's threaded requests and its buffering of
// device controls.
#include <array>
#include <cstring>

#include "toy_drivers.h"

using ::testing::Combine;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using ::testing::Values;

namespace {

constexpr ULONG Ioctl(ULONG method) { return CTL_CODE(FILE_DEVICE_SCANNER, 0x801, method, FILE_ANY_ACCESS); }

// Passes each request to Lower with Routine registered by the Control bits given.
ToyRoutine PassWithRoutine(PDEVICE_OBJECT* lower, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                           BOOLEAN onError, BOOLEAN onCancel) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, context, onSuccess, onError, onCancel);
    return IoCallDriver(*lower, irp);
  };
}

NTSTATUS Count(PDEVICE_OBJECT, PIRP, PVOID context) {
  ++*(int*)context;
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------- which routines run

enum class Register { OnSuccess, OnError, OnCancel };

class CompletionControlTest : public KernelTest,
                              public ::testing::WithParamInterface<std::tuple<NTSTATUS, Register, bool>> {};

TEST_P(CompletionControlTest, TheRoutineRunsExactlyWhenItsControlBitMatches) {
  auto [status, registered, cancelled] = GetParam();
  PDEVICE_OBJECT lower = Toy([status, cancelled](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = cancelled;
    host::CompleteRequest(irp, status, 0);
    return status;
  });
  int runs = 0;
  PDEVICE_OBJECT upper = Toy(PassWithRoutine(&lower, Count, &runs, registered == Register::OnSuccess,
                                             registered == Register::OnError, registered == Register::OnCancel),
                             lower);
  Issued& issued = Issue(upper);
  bool expected = (NT_SUCCESS(status) && registered == Register::OnSuccess) ||
                  (!NT_SUCCESS(status) && registered == Register::OnError) ||
                  (cancelled && registered == Register::OnCancel);
  EXPECT_EQ(runs, expected ? 1 : 0);
  ASSERT_TRUE(issued.done) << "the walk goes on to the top either way";
  EXPECT_EQ(issued.status.Status, status);
}

INSTANTIATE_TEST_SUITE_P(
    StatusByControl, CompletionControlTest,
    Combine(Values(STATUS_SUCCESS, STATUS_OBJECT_NAME_EXISTS, STATUS_BUFFER_OVERFLOW, STATUS_IO_DEVICE_ERROR),
            Values(Register::OnSuccess, Register::OnError, Register::OnCancel), Values(false, true)),
    [](const auto& info) {
      NTSTATUS status = std::get<0>(info.param);
      std::string name = status == STATUS_SUCCESS             ? "Success"
                         : status == STATUS_OBJECT_NAME_EXISTS ? "Informational"
                         : status == STATUS_BUFFER_OVERFLOW    ? "Warning"
                                                               : "Error";
      Register registered = std::get<1>(info.param);
      name += registered == Register::OnSuccess ? "_OnSuccess" : registered == Register::OnError ? "_OnError" : "_OnCancel";
      return name + (std::get<2>(info.param) ? "_Cancelled" : "");
    });

// ---------------------------------------------------------------- the walk

class CompletionWalkTest : public KernelTest {};

TEST_F(CompletionWalkTest, ARoutineRunsInItsDriversOwnLocationWithTheLowerOneCleared) {
  struct {
    PDEVICE_OBJECT argument, current;
    int location;
    UCHAR lowerControl;
  } seen{};
  PDEVICE_OBJECT lower = Toy(CompleteWith(STATUS_SUCCESS, 7));
  PIO_COMPLETION_ROUTINE record = [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    *(decltype(seen)*)context = {device, current->DeviceObject, irp->CurrentLocation, (current - 1)->Control};
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT upper = Toy(PassWithRoutine(&lower, record, &seen, TRUE, TRUE, TRUE), lower);
  Issued& issued = Issue(upper);
  EXPECT_EQ(seen.argument, upper);
  EXPECT_EQ(seen.current, upper);
  EXPECT_EQ(seen.location, 2);
  EXPECT_EQ(seen.lowerControl, 0);
  // The issuer has no location of its own: its routine runs past the top.
  ASSERT_TRUE(issued.done);
  EXPECT_EQ(issued.routineDevice, nullptr);
  EXPECT_EQ(issued.status.Information, 7u);
}

TEST_F(CompletionWalkTest, MoreProcessingRequiredStopsTheWalkAndALaterCompletionResumesAbove) {
  PDEVICE_OBJECT lower = Toy(CompleteWith(STATUS_SUCCESS));
  int reclaims = 0;
  PIO_COMPLETION_ROUTINE reclaim = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
    ++*(int*)context;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  int locationAfterCall = 0;
  bool doneAfterCall = true;
  PDEVICE_OBJECT upper = Toy(
      [&](PDEVICE_OBJECT, PIRP irp) {
        PassWithRoutine(&lower, reclaim, &reclaims, TRUE, TRUE, TRUE)(nullptr, irp);
        locationAfterCall = irp->CurrentLocation;
        doneAfterCall = Sending().done;
        host::CompleteRequest(irp, STATUS_SUCCESS, 42);  // the forward-and-wait pattern
        return STATUS_SUCCESS;
      },
      lower);
  Issued& result = Issue(upper);
  EXPECT_EQ(reclaims, 1) << "a routine runs once; resuming starts above it";
  EXPECT_EQ(locationAfterCall, 2) << "the walk stopped in the upper driver's location";
  EXPECT_FALSE(doneAfterCall) << "the issuer's routine waits for the resumed walk";
  ASSERT_TRUE(result.done);
  EXPECT_EQ(result.status.Information, 42u);
}

TEST_F(CompletionWalkTest, PendingPropagatesThroughALocationWhereNoRoutineRan) {
  PIRP held = nullptr;
  PDEVICE_OBJECT holder = Toy(HoldIn(&held));
  PDEVICE_OBJECT completer = Toy(CompleteWith(STATUS_SUCCESS));
  auto forward = [](PDEVICE_OBJECT* lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);  // no routine of its own
      return IoCallDriver(*lower, irp);
    };
  };
  Issued& pending = Issue(Toy(forward(&holder), holder));
  EXPECT_EQ(pending.returned, STATUS_PENDING);
  EXPECT_FALSE(pending.done);
  host::CompleteRequest(held, STATUS_SUCCESS, 0);
  ASSERT_TRUE(pending.done);
  EXPECT_TRUE(pending.pendingReturned);

  Issued& atOnce = Issue(Toy(forward(&completer), completer));
  ASSERT_TRUE(atOnce.done);
  EXPECT_FALSE(atOnce.pendingReturned);
}

// ---------------------------------------------------------------- threaded requests

struct ThreadedCase {
  const char* name;
  NTSTATUS status;
  bool pends;
  bool written;  // status block written and event set
};

void PrintTo(const ThreadedCase& c, std::ostream* out) { *out << c.name; }

class ThreadedRequestTest : public KernelTest, public ::testing::WithParamInterface<ThreadedCase> {};

TEST_P(ThreadedRequestTest, StatusBlockAndEventFollowThePlatform) {
  const ThreadedCase& c = GetParam();
  PIRP held = nullptr;
  PDEVICE_OBJECT device = Toy(c.pends ? HoldIn(&held) : CompleteWith(c.status, 3));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(Ioctl(METHOD_BUFFERED), device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IO_STATUS_BLOCK before = iosb;
  NTSTATUS returned = IoCallDriver(device, irp);
  EXPECT_EQ(returned, c.pends ? STATUS_PENDING : c.status);
  if (c.pends) {
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    host::CompleteRequest(held, c.status, 3);
  }
  EXPECT_EQ(KeReadStateEvent(&event), c.written ? 1 : 0);
  EXPECT_EQ(iosb.Status, c.written ? c.status : before.Status);
  EXPECT_EQ(iosb.Information, c.written ? 3u : before.Information);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ThreadedRequestTest,
                         Values(ThreadedCase{"SuccessAtOnce", STATUS_SUCCESS, false, true},
                                ThreadedCase{"WarningAtOnce", STATUS_BUFFER_OVERFLOW, false, true},
                                ThreadedCase{"ErrorAtOnce", STATUS_IO_DEVICE_ERROR, false, false},
                                ThreadedCase{"SuccessAfterPending", STATUS_SUCCESS, true, true},
                                ThreadedCase{"ErrorAfterPending", STATUS_IO_DEVICE_ERROR, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- buffered copy-back

struct CopyBackCase {
  const char* name;
  NTSTATUS status;
  ULONG information;
  size_t copied;  // of the 8 output bytes
};

void PrintTo(const CopyBackCase& c, std::ostream* out) { *out << c.name; }

class BufferedCopyBackTest : public KernelTest, public ::testing::WithParamInterface<std::tuple<bool, CopyBackCase>> {};

// The target finds the 4 input bytes, fills its whole system buffer and
// reports Information bytes; the caller's 8 output bytes start as 0x11.
TEST_P(BufferedCopyBackTest, CopiesBackInformationBytesAtMostTheBuffer) {
  auto [application, c] = GetParam();
  PDEVICE_OBJECT device = Toy(
      [c](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
          return CompleteWith(STATUS_SUCCESS)(nullptr, irp);
        }
        auto* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
        EXPECT_EQ(buffer[3], 0x33);
        std::memset(buffer, 0xEE, 8);
        return CompleteWith(c.status, c.information)(nullptr, irp);
      },
      nullptr, u"\\Device\\Buffered");
  std::array<UCHAR, 8> expected, output;
  expected.fill(0x11);
  std::memset(expected.data(), 0xEE, c.copied);
  if (application) {
    host::Handle handle;
    ASSERT_EQ(world.app.Open("\\Device\\Buffered", &handle), STATUS_SUCCESS);
    void* in = world.user.Alloc(4, host::Access::Read);
    void* out = world.user.Alloc(8);
    std::memset(world.user.Bytes(in, 4).data(), 0x33, 4);
    std::memset(world.user.Bytes(out, 8).data(), 0x11, 8);
    host::IoResult result = world.app.DeviceIoControl(handle, Ioctl(METHOD_BUFFERED), in, 4, out, 8);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, c.information);
    std::memcpy(output.data(), world.user.Bytes(out, 8).data(), 8);
    world.app.Close(handle);
  } else {
    std::array<UCHAR, 4> input;
    input.fill(0x33);
    output.fill(0x11);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl(METHOD_BUFFERED), device, input.data(), 4, output.data(), 8, FALSE,
                                             nullptr, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), c.status);
  }
  EXPECT_EQ(output, expected);
  if (c.information > 8) {
    EXPECT_THAT(world.TakeReports(), ElementsAre(StartsWith(std::string("VERIFIER REPORT: ") + host::rule::kBufferedOverrun)));
  }
}

INSTANTIATE_TEST_SUITE_P(IssuerByInformation, BufferedCopyBackTest,
                         Combine(Values(false, true), Values(CopyBackCase{"Partial", STATUS_SUCCESS, 5, 5},
                                                             CopyBackCase{"Warning", STATUS_BUFFER_OVERFLOW, 8, 8},
                                                             CopyBackCase{"Error", STATUS_IO_DEVICE_ERROR, 5, 0},
                                                             CopyBackCase{"BeyondTheBuffer", STATUS_SUCCESS, 12, 8})),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Application_" : "ThreadedRequest_") +
                                  std::get<1>(info.param).name;
                         });

// ---------------------------------------------------------------- direct methods

class DirectMethodTest : public KernelTest {};

TEST_F(DirectMethodTest, ApplicationOutputIsLockedFromUserModeAndWrittenThroughTheMapping) {
  Toy(
      [](PDEVICE_OBJECT, PIRP irp) {
        if (irp->MdlAddress != nullptr) {
          auto* mapped = (UCHAR*)MmMapLockedPages(irp->MdlAddress, KernelMode);
          std::memset(mapped, 0x7E, MmGetMdlByteCount(irp->MdlAddress));
        }
        host::CompleteRequest(irp, STATUS_SUCCESS, irp->MdlAddress ? MmGetMdlByteCount(irp->MdlAddress) : 0);
        return STATUS_SUCCESS;
      },
      nullptr, u"\\Device\\Direct");
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\Device\\Direct", &handle), STATUS_SUCCESS);
  void* output = world.user.Alloc(100, host::Access::ReadWrite, 4090);  // across a page boundary
  host::IoResult result = world.app.DeviceIoControl(handle, Ioctl(METHOD_OUT_DIRECT), nullptr, 0, output, 100);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 100u);
  for (UCHAR byte : world.user.Bytes(output, 100)) ASSERT_EQ(byte, 0x7E);

  // The driver is never called for output it could not write.
  void* readOnly = world.user.Alloc(100, host::Access::Read);
  result = world.app.DeviceIoControl(handle, Ioctl(METHOD_OUT_DIRECT), nullptr, 0, readOnly, 100);
  EXPECT_EQ(result.status, STATUS_ACCESS_VIOLATION);
  world.app.Close(handle);
}
