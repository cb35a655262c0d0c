// Requests that a completion routine sends down again, chunk after chunk:
// nested completions on one kernel stack, the double-completion rule, sends
// racing on several threads, and the recycled memory of freed requests.
#include <thread>

#include "chunking_driver.h"
#include "toy_drivers.h"

using host::KernelStack;
using sim::Completion;

namespace {

// Whether the bytes of a read are the instrument's pattern from Start on.
bool IsPattern(std::span<const uint8_t> bytes, uint64_t start) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != sim::ScriptedInstrument::PatternByte(start + i)) return false;
  }
  return true;
}

}  // namespace

class ChunkingTest : public WorldTest {
 protected:
  void Start(Completion scsi, ULONG chunk, int completionThreads = 1) {
    sim::PortConfig config;
    config.scsi = scsi;
    config.completionThreads = completionThreads;
    port = std::make_unique<sim::PortDriver>(world, config);
    toy = std::make_unique<sim::ChunkingDriver>(world, port->Pdo(), chunk);
    ASSERT_EQ(world.app.Open(toy->OpenName(), &handle), STATUS_SUCCESS);
  }

  // Reads Chunks whole chunks into a fresh user buffer.
  host::IoResult Read(int chunks, void** buffer = nullptr) {
    ULONG length = toy->ChunkLength() * chunks;
    void* data = world.user.Alloc(length);
    if (buffer != nullptr) *buffer = data;
    return world.app.Read(handle, data, length);
  }

  void Clean() override {
    if (handle.file != nullptr) world.app.Close(handle);
    toy.reset();
    port.reset();
  }

  std::unique_ptr<sim::PortDriver> port;
  std::unique_ptr<sim::ChunkingDriver> toy;
  host::Handle handle;
};

TEST_F(ChunkingTest, ChunksCompletedInsideTheirSendNestAndEachAddsFramesToTheStack) {
  Start(Completion::Immediate, 4096);
  void* buffer;
  host::IoResult result = Read(3, &buffer);
  ASSERT_EQ(result.status, STATUS_SUCCESS) << "the second chunk's completion inside the first one's routine is no double completion";
  EXPECT_EQ(result.information, 3 * 4096u);
  EXPECT_TRUE(IsPattern(world.user.Bytes(buffer, 3 * 4096), 0));
  size_t threeChunks = KernelStack::Deepest();

  ASSERT_EQ(Read(6).status, STATUS_SUCCESS);
  EXPECT_EQ(KernelStack::Deepest() - threeChunks, 3 * (KernelStack::kCallFrame + KernelStack::kCompletionFrame));
  EXPECT_EQ(port->ExecuteSrbs().size(), 9u);
}

TEST_F(ChunkingTest, PumpedChunksRunOnTheirOwnStackHoweverManyThereAre) {
  Start(Completion::Pumped, 4096);
  ASSERT_EQ(Read(3).status, STATUS_SUCCESS);
  size_t threeChunks = KernelStack::Deepest();
  ASSERT_EQ(Read(40).status, STATUS_SUCCESS);
  EXPECT_EQ(KernelStack::Deepest(), threeChunks);
  EXPECT_LT(threeChunks, KernelStack::kEntry + 3 * KernelStack::kCallFrame);
}

// Each chunk takes the world's lock once to go down (IofCallDriver) and
// once to come back (IofCompleteRequest); nothing else on its road does.
TEST_F(ChunkingTest, EachChunkTakesTheWorldLockOnceDownAndOnceUp) {
  Start(Completion::Pumped, 4096);
  auto taken = [this](int chunks) {
    uint64_t before = host::WorldLock::TakenByThisThread();
    EXPECT_EQ(Read(chunks).status, STATUS_SUCCESS);
    return host::WorldLock::TakenByThisThread() - before;
  };
  taken(1);  // the first read of a handle may set things up
  uint64_t three = taken(3), eleven = taken(11);
  EXPECT_EQ(eleven - three, 8u * 2) << "world-lock acquisitions per chunk beyond the request's own";
}

TEST_F(ChunkingTest, NestingPastTheKernelStackStopsWithItsRule) {
  Start(Completion::Immediate, 4096);
  EXPECT_DEATH(Read(64), "VERIFIER: kernel stack overflow by nested completion \\[Iof(CallDriver|CompleteRequest), ");
}

// Many threads read through one device whose completions come from two
// port threads, so that a completion routine often sends the next chunk
// before the thread that sent the first has left IofCallDriver. No report
// may come of it (the audit at the end takes them all).
TEST_F(ChunkingTest, ChunksSentFromAnotherThreadWhileTheFirstSendReturnsRaiseNoReport) {
  Start(Completion::Threaded, 512, 2);
  constexpr int kThreads = 4, kReads = 20000, kChunks = 3;
  std::atomic<int> failed{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([&] {
      host::Handle mine;
      if (world.app.Open(toy->OpenName(), &mine) != STATUS_SUCCESS) {
        ++failed;
        return;
      }
      void* data = world.user.Alloc(512 * kChunks);
      for (int i = 0; i < kReads; ++i) {
        host::IoResult result = world.app.Read(mine, data, 512 * kChunks);
        if (result.status != STATUS_SUCCESS || result.information != 512 * kChunks) ++failed;
      }
      world.app.Close(mine);
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(port->Script().BytesRead(), uint64_t(kThreads) * kReads * kChunks * 512);
}

// ---------------------------------------------------------------- completing twice

class CompletingAgainTest : public KernelTest {};

// A routine that completes its request itself: the walk it runs in must
// stop there (STATUS_MORE_PROCESSING_REQUIRED), or two walks go over the
// same locations.
template <NTSTATUS kReturned>
NTSTATUS CompleteItself(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return kReturned;
}

PDEVICE_OBJECT PassingWith(KernelTest& test, PIO_COMPLETION_ROUTINE routine) {
  PDEVICE_OBJECT lower = test.Toy(CompleteWith(STATUS_SUCCESS));
  return test.Toy(
      [lower, routine](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
      },
      lower);
}

TEST_F(CompletingAgainTest, ARoutineMayFinishTheCompletionItselfIfItsOwnWalkStopsThere) {
  Issued& issued = Issue(PassingWith(*this, CompleteItself<STATUS_MORE_PROCESSING_REQUIRED>));
  EXPECT_TRUE(issued.done);
  EXPECT_EQ(issued.status.Status, STATUS_SUCCESS);
}

TEST_F(CompletingAgainTest, CompletingAgainWhileARoutineRunsAndThenGoingOnStops) {
  EXPECT_DEATH(Issue(PassingWith(*this, CompleteItself<STATUS_SUCCESS>)),
               StopLine(host::rule::kCompletedTwice, "IofCompleteRequest") + ".*completed again while its completion routine ran");
}

// A routine that hands its request to another thread, which completes it
// before the routine has returned: no double completion, the walk that
// brought it there stops when the routine returns.
TEST_F(CompletingAgainTest, AHandedOnRequestMayBeCompletedBeforeTheRoutineThatHandedItOnReturns) {
  struct Handoff {
    PIRP irp = nullptr;
    std::atomic<bool> completed{false};
  };
  static Handoff handoff;
  PDEVICE_OBJECT upper = PassingWith(*this, [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
    handoff.irp = irp;
    std::thread other([irp] {
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      handoff.completed = true;
    });
    other.join();  // the other processor is quicker than this routine's return
    return STATUS_MORE_PROCESSING_REQUIRED;
  });
  Issued& issued = Issue(upper);
  EXPECT_TRUE(handoff.completed);
  EXPECT_TRUE(issued.done);
}

// Sends the request to the lower device once more, then lets the
// completion that brought it back go on as if nothing had happened.
NTSTATUS SendAgainAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* again = (bool*)context;
  if (*again) return STATUS_MORE_PROCESSING_REQUIRED;
  *again = true;
  PDEVICE_OBJECT lower = IoGetNextIrpStackLocation(irp)->DeviceObject;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SendAgainAndContinue, again, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
  return STATUS_SUCCESS;
}

TEST_F(CompletingAgainTest, SendingItAgainButLettingTheCompletionGoOnStops) {
  static bool again = false;
  PDEVICE_OBJECT lower = Toy(CompleteWith(STATUS_SUCCESS));
  PDEVICE_OBJECT upper = Toy(
      [lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SendAgainAndContinue, &again, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
      },
      lower);
  EXPECT_DEATH(Issue(upper), StopLine(host::rule::kResentButContinued, "IofCompleteRequest"));
}

// ---------------------------------------------------------------- request memory

class RequestMemoryTest : public KernelTest {};

TEST_F(RequestMemoryTest, RequestsAreFixedSizeAndTheirPagesComeBackWithoutASystemCallEach) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  EXPECT_EQ(irp->AllocationFlags, IRP_ALLOCATED_FIXED_SIZE);
  EXPECT_EQ(irp->StackCount, 3);
  IoFreeIrp(irp);

  // Past the world's first requests, pages change protection in runs.
  for (int i = 0; i < 2000; ++i) IoFreeIrp(IoAllocateIrp(4, FALSE));
  size_t before = world.irps.SystemCalls();
  constexpr int kSteady = 10000;
  for (int i = 0; i < kSteady; ++i) IoFreeIrp(IoAllocateIrp(4, FALSE));
  EXPECT_LE(world.irps.SystemCalls() - before, 2u * kSteady / host::IrpArena::kRun + 2);
}

TEST_F(RequestMemoryTest, AFreedRequestStaysOutOfReachInSteadyStateToo) {
  EXPECT_DEATH(
      {
        for (int i = 0; i < 2000; ++i) IoFreeIrp(IoAllocateIrp(2, FALSE));
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoFreeIrp(irp);
        // Its memory now points nowhere: following any pointer in it stops.
        (void)*(volatile CHAR*)IoGetCurrentIrpStackLocation(irp);
      },
      "VERIFIER: freed request touched \\[a pointer read from a freed request, ");
  EXPECT_DEATH(
      {
        for (int i = 0; i < 2000; ++i) IoFreeIrp(IoAllocateIrp(2, FALSE));
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoFreeIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;  // a write after the free
        world.Audit();
      },
      StopLine(host::rule::kFreedIrpTouched, "IoFreeIrp") + ".*written after it was freed");
}
