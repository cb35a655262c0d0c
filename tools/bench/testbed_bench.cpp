// What the test bed costs next to the data it moves: a toy chunking driver
// reads 100 MiB in 64 KiB chunks through the simulated port, one request at
// a time, and each read is paired with a memcpy of the same bytes, chunk by
// chunk, from the instrument's own source into the same user memory.
// Both halves of a pair write memory that nothing has touched since it was
// allocated (the read into one slice of a large user buffer, the copy into
// the next), at the same relative alignment of source and destination (the
// instrument's), so neither finds its destination in the cache. Pairs are
// short and interleaved, so that the machine's other load falls on both
// halves alike; the ratio reported is the median over pairs of
// memcpy time / read time (1.0: the stack costs nothing beyond the copy).
//
//   stillscsi_bench_testbed [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "chunking_driver.h"
#include "port_driver.h"
#include "world.h"

namespace {

constexpr ULONG kChunk = 64 * 1024;
constexpr size_t kTotal = size_t(100) << 20;

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void ReadThroughTheStack(benchmark::State& state, sim::Completion completion) {
  const ULONG readBytes = (ULONG)state.range(0);
  const int pairs = (int)(kTotal / readBytes);
  std::vector<double> ratios, readSeconds, copySeconds;
  for (auto _ : state) {
    host::World::Options options;
    options.userSpaceBytes = 2 * kTotal + (size_t(64) << 20);
    host::World world(options);
    sim::PortConfig config;
    config.scsi = completion;
    config.maximumTransferLength = kChunk;
    auto port = std::make_unique<sim::PortDriver>(world, config);
    auto toy = std::make_unique<sim::ChunkingDriver>(world, port->Pdo(), kChunk);
    host::Handle handle;
    if (world.app.Open(toy->OpenName(), &handle) != STATUS_SUCCESS) {
      state.SkipWithError("cannot open the toy");
      return;
    }
    // Slices 2k (read) and 2k+1 (copy) of one page-aligned user buffer.
    uint8_t* buffer = (uint8_t*)world.user.Alloc(2 * kTotal + readBytes);
    uint8_t* backing = world.user.Backing(buffer);
    // The reference is the very copy the instrument makes for a read: the
    // same source, at the same distance behind the destination.
    auto copy = [&](uint8_t* destination) {
      for (ULONG done = 0; done < readBytes; done += kChunk) {
        sim::ScriptedInstrument::FillPattern(done, std::span<uint8_t>(destination + done, kChunk));
      }
      benchmark::ClobberMemory();
    };

    // Warm up in the spare slice at the end, not counted: past the world's
    // first requests, whose pages the stand-in closes one by one, into the
    // steady state where request memory costs no system call per request.
    for (int i = 0; i < 1100; ++i) world.app.Read(handle, buffer + 2 * kTotal, kChunk);
    world.app.Read(handle, buffer + 2 * kTotal, readBytes);
    copy(backing + 2 * kTotal);
    for (int pair = 0; pair < pairs; ++pair) {
      uint8_t* readSlice = buffer + size_t(2 * pair) * readBytes;
      uint8_t* copySlice = backing + size_t(2 * pair + 1) * readBytes;
      auto t0 = std::chrono::steady_clock::now();
      host::IoResult result = world.app.Read(handle, readSlice, readBytes);
      auto t1 = std::chrono::steady_clock::now();
      copy(copySlice);
      auto t2 = std::chrono::steady_clock::now();
      if (result.status != STATUS_SUCCESS || result.information != readBytes) {
        state.SkipWithError("a read failed");
        return;
      }
      double read = std::chrono::duration<double>(t1 - t0).count();
      double copied = std::chrono::duration<double>(t2 - t1).count();
      readSeconds.push_back(read);
      copySeconds.push_back(copied);
      ratios.push_back(copied / read);
    }
    world.app.Close(handle);
    toy.reset();
    port.reset();
    if (!world.Audit().empty()) {
      state.SkipWithError("the world was left unclean");
      return;
    }
  }
  double ratio = Median(ratios);
  state.counters["ratio"] = ratio;
  state.counters["read_GBps"] = readBytes / Median(readSeconds) / 1e9;
  state.counters["memcpy_GBps"] = readBytes / Median(copySeconds) / 1e9;
  state.counters["pairs"] = (double)ratios.size();
  state.SetLabel("load " + LoadAverage());
  std::printf("%s, %u-byte reads: median ratio %.3f (read %.2f GB/s, memcpy %.2f GB/s, load %s)\n",
              completion == sim::Completion::Pumped ? "pumped" : "threaded", readBytes, ratio,
              readBytes / Median(readSeconds) / 1e9, readBytes / Median(copySeconds) / 1e9, LoadAverage().c_str());
}

void Pumped(benchmark::State& state) { ReadThroughTheStack(state, sim::Completion::Pumped); }
void Threaded(benchmark::State& state) { ReadThroughTheStack(state, sim::Completion::Threaded); }

}  // namespace

BENCHMARK(Pumped)->Arg(1 << 20)->Arg(4 << 20)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Threaded)->Arg(1 << 20)->Arg(4 << 20)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
