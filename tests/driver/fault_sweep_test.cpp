// Every call that can fail, failed once on every road that reaches it.
//
// Each road (add, start, a read with retries, ...) runs once on a fresh
// bed with the stand-in recording every call of a fault site; then once
// more per recorded call, on a fresh bed each time, with exactly that call
// failing. Each run must end with a status the driver answers with for
// that road (or success, where the failure is not reported), with the
// device serving the next request afterwards, and with nothing left and
// no verifier report once the bed is taken down. A table of roads against
// sites says how many failure points were swept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iomanip>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver.h"
#include "port_driver.h"
#include "stillscsi_ioctl.h"
#include "user_command.h"
#include "world.h"

using sim::ScsiOutcome;

namespace {

// A kernel stand-in with the driver loaded over one simulated unit, added
// and started as a road's set-up says; completions pumped, so that every run
// of a road makes the same calls in the same order.
class Bed {
 public:
  Bed() : world_(Options()) {
    port = std::make_unique<sim::PortDriver>(world_, sim::PortConfig{}, 1);
    NTSTATUS status = -1;
    driver_ = world_.LoadDriver("StillScsi", DriverEntry,
                                "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\StillScsi", &status, true);
    EXPECT_EQ(status, STATUS_SUCCESS);
  }
  Bed(const Bed&) = delete;
  Bed& operator=(const Bed&) = delete;

  host::World& World() { return world_; }
  PDEVICE_OBJECT Pdo() { return port->Pdo(0); }

  NTSTATUS Add() {
    NTSTATUS status = world_.pnp.AddDevice(driver_, Pdo());
    if (NT_SUCCESS(status)) present_ = true;
    return status;
  }
  PDEVICE_EXTENSION Extension() { return (PDEVICE_EXTENSION)Pdo()->AttachedDevice->DeviceExtension; }
  NTSTATUS Start() { return world_.pnp.Send(Pdo(), IRP_MN_START_DEVICE).status; }
  NTSTATUS Stop() { return world_.pnp.Send(Pdo(), IRP_MN_STOP_DEVICE).status; }
  NTSTATUS Remove() {
    CloseAll();
    host::Removal removal = world_.pnp.Remove(Pdo());
    if (removal == host::Removal::Removed) present_ = false;
    return removal == host::Removal::Removed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
  bool Present() const { return present_; }

  // Opens the device by the name its link gives; the handle, or null.
  host::Handle* Open(NTSTATUS* status = nullptr) {
    host::Handle& handle = handles_.emplace_back();
    std::string name = "\\\\.\\StillScsi" + std::to_string(Extension()->DeviceNumber);
    NTSTATUS result = world_.app.Open(name, &handle);
    if (status != nullptr) *status = result;
    return NT_SUCCESS(result) ? &handle : nullptr;
  }
  NTSTATUS Close(host::Handle& handle) { return world_.app.Close(handle); }
  void CloseAll() {
    for (host::Handle& handle : handles_) {
      if (handle.file != nullptr) world_.app.Close(handle);
    }
  }

  host::IoResult Read(const host::Handle& handle, ULONG length) {
    return world_.app.Read(handle, world_.user.Alloc(length), length);
  }
  host::IoResult Write(const host::Handle& handle, ULONG length) {
    return world_.app.Write(handle, world_.user.Alloc(length), length);
  }
  host::IoResult Control(const host::Handle& handle, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength) {
    return world_.app.DeviceIoControl(handle, code, input, inputLength, output, outputLength);
  }
  // A READ(10) of Length bytes through the pass-through.
  host::IoResult PassThroughRead(const host::Handle& handle, ULONG length) {
    UserCommand command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(length).Build(world_);
    void* data = world_.user.Alloc(length);
    return Control(handle, IOCTL_SCSISCAN_CMD, command.block, sizeof(SCSISCAN_CMD), data, length);
  }

  // Does the device serve a read now? Starts (or adds and starts) it first
  // where the road left it stopped or removed.
  ::testing::AssertionResult Serves() {
    world_.faults.Clear();
    if (!present_ && !NT_SUCCESS(Add())) return ::testing::AssertionFailure() << "cannot be added again";
    if (!Extension()->DeviceStarted && Start() != STATUS_SUCCESS) {
      return ::testing::AssertionFailure() << "cannot be started again";
    }
    // The road's own handle where it is still open: it may hold the lock.
    host::Handle* reader = handle != nullptr && handle->file != nullptr ? handle : nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (reader == nullptr) reader = Open(&status);
    if (reader == nullptr) return ::testing::AssertionFailure() << "open: 0x" << std::hex << status;
    host::IoResult read = Read(*reader, 3 * 65536);
    if (read.status != STATUS_SUCCESS || read.information != 3 * 65536) {
      return ::testing::AssertionFailure() << "read: 0x" << std::hex << read.status << ", " << std::dec
                                           << read.information << " bytes";
    }
    return ::testing::AssertionSuccess();
  }

  // Takes the bed down as the Plug and Play manager and the loader do;
  // what the audit found.
  std::vector<std::string> Finish() {
    world_.faults.Clear();
    port->PumpAll();  // releases a finished request left at the port
    CloseAll();
    if (present_) {
      if (world_.pnp.Remove(Pdo()) != host::Removal::Removed) world_.pnp.ForceRemove(Pdo());
      present_ = false;
    }
    port->Shutdown();
    world_.UnloadDriver(driver_);
    port.reset();
    return world_.Audit();
  }

  std::unique_ptr<sim::PortDriver> port;
  host::Handle* handle = nullptr;  // the road's own open, where it has one

 private:
  static host::World::Options Options() {
    host::World::Options options;
    options.userSpaceBytes = size_t(32) << 20;
    options.waitLimitSeconds = 10;  // a request that never ends stops the sweep
    return options;
  }

  host::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  bool present_ = false;
  std::deque<host::Handle> handles_;
};

// One road through the driver: what it needs set up, the step whose calls
// are swept, and the statuses that step may end with.
struct Road {
  std::string name;
  std::function<void(Bed&)> setUp;
  std::function<NTSTATUS(Bed&)> step;
  std::set<NTSTATUS> answers;  // besides STATUS_SUCCESS
};

// The set-ups the roads share. A road's handle lives in the bed.
void Added(Bed& bed) { ASSERT_EQ(bed.Add(), STATUS_SUCCESS); }
void Started(Bed& bed) {
  Added(bed);
  ASSERT_EQ(bed.Start(), STATUS_SUCCESS);
}
void Opened(Bed& bed) {
  Started(bed);
  bed.handle = bed.Open();
  ASSERT_NE(bed.handle, nullptr);
}

constexpr NTSTATUS kNoResources = STATUS_INSUFFICIENT_RESOURCES;

std::vector<Road> Roads() {
  auto control = [](ULONG code, std::vector<UCHAR> input, ULONG outputLength) {
    return [code, input, outputLength](Bed& bed) {
      void* in = nullptr;
      if (!input.empty()) {
        in = bed.World().user.Alloc(input.size());
        std::memcpy(bed.World().user.Bytes(in, input.size()).data(), input.data(), input.size());
      }
      void* out = outputLength ? bed.World().user.Alloc(outputLength) : nullptr;
      return bed.Control(*bed.handle, code, in, (ULONG)input.size(), out, outputLength).status;
    };
  };
  // Fails the first attempt of a chunk with a hardware error, which the
  // port reports with its queue frozen: a queue release and a retry follow.
  auto hardwareErrorOnce = [](Bed& bed) {
    Opened(bed);
    bed.port->Script().Then(ScsiOutcome::CheckCondition(0x4, 0x44));
  };
  return {
      {"add", [](Bed&) {}, [](Bed& bed) { return bed.Add(); },
       {STATUS_NO_MEMORY, kNoResources, STATUS_NOT_SUPPORTED}},
      {"start", Added, [](Bed& bed) { return bed.Start(); }, {kNoResources, STATUS_NOT_SUPPORTED}},
      {"stop", Started, [](Bed& bed) { return bed.Stop(); }, {}},
      {"remove", Started, [](Bed& bed) { return bed.Remove(); }, {}},
      {"create", Started, [](Bed& bed) {
         NTSTATUS status;
         bed.Open(&status);
         return status;
       }, {}},
      {"close", Opened, [](Bed& bed) { return bed.Close(*bed.handle); }, {}},
      {"power", Started, [](Bed& bed) {
         POWER_STATE state;
         state.DeviceState = PowerDeviceD0;
         return bed.World().pnp.SendPower(bed.Pdo(), IRP_MN_SET_POWER, DevicePowerState, state).status;
       }, {}},
      {"lock", Opened, control(IOCTL_SCSISCAN_LOCKDEVICE, {}, 0), {}},
      {"unlock", [](Bed& bed) {
         Opened(bed);
         ASSERT_EQ(bed.Control(*bed.handle, IOCTL_SCSISCAN_LOCKDEVICE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
       }, control(IOCTL_SCSISCAN_UNLOCKDEVICE, {}, 0), {}},
      {"set timeout", Opened, control(IOCTL_SCSISCAN_SET_TIMEOUT, {30, 0, 0, 0}, 4), {}},
      {"get info", Opened, control(IOCTL_SCSISCAN_GET_INFO, {}, sizeof(SCSISCAN_INFO)), {kNoResources}},
      {"pass-through, 1 chunk", Opened, [](Bed& bed) { return bed.PassThroughRead(*bed.handle, 4096).status; },
       {kNoResources, STATUS_INVALID_PARAMETER}},
      {"pass-through, 4 chunks", Opened, [](Bed& bed) { return bed.PassThroughRead(*bed.handle, 200000).status; },
       {kNoResources, STATUS_INVALID_PARAMETER}},
      {"pass-through, queue release", [](Bed& bed) {
         Opened(bed);
         bed.port->Script().Then(ScsiOutcome::Good()).Then(ScsiOutcome::CheckCondition(0x4, 0x44));
       }, [](Bed& bed) { return bed.PassThroughRead(*bed.handle, 200000).status; },
       {kNoResources, STATUS_INVALID_PARAMETER}},
      {"read, 1 chunk", Opened, [](Bed& bed) { return bed.Read(*bed.handle, 4096).status; }, {kNoResources}},
      {"read, 4 chunks", Opened, [](Bed& bed) { return bed.Read(*bed.handle, 200000).status; }, {kNoResources}},
      {"read, retried", hardwareErrorOnce, [](Bed& bed) { return bed.Read(*bed.handle, 200000).status; },
       {kNoResources, STATUS_IO_DEVICE_ERROR}},
      {"write, 4 chunks", Opened, [](Bed& bed) { return bed.Write(*bed.handle, 200000).status; }, {kNoResources}},
      {"write, retried", hardwareErrorOnce, [](Bed& bed) { return bed.Write(*bed.handle, 200000).status; },
       {kNoResources, STATUS_IO_DEVICE_ERROR}},
  };
}

// A column of the table: the site, and for pool its tag.
std::string Column(const host::Faults::Call& call) {
  std::string name = host::FaultName(call.site);
  if (call.site == host::Fault::PoolAllocation) {
    std::string tag;
    for (int i = 0; i < 4; ++i) tag += (char)((call.tag >> (8 * i)) & 0xFF);
    name = "pool '" + tag + "'";
  }
  return name;
}

// The calls of fault sites that a road's step makes.
std::vector<host::Faults::Call> Count(const Road& road) {
  Bed bed;
  road.setUp(bed);
  bed.World().faults.Clear();
  bed.World().faults.Record(true);
  NTSTATUS status = road.step(bed);
  std::vector<host::Faults::Call> calls = bed.World().faults.Recorded();
  EXPECT_EQ(status, STATUS_SUCCESS) << road.name << " without a failure";
  EXPECT_TRUE(bed.Serves()) << road.name;
  EXPECT_THAT(bed.Finish(), ::testing::IsEmpty()) << road.name;
  return calls;
}

// Runs the road with the Index-th of Calls failing.
void FailOne(const Road& road, const std::vector<host::Faults::Call>& calls, size_t index) {
  const host::Faults::Call& call = calls[index];
  int nth = 0;  // the failing call's place among the calls of its site
  for (size_t i = 0; i <= index; ++i) nth += calls[i].site == call.site;
  std::string what = road.name + ", " + Column(call) + " call " + std::to_string(nth) + " of the site";
  SCOPED_TRACE(what);
  // A run that stops the process (a request that never ends) says which.
  if (std::getenv("STILLSCSI_SWEEP_TRACE") != nullptr) std::fprintf(stderr, "sweep: %s\n", what.c_str());

  Bed bed;
  road.setUp(bed);
  bed.World().faults.Clear();
  host::FaultRule& rule = bed.World().faults.Fail(call.site).Nth(nth);
  NTSTATUS status = road.step(bed);
  EXPECT_EQ(rule.Fired(), 1) << "the failure point was not reached again";
  EXPECT_TRUE(status == STATUS_SUCCESS || road.answers.count(status))
      << "ended with 0x" << std::hex << (ULONG)status;
  EXPECT_TRUE(bed.Serves());
  EXPECT_THAT(bed.Finish(), ::testing::IsEmpty());
}

TEST(FaultSweepTest, EveryFailurePointOfEveryRoadEndsWithItsAnswerAndLeavesTheDeviceServing) {
  std::vector<Road> roads = Roads();
  std::map<std::string, std::map<std::string, int>> table;  // road -> column -> points
  std::set<std::string> columns;
  int total = 0;
  for (const Road& road : roads) {
    std::vector<host::Faults::Call> calls = Count(road);
    table[road.name];
    for (size_t i = 0; i < calls.size(); ++i) {
      FailOne(road, calls, i);
      ++table[road.name][Column(calls[i])];
      columns.insert(Column(calls[i]));
      ++total;
    }
    if (::testing::Test::HasFailure()) break;  // one road's faults at a time
  }

  std::ostringstream out;
  out << std::left << std::setw(28) << "road";
  for (const std::string& column : columns) out << " | " << column;
  out << " | all\n";
  for (const Road& road : roads) {
    out << std::left << std::setw(28) << road.name;
    int all = 0;
    for (const std::string& column : columns) {
      int points = table[road.name].count(column) ? table[road.name][column] : 0;
      all += points;
      out << " | " << std::setw((int)column.size()) << (points ? std::to_string(points) : "");
    }
    out << " | " << all << "\n";
  }
  out << total << " failure points on " << roads.size() << " roads\n";
  std::cout << out.str();
  EXPECT_GT(total, 0);
}

}  // namespace
