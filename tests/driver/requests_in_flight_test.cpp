// Requests of several handles in flight at once, completed on several port
// threads, and a stop or removal arriving in the middle: each request ends
// with its own data and status, and the stop waits for the last of them.
#include <atomic>
#include <thread>

#include "app_fixture.h"

using sim::Completion;

class InFlightTest : public ThreadedAppTest {
 protected:
  // Each 64 KiB chunk of a read is one run of the instrument's pattern,
  // whose bytes step by 7.
  bool ChunksAreRuns(const void* data, ULONG length) {
    auto bytes = world.user.Bytes(data, length);
    for (ULONG i = 1; i < length; ++i) {
      if (i % 65536 != 0 && bytes[i] != (uint8_t)(bytes[i - 1] + 7)) return false;
    }
    return true;
  }
};

// A read held at the port keeps a stop, and then a removal, from returning
// until it completes.
TEST_F(InFlightTest, AReadHeldAtThePortHoldsTheStopAndTheRemovalBack) {
  for (UCHAR minor : {IRP_MN_STOP_DEVICE, IRP_MN_REMOVE_DEVICE}) {
    SCOPED_TRACE(minor);
    port->HoldThreaded(true);
    void* data = world.user.Alloc(3 * 65536);
    auto read = world.app.ReadAsync(*a, data, 3 * 65536);
    std::atomic<bool> returned{false};
    std::thread manager([&] {
      if (minor == IRP_MN_REMOVE_DEVICE) {
        world.pnp.ForceRemove(port->Pdo());
      } else {
        Pnp(device, minor);
      }
      returned = true;
    });
    ASSERT_TRUE(world.events.AwaitBlockedWaiters(1));
    EXPECT_FALSE(returned) << "held back while the read is at the port";
    EXPECT_FALSE(read->Done());
    port->HoldThreaded(false);
    manager.join();
    // The driver was done with the read before the stop returned; the I/O
    // manager may still be finishing it.
    EXPECT_EQ(read->Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(read->Result().information, 3 * 65536u);
    if (minor == IRP_MN_STOP_DEVICE) {
      ASSERT_EQ(Start(device), STATUS_SUCCESS);
    }
  }
  EXPECT_TRUE(RemovedByPnp(device));
}

TEST_F(InFlightTest, ReadsWritesAndPassThroughsOfThreeHandlesEndCorrectlyWhenAStopComesInTheMiddle) {
  host::Handle& c = Open();
  // Each thread goes on until the stop refuses it; the bound only keeps a
  // driver that never refuses from hanging the test.
  constexpr int kBound = 1000000;
  struct Tally {
    std::atomic<int> served{0}, refused{0}, wrong{0};
  };
  Tally reads, writes, passes;
  auto reader = [&] {
    void* data = world.user.Alloc(3 * 65536);
    for (int i = 0; i < kBound; ++i) {
      host::IoResult result = world.app.Read(*a, data, 3 * 65536);
      if (result.status == STATUS_DELETE_PENDING) {
        ++reads.refused;
        return;
      }
      bool good = result.status == STATUS_SUCCESS && result.information == 3 * 65536 && ChunksAreRuns(data, 3 * 65536);
      ++(good ? reads.served : reads.wrong);
    }
  };
  auto writer = [&] {
    void* data = world.user.Alloc(2 * 65536);
    for (int i = 0; i < kBound; ++i) {
      host::IoResult result = world.app.Write(*b, data, 2 * 65536);
      if (result.status == STATUS_DELETE_PENDING) {
        ++writes.refused;
        return;
      }
      ++(result.status == STATUS_SUCCESS && result.information == 2 * 65536 ? writes.served : writes.wrong);
    }
  };
  auto passer = [&] {
    void* data = world.user.Alloc(100000);
    for (int i = 0; i < kBound; ++i) {
      UserCommand command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(100000).Build(world);
      host::IoResult result = PassThrough(c, command, data, 100000);
      if (result.status == STATUS_DELETE_PENDING) {
        ++passes.refused;
        return;
      }
      bool good = result.status == STATUS_SUCCESS && result.information == 100000 &&
                  command.Status() == SRB_STATUS_SUCCESS && ChunksAreRuns(data, 100000);
      ++(good ? passes.served : passes.wrong);
    }
  };
  std::thread threads[] = {std::thread(reader), std::thread(writer), std::thread(passer)};
  world.WaitUntil([&] { return reads.served >= 20 && writes.served >= 20 && passes.served >= 20; }, "requests served");
  ASSERT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  // A request that arrives after the stop counts itself in before it reads
  // that the device is stopped, and out again as it is refused: at most one
  // such request per thread may be counted when the stop returns.
  EXPECT_LE(InterlockedCompareExchange(&extension->PendingIoCount, 0, 0), 3) << "only late requests being refused";
  for (auto& thread : threads) thread.join();
  for (Tally* tally : {&reads, &writes, &passes}) {
    EXPECT_EQ(tally->wrong, 0);
    EXPECT_GE(tally->served, 20);
  }
  EXPECT_EQ(reads.refused + writes.refused + passes.refused, 3) << "each thread stopped at its first refusal";
  EXPECT_EQ(extension->PendingIoCount, 0);
}

// Timeouts changed by one handle while another's reads are in flight: each
// SRB carries a timeout that was set, whole, and the reads are not
// disturbed.
TEST_F(InFlightTest, TimeoutsChangedDuringTransfersReachEachSrbWhole) {
  std::atomic<bool> done{false};
  std::thread setter([&] {
    ULONG* value = UserValue<ULONG>(0);
    for (ULONG round = 0; !done; ++round) {
      *world.user.As<ULONG>(value) = 0x01010101u * (1 + round % 4);
      EXPECT_EQ(Control(*b, IOCTL_SCSISCAN_SET_TIMEOUT, value, 4, nullptr, 0).status, STATUS_SUCCESS);
    }
  });
  void* data = world.user.Alloc(3 * 65536);
  for (int i = 0; i < 100; ++i) {
    host::IoResult result = world.app.Read(*a, data, 3 * 65536);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 3 * 65536u);
  }
  done = true;
  setter.join();
  for (const auto& sent : port->Srbs()) {
    ULONG timeout = sent.srb.TimeOutValue;
    EXPECT_TRUE(timeout == 60 || (timeout % 0x01010101u == 0 && timeout / 0x01010101u <= 4)) << std::hex << timeout;
  }
}

// A queue release still at the port counts in the device: the removal
// waits for it, so its completion never runs in a driver that has gone.
TEST_F(InFlightTest, AQueueReleaseStillAtThePortHoldsTheRemovalBack) {
  port->Script().Then(sim::ScsiOutcome::CheckCondition(0x5, 0x20, 0x00));
  UserCommand command = CommandBuilder().Cdb({0xC1, 0, 0, 0, 0, 0}).Build(world);
  port->HoldThreaded(true);
  // The command completes when pumped; its queue release stays held.
  port->ScriptScsiCompletion({Completion::Pumped, Completion::Threaded});
  EXPECT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS);
  EXPECT_EQ(command.Status(), 0xC4);
  EXPECT_EQ(port->Releases(), 1);
  EXPECT_EQ(extension->PendingIoCount, 2) << "the bias and the release";
  for (host::Handle& handle : handles) world.app.Close(handle);
  std::atomic<bool> removed{false};
  std::thread manager([&] {
    world.pnp.Remove(port->Pdo());
    removed = true;
  });
  ASSERT_TRUE(world.events.AwaitBlockedWaiters(1));
  EXPECT_FALSE(removed) << "the release is still counted";
  port->HoldThreaded(false);
  manager.join();
  EXPECT_TRUE(RemovedByPnp(device));
}
