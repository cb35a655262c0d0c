// The simulated port's completion threads: completions at DISPATCH_LEVEL off
// the sender's thread, several at once, the frozen queue across threads, and
// unplugging while the threads hold SRBs.
#include <condition_variable>
#include <mutex>
#include <set>
#include <span>

#include "port_fixture.h"

using sim::Completion;
using sim::ScsiOutcome;

class ThreadedPortTest : public PortTest {
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = Completion::Threaded;
    return config;
  }
};

TEST_F(ThreadedPortTest, CompletionsRunAtDispatchLevelOnTheCompletionThread) {
  port->HoldThreaded(true);
  SrbIo& io = Send({.opcode = kTestUnitReady});
  EXPECT_EQ(io.returned, STATUS_PENDING);
  EXPECT_EQ(port->Queued(), 1u);
  EXPECT_FALSE(port->Pump()) << "a threaded completion is not the test's to pump";
  port->HoldThreaded(false);
  world.WaitUntil([&] { return io.done.load(); }, "the threaded completion");
  EXPECT_EQ(io.irql, DISPATCH_LEVEL);
  EXPECT_NE(io.thread, std::this_thread::get_id());
}

namespace {

// Holds the first commands until Parties of them are executing at once.
class Rendezvous : public sim::Instrument {
 public:
  Rendezvous(int parties, int limitSeconds) : parties_(parties), limit_(limitSeconds) {}
  sim::ScsiOutcome Execute(const sim::ScsiCommand&, std::span<uint8_t>) override {
    std::unique_lock<std::mutex> lock(mu_);
    ++inside_;
    most_ = std::max(most_, inside_);
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(limit_), [this] { return most_ >= parties_; });
    --inside_;
    ++commands_;
    return sim::ScsiOutcome::Good();
  }
  int Most() {
    std::lock_guard<std::mutex> lock(mu_);
    return most_;
  }
  int Commands() {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int parties_, limit_;
  int inside_ = 0, most_ = 0, commands_ = 0;
};

}  // namespace

class ConcurrentPortTest : public PortTest {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = Completion::Threaded;
    config.completionThreads = 2;
    return config;
  }
  void WaitFor(SrbIo& io) {
    world.WaitUntil([&] { return io.done.load(); }, "an SRB");
  }
};

TEST_F(ConcurrentPortTest, CompletionsRunAtOnceOnSeveralThreadsAtDispatchLevelAndNoneIsLost) {
  Rendezvous rendezvous(2, world.options.waitLimitSeconds);
  port->SetInstrument(&rendezvous, 0);
  port->SetInstrument(&rendezvous, 1);
  port->HoldThreaded(true);
  constexpr int kCount = 200;
  for (int i = 0; i < kCount; ++i) Send({.opcode = kTestUnitReady, .unit = i % 2});
  EXPECT_EQ(port->Queued(), (size_t)kCount) << "every thread holds";
  for (SrbIo& io : ios) ASSERT_FALSE(io.done);
  port->HoldThreaded(false);
  for (SrbIo& io : ios) WaitFor(io);

  EXPECT_EQ(rendezvous.Most(), 2) << "two completions ran at the same time";
  std::set<std::thread::id> threads;
  for (SrbIo& io : ios) {
    threads.insert(io.thread);
    EXPECT_EQ(io.irql, DISPATCH_LEVEL);
    EXPECT_EQ(io.status.Status, STATUS_SUCCESS);
  }
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(rendezvous.Commands(), kCount);
  EXPECT_EQ(port->ExecuteCount(), (uint64_t)kCount);
  EXPECT_EQ(port->Queued(), 0u);
  for (const auto& sent : port->Srbs()) EXPECT_TRUE(sent.completed) << "sequence " << sent.sequence;
}

TEST_F(ConcurrentPortTest, AFrozenUnitHoldsWhatEveryThreadTakesUntilAReleaseLetsItAllGoOn) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  SrbIo& failed = Send({.opcode = kTestUnitReady});
  WaitFor(failed);
  EXPECT_EQ(failed.srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID);
  ASSERT_TRUE(port->Frozen());

  constexpr size_t kHeld = 40;
  std::vector<SrbIo*> held, other;
  for (size_t i = 0; i < kHeld; ++i) {
    held.push_back(&Send({.opcode = kTestUnitReady}));
    other.push_back(&Send({.opcode = kTestUnitReady, .unit = 1}));
  }
  SrbIo& bypass = Send({.opcode = kTestUnitReady, .flags = SRB_FLAGS_BYPASS_FROZEN_QUEUE});
  world.WaitUntil([&] { return port->HeldByFreeze() == kHeld; }, "the frozen queue to hold its SRBs");
  WaitFor(bypass);
  for (SrbIo* io : other) WaitFor(*io);
  EXPECT_EQ(bypass.status.Status, STATUS_SUCCESS);
  for (SrbIo* io : held) EXPECT_FALSE(io->done);
  EXPECT_EQ(port->Script().Commands(), 2) << "the failed SRB and the one that bypassed";

  SrbIo& release = Release();
  WaitFor(release);
  for (SrbIo* io : held) WaitFor(*io);
  for (SrbIo* io : held) EXPECT_EQ(io->status.Status, STATUS_SUCCESS);
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(port->HeldByFreeze(), 0u);
  EXPECT_EQ(port->Script().Commands(), (int)kHeld + 2);
}

TEST_F(ConcurrentPortTest, UnpluggingFailsWhatTheFrozenQueueHoldsAndWhatTheThreadsHaveYetToTake) {
  port->Script().Then(ScsiOutcome::CheckCondition(2, 4, 1));
  WaitFor(Send({.opcode = kTestUnitReady}));
  std::vector<SrbIo*> held, queued;
  for (int i = 0; i < 10; ++i) held.push_back(&Send({.opcode = kTestUnitReady}));
  world.WaitUntil([&] { return port->HeldByFreeze() == held.size(); }, "the frozen queue to hold its SRBs");
  port->HoldThreaded(true);
  for (int i = 0; i < 10; ++i) queued.push_back(&Send({.opcode = kTestUnitReady}));
  port->Unplug();
  for (SrbIo* io : held) EXPECT_TRUE(io->done);
  port->HoldThreaded(false);
  for (SrbIo* io : queued) WaitFor(*io);
  for (SrbIo* io : held) EXPECT_EQ(io->srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
  for (SrbIo* io : queued) EXPECT_EQ(io->srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
  EXPECT_EQ(port->Script().Commands(), 1);
}
