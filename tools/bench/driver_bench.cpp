// What the driver costs a reader of the instrument, measured through the
// whole stack: the application's request, the driver, the simulated port
// and its completion threads at DISPATCH_LEVEL.
//
// Throughput: reads of the device (ReadFile) and pass-through READ(10)s,
// each paired with a memcpy of the same bytes from the instrument's own
// source into the same user memory at the same relative alignment (the
// very copy the port makes for the read). Both halves of a pair write a
// slice of a large buffer that has not been touched since the last pass, so
// neither finds it in the cache; pairs are short and interleaved, so that
// the machine's other load falls on both alike. The ratio is the median
// over pairs of memcpy time / request time: 1.0 means the stack costs
// nothing beyond the copy.
//
// Scaling: the time per request against its size (1 to 10,000 chunks of
// 4 KiB) and against the handles that have a request in flight at once (1
// to 64), written as tables (--scaling_dir) for a plot.
//
// Latency: with N requests in flight, how long a new read takes to reach
// the port (its first SRB) and to bring its first chunk; and how long a
// stop of the device takes, which drains what is in flight.
//
//   stillscsi_bench_driver [--benchmark_filter=...] [--scaling_dir=DIR]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driver_setup.h"
#include "instrument.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kTotal = size_t(100) << 20;
std::string g_scalingDir;

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, (size_t)(q * (double)(values.size() - 1) + 0.5))];
}

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

sim::PortConfig ThreadedPort(ULONG chunk, int threads) {
  sim::PortConfig config;
  // No threads: the waiting application drives each completion itself.
  config.scsi = threads == 0 ? sim::Completion::Pumped : sim::Completion::Threaded;
  config.completionThreads = std::max(threads, 1);
  config.maximumTransferLength = chunk;
  config.maximumPhysicalPages = chunk / 4096 + 1;
  return config;
}

// The reference copy of Bytes into Destination, chunk by chunk, as the
// instrument makes it.
void Copy(uint8_t* destination, ULONG bytes, ULONG chunk) {
  for (ULONG done = 0; done < bytes; done += chunk) {
    sim::ScriptedInstrument::FillPattern(done, std::span<uint8_t>(destination + done, std::min(chunk, bytes - done)));
  }
  benchmark::ClobberMemory();
}

enum class Kind { Read, PassThrough };

// ------------------------------------------------------------------ throughput
void Throughput(benchmark::State& state) {
  const Kind kind = state.range(0) == 0 ? Kind::Read : Kind::PassThrough;
  const int threads = (int)state.range(1);
  const ULONG chunk = (ULONG)state.range(2);
  // Requests of 4 MiB: 64 chunks of 64 KiB or 4 of 1 MiB; short enough to
  // give many pairs, long enough that the cost of a request is spread over
  // its chunks as a reader of whole pages spreads it.
  const ULONG requestBytes = 4u << 20;
  const int passes = 5;
  const int pairs = (int)(kTotal / requestBytes);
  std::vector<double> ratios, requestSeconds, copySeconds;
  for (auto _ : state) {
    bench::DriverSetup setup(ThreadedPort(chunk, threads), 1, 2 * kTotal + (size_t(64) << 20));
    if (!setup.started) {
      state.SkipWithError("the driver did not start");
      return;
    }
    host::World& world = *setup.world;
    uint8_t* buffer = (uint8_t*)world.user.Alloc(2 * kTotal + requestBytes);
    uint8_t* backing = world.user.Backing(buffer);
    uint8_t* spare = buffer + 2 * kTotal;
    bench::PassThroughRead passThrough(world, spare, requestBytes);
    auto request = [&](uint8_t* where) {
      if (kind == Kind::Read) return world.app.Read(setup.handles[0], where, requestBytes);
      passThrough.buffer = where;
      return passThrough.Send(setup.handles[0]);
    };
    // Warm up in the spare slice, not counted: past the world's first
    // requests, whose pages the stand-in closes one by one, into the steady
    // state where request memory costs no system call per request.
    for (int i = 0; i < 1100; ++i) request(spare);
    Copy(backing + 2 * kTotal, requestBytes, chunk);
    for (int pass = 0; pass < passes; ++pass) {
      for (int pair = 0; pair < pairs; ++pair) {
        uint8_t* requestSlice = buffer + size_t(2 * pair) * requestBytes;
        uint8_t* copySlice = backing + size_t(2 * pair + 1) * requestBytes;
        auto t0 = Clock::now();
        host::IoResult result = request(requestSlice);
        auto t1 = Clock::now();
        Copy(copySlice, requestBytes, chunk);
        auto t2 = Clock::now();
        if (result.status != STATUS_SUCCESS || result.information != requestBytes) {
          state.SkipWithError("a request failed");
          return;
        }
        requestSeconds.push_back(Seconds(t0, t1));
        copySeconds.push_back(Seconds(t1, t2));
        ratios.push_back(Seconds(t1, t2) / Seconds(t0, t1));
      }
    }
    if (!setup.Finish()) {
      state.SkipWithError("the world was left unclean");
      return;
    }
  }
  double ratio = Median(ratios);
  state.counters["ratio"] = ratio;
  state.counters["ratio_p25"] = Quantile(ratios, 0.25);
  state.counters["ratio_p75"] = Quantile(ratios, 0.75);
  state.counters["driver_GBps"] = requestBytes / Median(requestSeconds) / 1e9;
  state.counters["memcpy_GBps"] = requestBytes / Median(copySeconds) / 1e9;
  state.counters["pairs"] = (double)ratios.size();
  state.SetLabel("load " + LoadAverage());
  std::printf("%-12s %d thread%s, %4u KiB chunks: median ratio %.3f (quartiles %.3f..%.3f), driver %.2f GB/s, "
              "memcpy %.2f GB/s, %zu pairs, load %s\n",
              kind == Kind::Read ? "read" : "pass-through", threads, threads == 1 ? " " : "s", chunk >> 10, ratio,
              Quantile(ratios, 0.25), Quantile(ratios, 0.75), requestBytes / Median(requestSeconds) / 1e9,
              requestBytes / Median(copySeconds) / 1e9, ratios.size(), LoadAverage().c_str());
  std::fflush(stdout);
}

// ------------------------------------------------------------------ scaling
void WriteTable(const std::string& name, const std::string& header, const std::vector<std::vector<double>>& rows) {
  if (g_scalingDir.empty()) return;
  std::ofstream out(g_scalingDir + "/" + name);
  out << "# " << header << "\n";
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) out << (i ? "\t" : "") << row[i];
    out << "\n";
  }
}

// Time per read against its length in chunks of 4 KiB, one read at a time.
void ScalingBySize(benchmark::State& state) {
  constexpr ULONG kChunk = 4096;
  const std::vector<ULONG> sizes = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
  std::vector<std::vector<double>> rows;
  for (auto _ : state) {
    bench::DriverSetup setup(ThreadedPort(kChunk, 1), 1, size_t(128) << 20);
    host::World& world = *setup.world;
    uint8_t* buffer = (uint8_t*)world.user.Alloc(size_t(10000) * kChunk);
    uint8_t* backing = world.user.Backing(buffer);
    for (int i = 0; i < 1100; ++i) world.app.Read(setup.handles[0], buffer, kChunk);
    std::printf("%8s %12s %12s %14s\n", "chunks", "read us", "memcpy us", "read ns/chunk");
    // Every size once before any is counted, so that the first sizes do not
    // pay for what the later ones find ready.
    for (ULONG chunks : sizes) world.app.Read(setup.handles[0], buffer, chunks * kChunk);
    for (ULONG chunks : sizes) {
      const ULONG bytes = chunks * kChunk;
      const int repeats = (int)std::clamp<ULONG>(20000 / chunks, 15, 2000);
      std::vector<double> reads, copies;
      for (int i = 0; i < repeats; ++i) {
        auto t0 = Clock::now();
        host::IoResult result = world.app.Read(setup.handles[0], buffer, bytes);
        auto t1 = Clock::now();
        Copy(backing, bytes, kChunk);
        auto t2 = Clock::now();
        if (result.information != bytes) {
          state.SkipWithError("a read failed");
          return;
        }
        reads.push_back(Seconds(t0, t1) * 1e6);
        copies.push_back(Seconds(t1, t2) * 1e6);
      }
      double read = Median(reads), copy = Median(copies);
      rows.push_back({(double)chunks, read, copy});
      std::printf("%8u %12.2f %12.2f %14.1f\n", chunks, read, copy, read * 1000 / chunks);
    }
    if (!setup.Finish()) state.SkipWithError("the world was left unclean");
  }
  WriteTable("by_size.dat", "chunks of 4 KiB\tread (us, median)\tmemcpy of the same bytes (us, median)", rows);
  state.SetLabel("load " + LoadAverage());
}

// Time per read of 16 chunks of 64 KiB against the handles that each have
// one such read in flight at once, with two completion threads.
void ScalingByHandles(benchmark::State& state) {
  constexpr ULONG kChunk = 65536, kBytes = 16 * kChunk;
  const std::vector<int> counts = {1, 2, 4, 8, 16, 32, 64};
  std::vector<std::vector<double>> rows;
  for (auto _ : state) {
    bench::DriverSetup setup(ThreadedPort(kChunk, 2), 64, size_t(256) << 20);
    host::World& world = *setup.world;
    uint8_t* buffer = (uint8_t*)world.user.Alloc(size_t(64) * kBytes);
    uint8_t* backing = world.user.Backing(buffer);
    for (int i = 0; i < 1100; ++i) world.app.Read(setup.handles[0], buffer, kChunk);
    std::printf("%8s %16s %16s %16s\n", "handles", "us per read", "us per round", "us per memcpy");
    for (int handles : counts) {
      const int rounds = std::max(10, 640 / handles);
      std::vector<double> perRequest, perRound, copies;
      std::vector<std::shared_ptr<host::PendingIo>> pending(handles);
      for (int round = 0; round < rounds; ++round) {
        auto t0 = Clock::now();
        for (int h = 0; h < handles; ++h) {
          pending[h] = world.app.ReadAsync(setup.handles[h], buffer + size_t(h) * kBytes, kBytes);
        }
        for (auto& io : pending) io->Wait();
        auto t1 = Clock::now();
        for (auto& io : pending) {
          if (io->Result().information != kBytes) {
            state.SkipWithError("a read failed");
            return;
          }
        }
        perRound.push_back(Seconds(t0, t1) * 1e6);
        perRequest.push_back(Seconds(t0, t1) * 1e6 / handles);
        // The reference: one read's bytes copied as the instrument copies them.
        auto c0 = Clock::now();
        Copy(backing + size_t(round % handles) * kBytes, kBytes, kChunk);
        copies.push_back(Seconds(c0, Clock::now()) * 1e6);
      }
      rows.push_back({(double)handles, Median(perRequest), Median(perRound), Median(copies)});
      std::printf("%8d %16.2f %16.2f %16.2f\n", handles, Median(perRequest), Median(perRound), Median(copies));
    }
    if (!setup.Finish()) state.SkipWithError("the world was left unclean");
  }
  WriteTable("by_handles.dat", "handles with a read in flight\tper read (us, median)\tper round (us, median)\tmemcpy of one read's bytes (us, median)", rows);
  state.SetLabel("load " + LoadAverage());
}

// ------------------------------------------------------------------ latency
// With N-1 reads of 64 chunks in flight, one more read: how long until its
// first SRB reaches the port, and until its first chunk is in the buffer.
// Then a stop with N reads of 4 chunks in flight: how long until the stop
// completes, which waits for all of them.
void Latency(benchmark::State& state) {
  constexpr ULONG kChunk = 65536;
  const int inFlight = (int)state.range(0);
  const int rounds = inFlight >= 256 ? 20 : 100;
  std::vector<double> toPort, toFirstChunk, stops;
  for (auto _ : state) {
    sim::PortConfig config = ThreadedPort(kChunk, 1);
    config.srbRecords = size_t(inFlight) * 64 + 1024;
    bench::DriverSetup setup(config, 1, size_t(inFlight) * 64 * kChunk + (size_t(64) << 20));
    host::World& world = *setup.world;
    host::Handle& handle = setup.handles[0];
    const size_t stride = 64 * kChunk;
    uint8_t* buffer = (uint8_t*)world.user.Alloc(size_t(inFlight) * stride);
    for (int i = 0; i < 1100; ++i) world.app.Read(handle, buffer, kChunk);
    std::vector<std::shared_ptr<host::PendingIo>> pending;
    for (int round = 0; round < rounds; ++round) {
      pending.clear();
      for (int i = 0; i + 1 < inFlight; ++i) pending.push_back(world.app.ReadAsync(handle, buffer + i * stride, stride));
      uint8_t* last = buffer + size_t(inFlight - 1) * stride;
      auto t0 = Clock::now();
      pending.push_back(world.app.ReadAsync(handle, last, kChunk));
      for (auto& io : pending) io->Wait();
      for (const sim::SentSrb& srb : setup.port->ExecuteSrbs()) {
        if ((uint8_t*)srb.srb.DataBuffer == last && srb.completed && srb.arrivedAt >= t0) {
          toPort.push_back(Seconds(t0, srb.arrivedAt) * 1e6);
          toFirstChunk.push_back(Seconds(t0, srb.completedAt) * 1e6);
          break;
        }
      }
    }
    // Stop and start again, rounds times, with N reads in flight each time.
    for (int round = 0; round < rounds; ++round) {
      pending.clear();
      for (int i = 0; i < inFlight; ++i) pending.push_back(world.app.ReadAsync(handle, buffer + i * stride, 4 * kChunk));
      auto t0 = Clock::now();
      NTSTATUS stopped = world.pnp.Send(setup.port->Pdo(), IRP_MN_STOP_DEVICE).status;
      auto t1 = Clock::now();
      for (auto& io : pending) io->Wait();
      if (!NT_SUCCESS(stopped) || !NT_SUCCESS(world.pnp.Send(setup.port->Pdo(), IRP_MN_START_DEVICE).status)) {
        state.SkipWithError("stop or start failed");
        return;
      }
      stops.push_back(Seconds(t0, t1) * 1e6);
    }
    if (!setup.Finish()) state.SkipWithError("the world was left unclean");
  }
  state.counters["to_port_us"] = Median(toPort);
  state.counters["first_chunk_us"] = Median(toFirstChunk);
  state.counters["stop_us"] = Median(stops);
  state.SetLabel("load " + LoadAverage());
  std::printf("%3d in flight: to the port %.1f us, first chunk %.1f us, stop %.1f us (medians of %zu, %zu, %zu)\n",
              inFlight, Median(toPort), Median(toFirstChunk), Median(stops), toPort.size(), toFirstChunk.size(),
              stops.size());
  std::fflush(stdout);
}

}  // namespace

BENCHMARK(Throughput)
    ->ArgNames({"pass_through", "threads", "chunk"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}, {64 << 10, 1 << 20}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ScalingBySize)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ScalingByHandles)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Latency)->ArgName("in_flight")->Arg(1)->Arg(16)->Arg(256)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // Our own flag first, then Google Benchmark's.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--scaling_dir=", 0) == 0) {
      g_scalingDir = arg.substr(14);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = (int)rest.size();
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
