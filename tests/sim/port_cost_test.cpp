// What the simulated port driver costs per SRB beyond the stand-in's own
// work for a request: no heap allocation once its queues are warm, in any
// completion mode, for reads and writes of 64 KiB. The same requests sent to
// a toy device that completes them at once give the stand-in's share.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "toy_drivers.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator counts instead; its runtime has the hooks.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*allocated)(const volatile void*, size_t),
                                                         void (*freed)(const volatile void*));

namespace {
void CountAllocation(const volatile void*, size_t) { g_allocations.fetch_add(1, std::memory_order_relaxed); }
void IgnoreFree(const volatile void*) {}
[[maybe_unused]] const int g_hooked = __sanitizer_install_malloc_and_free_hooks(CountAllocation, IgnoreFree);
}  // namespace
#else
// Every allocation of the test program is counted. (The compiler takes the
// replaced operators for the library's and warns of a mismatch.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
#endif

namespace {

constexpr ULONG kChunk = 65536;

struct Io {
  SCSI_REQUEST_BLOCK srb{};
  UCHAR sense[18]{};
  KEVENT done;
};

NTSTATUS SrbCollected(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  irp->MdlAddress = nullptr;  // the test's, for every request
  IoFreeIrp(irp);
  KeSetEvent(&((Io*)context)->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

class PortCostTest : public KernelTest, public ::testing::WithParamInterface<sim::Completion> {
 protected:
  void SetUp() override {
    sim::PortConfig config;
    config.scsi = GetParam();
    config.completionThreads = 2;
    port = std::make_unique<sim::PortDriver>(world, config, 1);
    toy = Toy(CompleteWith(STATUS_SUCCESS, kChunk));
    buffer = world.user.Alloc(kChunk);
    mdl = MmCreateMdl(nullptr, buffer, kChunk);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    KeInitializeEvent(&io.done, SynchronizationEvent, FALSE);
  }

  void Clean() override {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    port.reset();
    KernelTest::Clean();
  }

  // Sends Count SRBs to Device, reads and writes in turn, each to its end;
  // returns the allocations made meanwhile.
  long Send(PDEVICE_OBJECT device, int count) {
    long before = g_allocations.load();
    for (int i = 0; i < count; ++i) {
      PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
      irp->MdlAddress = mdl;
      io.srb = {};
      io.srb.Length = sizeof(io.srb);
      io.srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
      io.srb.SrbFlags = i % 2 ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
      io.srb.DataTransferLength = kChunk;
      io.srb.DataBuffer = MmGetMdlVirtualAddress(mdl);
      io.srb.SenseInfoBuffer = io.sense;
      io.srb.SenseInfoBufferLength = sizeof(io.sense);
      io.srb.OriginalRequest = irp;
      io.srb.CdbLength = 10;
      io.srb.Cdb[0] = i % 2 ? 0x2A : 0x28;
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = IRP_MJ_SCSI;
      next->Parameters.Scsi.Srb = &io.srb;
      IoSetCompletionRoutine(irp, SrbCollected, &io, TRUE, TRUE, TRUE);
      IoCallDriver(device, irp);
      // Drives a pumped completion, waits for a threaded one.
      KeWaitForSingleObject(&io.done, Executive, KernelMode, FALSE, nullptr);
      if (device == port->Pdo()) {
        EXPECT_EQ(io.srb.SrbStatus, SRB_STATUS_SUCCESS);
      }
    }
    return g_allocations.load() - before;
  }

  std::unique_ptr<sim::PortDriver> port;
  PDEVICE_OBJECT toy = nullptr;
  void* buffer = nullptr;
  PMDL mdl = nullptr;
  Io io;
};

TEST_P(PortCostTest, ReadsAndWritesAllocateNothingBeyondTheStandInsOwnWork) {
  long before = g_allocations.load();
  ::operator delete(::operator new(64));
  ASSERT_EQ(g_allocations.load() - before, 1) << "allocations are counted";
  constexpr int kCount = 256;
  Send(port->Pdo(), 32);  // the completion threads, the instrument's kept bytes
  Send(toy, 32);
  long throughPort = Send(port->Pdo(), kCount);
  long toToy = Send(toy, kCount);
  // The stand-in's own containers allocate a block now and then, not
  // always at the same request; the port's share is what is left.
  EXPECT_LE(throughPort - toToy, kCount / 16)
      << throughPort << " allocations through the port, " << toToy << " to the toy";
  EXPECT_EQ(port->Script().BytesRead() + port->Script().BytesWritten(), (uint64_t)(kCount + 32) * kChunk);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortCostTest,
                         ::testing::Values(sim::Completion::Immediate, sim::Completion::Pumped,
                                           sim::Completion::Threaded),
                         [](const auto& info) {
                           return info.param == sim::Completion::Immediate ? "Immediate"
                                  : info.param == sim::Completion::Pumped  ? "Pumped"
                                                                           : "Threaded";
                         });
