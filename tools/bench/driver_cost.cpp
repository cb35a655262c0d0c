// A fixed workload for counting instructions: Requests reads or
// pass-through READ(10)s of Chunks chunks of 64 KiB each, through the whole
// stack with completions pumped by the waiting thread (one thread, so the
// counts repeat exactly). With --retry, the first chunk of every request
// fails once with a bus reset, which the read retries (and the pass-through
// does not). The requests run inside MeasuredRequests, and only there, so
// that callgrind can be told to count that routine alone:
//
//   valgrind --tool=callgrind --toggle-collect=MeasuredRequests
//            stillscsi_cost --kind read --chunks 11 --requests 100
//
// driver_cost.py runs the set of workloads and turns the counts into the
// driver's cost per request, per additional chunk and per retry.
// Exit code: 0 when every request did what it should and the world was left
// clean.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "driver_setup.h"

namespace {

constexpr ULONG kChunk = 65536;

struct Workload {
  bench::DriverSetup& setup;
  bool passThrough;
  ULONG bytes;
  bool retry;
  bench::PassThroughRead command;
  uint8_t* buffer;

  host::IoResult One() {
    if (retry) setup.port->Script().Then(sim::ScsiOutcome::Failed(SRB_STATUS_BUS_RESET));
    if (passThrough) return command.Send(setup.handles[0]);
    return setup.world->app.Read(setup.handles[0], buffer, bytes);
  }
  bool Expected(const host::IoResult& result) const {
    // The pass-through never retries: its first chunk's failure ends it.
    if (passThrough && retry) return result.status == STATUS_SUCCESS && result.information == 0;
    return result.status == STATUS_SUCCESS && result.information == bytes;
  }
};

// The routine callgrind counts; kept out of line so that it has a name.
__attribute__((noinline)) int MeasuredRequests(Workload& workload, int requests) {
  int wrong = 0;
  for (int i = 0; i < requests; ++i) wrong += !workload.Expected(workload.One());
  return wrong;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs a fixed workload of requests through the driver, for instruction counts."};
  std::string kind = "read";
  ULONG chunks = 1;
  int requests = 100;
  int warmUp = 1100;
  bool retry = false;
  app.add_option("--kind", kind, "read or pass-through")->check(CLI::IsMember({"read", "pass-through"}));
  app.add_option("--chunks", chunks, "chunks of 64 KiB per request")->check(CLI::Range(1, 1000));
  app.add_option("--requests", requests, "requests counted")->check(CLI::Range(1, 100000));
  app.add_option("--warm-up", warmUp, "requests before counting, past the stand-in's first IRPs");
  app.add_flag("--retry", retry, "the first chunk of every request fails once");
  CLI11_PARSE(app, argc, argv);

  sim::PortConfig config;
  config.scsi = sim::Completion::Pumped;
  config.maximumTransferLength = kChunk;
  config.maximumPhysicalPages = kChunk / 4096 + 1;
  const ULONG bytes = chunks * kChunk;
  bench::DriverSetup setup(config, 1, size_t(bytes) * 2 + (size_t(64) << 20));
  if (!setup.started) {
    std::fprintf(stderr, "the driver did not start\n");
    return 2;
  }
  uint8_t* buffer = (uint8_t*)setup.world->user.Alloc(bytes);
  Workload workload{setup, kind == "pass-through", bytes, false, bench::PassThroughRead(*setup.world, buffer, bytes),
                    buffer};
  // The warm-up takes the stand-in past its first requests, whose memory it
  // gives back one system call at a time, with requests of one chunk.
  int wrong = 0;
  workload.bytes = kChunk;
  workload.command.SetLength(kChunk);
  for (int i = 0; i < warmUp; ++i) wrong += !workload.Expected(workload.One());
  workload.bytes = bytes;
  workload.command.SetLength(bytes);
  workload.retry = retry;
  // One request of each kind the counted ones make, so that nothing they
  // do is done for the first time while counted.
  wrong += !workload.Expected(workload.One());
  wrong += MeasuredRequests(workload, requests);
  if (wrong != 0) {
    host::IoResult last = workload.One();
    std::fprintf(stderr, "%d requests did not end as they should; the last: 0x%08X, %zu bytes\n", wrong,
                 (unsigned)last.status, (size_t)last.information);
  }
  bool clean = setup.Finish();
  if (!clean) std::fprintf(stderr, "the world was left unclean\n");
  return wrong == 0 && clean ? 0 : 1;
}
