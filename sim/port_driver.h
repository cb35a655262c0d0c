// A simulated SCSI port driver inside the kernel stand-in. Each unit is a
// PDO that stands for one SCSI target, with an instrument behind it. It
// executes SRBs sent as IRP_MJ_SCSI, keeps a per-unit queue that freezes on
// failure until a release arrives, answers the adapter-property and address
// queries, and answers create, close, Plug and Play, power and system-control
// requests as a bus driver answers for its PDO. A unit can vanish, as when
// its instrument is unplugged. What it receives is recorded for tests to
// assert on: every other request, and the most recent SRBs with exact
// totals.
//
// Completions: Immediate (inside the dispatch routine), Pumped (held until
// the test calls Pump, one at a time, at DISPATCH_LEVEL), or Threaded (one
// or more completion threads at DISPATCH_LEVEL, like real hardware
// completing on several processors).
//
// Receiving, executing and completing an SRB takes the port's lock at most
// three times and allocates nothing once the queues are big enough.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "fifo.h"
#include "instrument.h"
#include "world.h"

namespace sim {

enum class Completion { Immediate, Pumped, Threaded };

// An SRB as the port driver received it, and what it completed with.
struct SentSrb {
  SCSI_REQUEST_BLOCK srb{};      // the fields at arrival
  CdbBytes cdb;                  // the first CdbLength bytes
  PIRP irp = nullptr;
  int unit = 0;
  uint64_t sequence = 0;         // counts every SRB the port received, from 0
  KIRQL irql = PASSIVE_LEVEL;    // at arrival, in the dispatch routine
  uintptr_t dataOffset = 0;      // DataBuffer minus the start of the request's MDL
  bool completed = false;
  UCHAR completedSrbStatus = 0;  // the whole byte, 0x40 and 0x80 included
  ULONG completedBytes = 0;
  UCHAR completedScsiStatus = 0;  // the target's status byte
  // When it arrived and completed, for traces.
  std::chrono::steady_clock::time_point arrivedAt{}, completedAt{};
};

// Any other request the port driver received.
struct ReceivedRequest {
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG ioControlCode = 0;
  ULONG inputLength = 0;
  ULONG outputLength = 0;
  std::vector<uint8_t> input;    // buffered input bytes
  PFILE_OBJECT file = nullptr;
  // The file object's contexts as they arrived (create, cleanup and close).
  PVOID fsContext = nullptr;
  PVOID fsContext2 = nullptr;
  // IRP_MN_QUERY_CAPABILITIES: the capabilities as they arrived, before the
  // port wrote its answers into them.
  std::optional<DEVICE_CAPABILITIES> capabilities;
  KIRQL irql = PASSIVE_LEVEL;    // at arrival, in the dispatch routine
  // IRP_MJ_POWER: how often PoStartNextPowerIrp had been called for it
  // before it arrived.
  int powerStartsBefore = 0;
  NTSTATUS presetStatus = 0;     // IoStatus.Status as it arrived
  NTSTATUS status = 0;           // what the port driver completed it with
  int unit = 0;
};

struct PortConfig {
  Completion scsi = Completion::Pumped;
  Completion ioctl = Completion::Immediate;
  Completion pnp = Completion::Immediate;
  // IRP_MN_QUERY_CAPABILITIES: D1, D2 and D3 latencies the PDO writes into
  // the record, as a bus driver that knows them does; none by default.
  std::optional<ULONG> capabilityLatency;
  std::chrono::milliseconds threadedDelay{0};  // before each threaded completion
  // Threads that complete Threaded requests. With one, completions come in
  // the order the requests were queued; with more, requests of one unit
  // complete in any order and at the same time (those of one IRP stay in
  // order, as only one SRB of an IRP is in flight). Read when the first
  // threaded request arrives.
  int completionThreads = 1;
  // How many of the most recent SRBs Srbs() keeps; read when the port is made.
  size_t srbRecords = 4096;

  // STORAGE_ADAPTER_DESCRIPTOR: the Size it reports, and the two limits.
  ULONG descriptorSize = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
  ULONG maximumTransferLength = 65536;
  ULONG maximumPhysicalPages = 17;
  // SCSI_ADDRESS of unit 0; later units count TargetId up.
  UCHAR portNumber = 2, pathId = 0, targetId = 3, lun = 0;
};

class PortDriver {
 public:
  explicit PortDriver(host::World& world, PortConfig config = {}, int units = 1);
  ~PortDriver();
  PortDriver(const PortDriver&) = delete;
  PortDriver& operator=(const PortDriver&) = delete;

  PDEVICE_OBJECT Pdo(int unit = 0) const;
  PDRIVER_OBJECT Driver() const { return driver_; }
  PortConfig& Config() { return config_; }
  ScriptedInstrument& Script(int unit = 0);
  void SetInstrument(Instrument* instrument, int unit = 0);
  // The port's own bus answers, healthy unless a test changes them.
  HealthyBus& Bus() { return bus_; }
  // Another bus answers from the next request on; null for the port's own.
  void SetBus(BusAnswers* bus);

  // The next device-control requests of the code fail with these statuses,
  // one per request ("the second query fails": {STATUS_SUCCESS, failure}).
  void ScriptIoctl(ULONG code, std::vector<NTSTATUS> statuses);
  // The next device-control requests complete this way, one per request,
  // before Config().ioctl applies again.
  void ScriptIoctlCompletion(std::vector<Completion> completions);
  // The next SRBs that execute or release complete this way, one per SRB,
  // before Config().scsi applies again.
  void ScriptScsiCompletion(std::vector<Completion> completions);

  // The unit's instrument is gone, as on surprise removal. From now on its
  // SRBs (queued ones too) fail with the bus's UnpluggedSrbStatus, moving no
  // data, giving no sense and freezing nothing; the SRBs its frozen queue
  // holds fail the same way now, at DISPATCH_LEVEL on the caller's thread.
  // A release still succeeds. Device controls and creates fail with the
  // bus's UnpluggedStatus, which says there is no device where one was;
  // cleanup, close, power, system control and Plug and Play are answered as
  // before, except that START_DEVICE fails with it too (REMOVE and
  // SURPRISE_REMOVAL succeed, as they must).
  void Unplug(int unit = 0);
  bool Unplugged(int unit = 0) const;

  // Completes the oldest held request at DISPATCH_LEVEL; false when none.
  bool Pump();
  size_t PumpAll();
  size_t Queued() const;
  // Threaded completions wait while held, on every completion thread.
  void HoldThreaded(bool hold);

  // The most recent SRBs (at most Config().srbRecords), oldest first.
  std::vector<SentSrb> Srbs() const;
  std::vector<SentSrb> ExecuteSrbs() const;   // SRB_FUNCTION_EXECUTE_SCSI only
  // Totals since the port was made, whatever the records still hold.
  uint64_t SrbCount() const;                  // every SRB received
  uint64_t ExecuteCount() const;              // SRB_FUNCTION_EXECUTE_SCSI received
  int Releases() const;                       // SRB_FUNCTION_RELEASE_QUEUE received
  std::vector<ReceivedRequest> Requests() const;
  std::vector<ReceivedRequest> Requests(UCHAR major) const;
  bool Frozen(int unit = 0) const;
  size_t HeldByFreeze(int unit = 0) const;

  // The bus driver stops its completion threads, deletes its PDOs and
  // unloads (nothing may be attached).
  void Shutdown();

 private:
  // A request on its way to completion. Record is its SRB's sequence or
  // its index in requests_.
  struct Job {
    PIRP irp = nullptr;
    uint64_t record = 0;
    int unit = 0;
    Completion how = Completion::Immediate;
    bool scsi = false;
  };
  struct Unit {
    PDEVICE_OBJECT pdo = nullptr;
    ScriptedInstrument script;
    Instrument* instrument = nullptr;
    bool frozen = false;
    bool unplugged = false;
    Fifo<Job> heldByFreeze;  // marked pending and queued
    UCHAR targetId = 0;
  };
  struct Extension {
    PortDriver* port;
    int unit;
  };
  // What an SRB does when its turn comes, decided under the lock.
  enum class SrbAction { Run, Held, Unplugged, Release };
  struct SrbDecision {
    SrbAction action = SrbAction::Run;
    Instrument* instrument = nullptr;
    size_t released = 0;  // Release: how many held SRBs go on
  };

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS DispatchScsi(int unit, PIRP irp, KIRQL irql);
  NTSTATUS DispatchIoctl(int unit, PIRP irp, KIRQL irql);
  NTSTATUS DispatchOther(int unit, PIRP irp, KIRQL irql);
  // Under the lock: a device control or bus request that does not complete
  // at once is marked pending and queued; false when it completes now.
  bool PendLocked(const Job& job);
  // Under the lock: queues a job marked pending, for a pump or a thread.
  void QueueLocked(const Job& job);
  // Completes a job taken from a queue, at DISPATCH_LEVEL; an SRB as decided
  // when it was taken.
  void CompleteFromQueue(const Job& job, const SrbDecision& decision);
  // Answers a device control or other request and completes it.
  NTSTATUS CompleteNow(const Job& job);
  // Under the lock: what the SRB does now. An SRB the frozen queue holds is
  // marked pending and queued first unless it is already (Queued).
  SrbDecision DecideSrbLocked(const Job& job, bool queued);
  // Carries out a decision outside the lock: completes the SRB (its status
  // in *Status) and returns true, or returns false when the frozen queue
  // holds it.
  bool CompleteSrbUnlessHeld(const Job& job, const SrbDecision& decision, bool queued, NTSTATUS* status = nullptr);
  // Lets the first Count SRBs the frozen queue holds go on.
  void Reissue(int unit, size_t count);
  // Fills the SRB and IoStatus; a null instrument fails it as unplugged.
  void ExecuteScsi(const Job& job, Instrument* instrument);
  void RecordCompletionLocked(uint64_t sequence, UCHAR srbStatus, ULONG bytes, UCHAR scsiStatus = 0);
  void AnswerIoctl(const Job& job);
  void AnswerOther(const Job& job);
  void Worker(int index);
  void StopThreads();

  host::World& world_;
  PortConfig config_;
  HealthyBus bus_;
  std::atomic<BusAnswers*> answers_{&bus_};  // bus_ or the one SetBus gave
  size_t srbRecords_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Unit>> units_;
  mutable std::mutex mu_;
  Fifo<Job> pumped_{64};
  std::atomic<size_t> pumpedWaiting_{0};  // pumped_.size(), readable without the lock
  Fifo<Job> threaded_{64};
  std::condition_variable threadedCv_;
  std::atomic<size_t> threadedWaiting_{0};  // jobs in threaded_, readable without the lock
  // Per completion thread: the chunk its current completion sent, kept for
  // it alone (see QueueLocked).
  std::vector<std::optional<Job>> handoff_;
  std::atomic<int> spinners_{0};  // idle completion threads looking for work before they sleep
  struct WorkerOf {
    PortDriver* port;
    int index;
  };
  static inline thread_local WorkerOf t_worker{nullptr, 0};
  bool holdThreaded_ = false;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  // The most recent SRBs: sequence S lives at S % srbRecords_.
  std::vector<SentSrb> srbs_;
  uint64_t srbCount_ = 0;
  uint64_t executeCount_ = 0;
  std::vector<ReceivedRequest> requests_;
  std::map<ULONG, std::deque<NTSTATUS>> ioctlScript_;
  std::deque<Completion> ioctlCompletions_;
  Fifo<Completion> scsiCompletions_;
  int releases_ = 0;
  bool shutDown_ = false;
};

}  // namespace sim
