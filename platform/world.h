// The kernel stand-in as tests, tools and the simulations see it. A World is
// one booted kernel: its pool, its user address space, its objects and
// names, its registry and error log, the Plug and Play manager and an
// application side. Exactly one World is current at a time; each test makes a
// fresh one and ends by asking it for leaks and violations (Audit).
//
// The stand-in's state is guarded by World::mu. Driver code is never called
// with that lock held, so driver routines may block and other threads may
// complete their requests meanwhile.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app.h"
#include "events.h"
#include "faults.h"
#include "host_ddk.h"
#include "irql.h"
#include "mdl.h"
#include "objects.h"
#include "pnp.h"
#include "pool.h"
#include "requests.h"
#include "user_space.h"
#include "verifier.h"
#include "watches.h"

namespace host {

std::u16string Utf16(std::string_view text);
std::string Narrow(std::u16string_view text);
std::u16string Upper(std::u16string_view text);
std::u16string FromUnicodeString(const UNICODE_STRING* string);

// The world's lock: recursive, and it counts how often each thread takes it
// afresh (not counting a thread taking it again while it holds it), so that
// tests can hold the paths a request takes on every chunk to their budget.
class WorldLock {
 public:
  void lock() {
    mu_.lock();
    if (depth_++ == 0) ++taken_;
  }
  bool try_lock() {
    if (!mu_.try_lock()) return false;
    if (depth_++ == 0) ++taken_;
    return true;
  }
  void unlock() {
    --depth_;
    mu_.unlock();
  }
  // Times the calling thread has taken the lock afresh, in any world.
  static uint64_t TakenByThisThread() { return taken_; }

 private:
  std::recursive_mutex mu_;
  static inline thread_local int depth_ = 0;
  static inline thread_local uint64_t taken_ = 0;
};

class World {
 public:
  struct Options {
    size_t userSpaceBytes = size_t(256) << 20;
    int waitLimitSeconds = 60;  // a wait longer than this stops the test
  };
  World();
  explicit World(Options options);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  static World& Current();
  static World* CurrentOrNull();

  // Loads a driver: creates its driver object, runs its entry at
  // PASSIVE_LEVEL. FreshImage gives the driver image its initial
  // driver-wide variables, as loading the image anew does.
  PDRIVER_OBJECT LoadDriver(std::string_view name, PDRIVER_INITIALIZE entry, std::string_view registryPath,
                            NTSTATUS* status = nullptr, bool freshImage = false);
  // Calls the driver's unload routine; the driver must have no devices left.
  void UnloadDriver(PDRIVER_OBJECT driver);

  // Single-threaded tests register the simulated port driver's pump here;
  // waits with nothing else to wait for drive it, one completion at a time.
  void SetDriver(std::function<bool()> drive) { drive_ = std::move(drive); }
  bool Drive();
  // Blocks until Done holds, driving completions meanwhile; stops the test
  // after the wait limit.
  void WaitUntil(const std::function<bool()>& done, const char* what);
  void NotifyProgress();

  // What is left: pool by tag and size, MDLs, requests in flight, device
  // objects, links, open registry keys, error-log entries, open files and
  // reports not taken. Empty when the world is clean.
  std::vector<std::string> Audit();
  std::vector<std::string> TakeReports();

  Options options;
  WorldLock mu;
  Faults faults;
  Pool pool;
  UserSpace user;
  Mdls mdls;
  Events events;
  Irps irps;
  Objects objects;
  Interfaces interfaces;
  Registry registry;
  ErrorLog errorLog;
  PnpManager pnp;
  App app;
  Watches watches;
  // Completion routines set with IoSetCompletionRoutineEx that have not yet
  // returned, by driver: each holds its driver loaded.
  std::map<PDRIVER_OBJECT, int> completionHolds;
  std::vector<std::string> reports;
  std::atomic<size_t> deepestKernelStack{0};  // see KernelStack

 private:
  std::function<bool()> drive_;
  PDRIVER_OBJECT imageDriver_ = nullptr;  // the loaded driver image, if any
  // Each DriverEntry's registry path, kept for this world's lifetime only: a
  // process that boots millions of worlds must not keep one per load.
  std::vector<std::unique_ptr<std::u16string>> registryPaths_;
  std::mutex progressMu_;
  std::condition_variable progressCv_;
  std::atomic<uint64_t> progress_{0};  // changed under progressMu_, read by waiters without it
};

}  // namespace host
