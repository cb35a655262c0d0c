// A simulated SCSI port driver inside the kernel stand-in. Each unit is a
// PDO that stands for one SCSI target, with an instrument behind it. It
// executes SRBs sent as IRP_MJ_SCSI, keeps a per-unit queue that freezes on
// failure until a release arrives, answers the adapter-property and address
// queries, and answers create, close, Plug and Play, power and system-control
// requests as a bus driver answers for its PDO. Everything it receives is
// recorded for tests to assert on.
//
// Completions: Immediate (inside the dispatch routine), Pumped (held until
// the test calls Pump, one at a time, at DISPATCH_LEVEL), or Threaded (a
// completion thread at DISPATCH_LEVEL, like real hardware).
#pragma once

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
  uintptr_t dataOffset = 0;      // DataBuffer minus the start of the request's MDL
  bool completed = false;
  UCHAR completedSrbStatus = 0;  // the whole byte, 0x40 and 0x80 included
  ULONG completedBytes = 0;
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
  NTSTATUS presetStatus = 0;     // IoStatus.Status as it arrived
  NTSTATUS status = 0;           // what the port driver completed it with
  int unit = 0;
};

struct PortConfig {
  Completion scsi = Completion::Pumped;
  Completion ioctl = Completion::Immediate;
  Completion pnp = Completion::Immediate;
  std::chrono::milliseconds threadedDelay{0};  // before each threaded completion

  // STORAGE_ADAPTER_DESCRIPTOR: the Size it reports, and the two limits.
  ULONG descriptorSize = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
  ULONG maximumTransferLength = 65536;
  ULONG maximumPhysicalPages = 17;
  // SCSI_ADDRESS of unit 0; later units count TargetId up.
  UCHAR portNumber = 2, pathId = 0, targetId = 3, lun = 0;

  NTSTATUS createStatus = STATUS_SUCCESS;
  NTSTATUS closeStatus = STATUS_SUCCESS;
  NTSTATUS powerStatus = STATUS_SUCCESS;
  std::map<UCHAR, NTSTATUS> pnpStatus;  // by minor code; START, STOP, REMOVE and the queries succeed otherwise
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

  // The next device-control requests of the code fail with these statuses,
  // one per request ("the second query fails": {STATUS_SUCCESS, failure}).
  void ScriptIoctl(ULONG code, std::vector<NTSTATUS> statuses);
  // The next device-control requests complete this way, one per request,
  // before Config().ioctl applies again.
  void ScriptIoctlCompletion(std::vector<Completion> completions);

  // Completes the oldest held request at DISPATCH_LEVEL; false when none.
  bool Pump();
  size_t PumpAll();
  size_t Queued() const;
  // Threaded completions wait while held.
  void HoldThreaded(bool hold);

  std::vector<SentSrb> Srbs() const;
  std::vector<SentSrb> ExecuteSrbs() const;   // SRB_FUNCTION_EXECUTE_SCSI only
  int Releases() const;                       // SRB_FUNCTION_RELEASE_QUEUE received
  std::vector<ReceivedRequest> Requests() const;
  std::vector<ReceivedRequest> Requests(UCHAR major) const;
  bool Frozen(int unit = 0) const;
  size_t HeldByFreeze(int unit = 0) const;

  // The bus driver deletes its PDOs and unloads (nothing may be attached).
  void Shutdown();

 private:
  struct Unit {
    PDEVICE_OBJECT pdo = nullptr;
    ScriptedInstrument script;
    Instrument* instrument = nullptr;
    bool frozen = false;
    std::deque<PIRP> heldByFreeze;
    UCHAR targetId = 0;
  };
  struct Job {
    PIRP irp;
    int unit;
    bool threaded;
  };
  struct Extension {
    PortDriver* port;
    int unit;
  };

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS DispatchScsi(int unit, PIRP irp);
  NTSTATUS DispatchIoctl(int unit, PIRP irp);
  NTSTATUS DispatchOther(int unit, PIRP irp);
  // Finishes a request in the chosen way; Complete runs at completion time
  // and fills IoStatus (and the SRB).
  NTSTATUS Finish(int unit, PIRP irp, Completion how, bool scsi);
  void CompleteJob(const Job& job);
  // Executes the SRB and fills it and IoStatus; false when a frozen queue
  // holds it instead.
  bool ExecuteScsi(int unit, PIRP irp);
  void AnswerIoctl(int unit, PIRP irp);
  void AnswerOther(int unit, PIRP irp);
  void Enqueue(Job job);
  void Worker();

  host::World& world_;
  PortConfig config_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Unit>> units_;
  mutable std::mutex mu_;
  std::deque<Job> pumped_;
  std::deque<Job> threaded_;
  std::condition_variable threadedCv_;
  bool holdThreaded_ = false;
  bool stopping_ = false;
  std::thread worker_;
  std::vector<SentSrb> srbs_;
  std::map<PIRP, size_t> srbIndex_;  // request -> its latest SentSrb
  std::vector<ReceivedRequest> requests_;
  std::map<PIRP, size_t> requestIndex_;
  std::map<ULONG, std::deque<NTSTATUS>> ioctlScript_;
  std::deque<Completion> ioctlCompletions_;
  int releases_ = 0;
  bool shutDown_ = false;
};

}  // namespace sim
