// What a request costs the system beyond its data: pool blocks, requests
// and system calls. These are exact counts, so they are tests; the time a
// request takes is the benchmark's business.
#include "app_fixture.h"

using sim::ScsiOutcome;

class RequestCostTest : public AppTest {
 protected:
  struct Counts {
    uint64_t untagged = 0, bulk = 0, irps = 0;
    size_t systemCalls = 0;
    Counts operator-(const Counts& before) const {
      return {untagged - before.untagged, bulk - before.bulk, irps - before.irps, systemCalls - before.systemCalls};
    }
  };
  Counts Now() {
    return {world.pool.Allocations(host::kUntaggedPoolTag), world.pool.Allocations(STILLSCSI_POOL_TAG),
            world.irps.Allocations(), world.irps.SystemCalls() + world.user.SystemCalls()};
  }
  template <typename Request>
  Counts Cost(Request request) {
    Counts before = Now();
    request();
    port->PumpAll();  // a queue release left at the port
    return Now() - before;
  }
  host::IoResult ReadBytes(ULONG length) { return world.app.Read(*a, world.user.Alloc(length), length); }
};

// A frozen queue is released with one block and one request of the
// driver's own, and both are given back when the release completes; a
// retry adds nothing else, whatever the request.
TEST_F(RequestCostTest, AQueueReleaseCostsOneBlockAndOneRequestAndARetryNothingMore) {
  size_t kept = world.pool.Count(STILLSCSI_POOL_TAG);  // the adapter descriptor
  Counts good = Cost([&] { EXPECT_EQ(ReadBytes(3 * 65536).status, STATUS_SUCCESS); });
  EXPECT_EQ(good.untagged, 3u);
  EXPECT_EQ(good.bulk, 0u);
  EXPECT_EQ(good.irps, 1u) << "the read's own request carries every chunk";

  port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::CheckCondition(0x6, 0x29, 0x00));
  Counts retried = Cost([&] { EXPECT_EQ(ReadBytes(3 * 65536).status, STATUS_SUCCESS); });
  EXPECT_EQ(port->Releases(), 1);
  EXPECT_EQ(retried.untagged, 3u) << "no allocation for the retry";
  EXPECT_EQ(retried.bulk, 1u);
  EXPECT_EQ(retried.irps, 2u) << "the read and the release";

  port->Script().Then(ScsiOutcome::Failed(SRB_STATUS_BUS_RESET), 2);
  Counts twice = Cost([&] { EXPECT_EQ(ReadBytes(65536).status, STATUS_SUCCESS); });
  EXPECT_EQ(port->Releases(), 3);
  EXPECT_EQ(twice.untagged, 3u);
  EXPECT_EQ(twice.bulk, 2u);
  EXPECT_EQ(twice.irps, 3u);

  port->Script().Then(ScsiOutcome::CheckCondition(0x5, 0x20, 0x00));
  UserCommand command = CommandBuilder().Cdb({0xC1, 0, 0, 0, 0, 0}).Build(world);
  Counts passed = Cost([&] { EXPECT_EQ(PassThrough(*a, command).status, STATUS_SUCCESS); });
  EXPECT_EQ(port->Releases(), 4);
  EXPECT_EQ(passed.untagged, 1u);
  EXPECT_EQ(passed.bulk, 1u);
  EXPECT_EQ(passed.irps, 2u);

  EXPECT_EQ(world.pool.Count(STILLSCSI_POOL_TAG), kept) << "every release block given back";
  EXPECT_EQ(world.irps.InFlight(), 0u);
}

// Chunks go down in the request's own IRP and through the caller's pages
// as they are locked: neither the driver nor the test bed makes a system
// call per chunk. Past the world's first thousand requests (whose memory
// is closed at once, to catch late touches) a request of a hundred chunks
// costs the same calls as a request of one.
TEST_F(RequestCostTest, AChunkMakesNoSystemCall) {
  constexpr ULONG kChunk = 65536;
  constexpr int kRequests = 64;
  void* data = world.user.Alloc(100 * kChunk);
  UserCommand one = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(kChunk).Build(world);
  UserCommand hundred = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(100 * kChunk).Build(world);
  auto reads = [&](ULONG length) {
    return Cost([&] {
      for (int i = 0; i < kRequests; ++i) ASSERT_EQ(world.app.Read(*a, data, length).information, length);
    });
  };
  auto passThroughs = [&](const UserCommand& command, ULONG length) {
    return Cost([&] {
      for (int i = 0; i < kRequests; ++i) ASSERT_EQ(PassThrough(*a, command, data, length).information, length);
    });
  };
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(world.app.Read(*a, data, 512).status, STATUS_SUCCESS);
    ASSERT_EQ(PassThrough(*a, one, data, kChunk).status, STATUS_SUCCESS);
  }
  ASSERT_GT(world.user.SystemCalls(), 0u) << "the pass-throughs map their sense and status bytes";

  size_t oneRead = reads(kChunk).systemCalls;
  size_t hundredReads = reads(100 * kChunk).systemCalls;
  size_t onePass = passThroughs(one, kChunk).systemCalls;
  size_t hundredPasses = passThroughs(hundred, 100 * kChunk).systemCalls;
  EXPECT_LE(oneRead, kRequests / 8u) << "request memory changes protection in runs";
  EXPECT_LE(hundredReads, oneRead + 2) << "runs may fall either side of a batch";
  EXPECT_LE(onePass, kRequests / 8u) << "the same pages' views are reused";
  EXPECT_LE(hundredPasses, onePass + 2);
}
