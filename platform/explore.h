// A deterministic scheduler for the stand-in: the threads of a small
// scenario run one at a time and switch only at kernel calls (interlocked
// operations, sending and completing requests, completion-routine entry,
// events and waits). The driver runs unchanged; the scheduler decides who
// runs next, so that one list of choices is one interleaving, and the
// explorer can enumerate them (depth first, up to a number of preemptions)
// or replay any one of them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host::explore {

// One place where more than one thread could run next.
struct Step {
  std::vector<int> options;  // the enabled threads: the default first, then the others by number
  int chosen = 0;            // the thread that ran
  int current = -1;          // the thread that reached the point (-1: none yet)
  bool currentEnabled = false;
  std::string call;          // the kernel call of the point
  std::string place;         // where in the driver, when places are kept
  bool Preempts() const { return currentEnabled && chosen != current; }
};

enum class Ending { Finished, Deadlock };

// Chooses the thread that runs at multiple-option step Index, from Options
// (the default first).
using Chooser = std::function<int(size_t index, const std::vector<int>& options)>;

// One run of a scenario's threads under the scheduler. Threads are added,
// then Go runs them all to their end, switching only at points.
class Run {
 public:
  explicit Run(Chooser chooser, bool keepPlaces = false);
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Threads of one non-empty Kind are interchangeable while each is parked
  // idle (Block with Idle): a choice between two such is made once.
  void Thread(std::string name, std::function<void()> body, std::string kind = {});
  Ending Go();

  const std::vector<Step>& Steps() const { return steps_; }
  const std::string& ThreadName(int thread) const { return threads_.at(thread)->name; }
  size_t Points() const { return points_; }
  // The schedule so far as a replay string: the steps whose choice was not
  // the default, as step=thread.
  std::string Replay() const;
  // The schedule in words, one line per step that had a choice.
  std::string Describe() const;

  // Called on the running thread by the stand-in's points.
  void Point(const char* call);
  // Parks the running thread until Ready holds (evaluated while no other
  // thread of the run runs).
  void Block(const std::function<bool()>& ready, const char* call, bool idle = false);

  static Run* Current();  // the run of the calling thread, or null
  // A replayed choice the run did not offer: the build or the scenario
  // changed since the schedule was recorded.
  bool Diverged() const { return diverged_; }

 private:
  struct ThreadState {
    std::string name;
    std::function<void()> body;
    std::thread thread;
    bool finished = false;
    std::string kind;
    std::function<bool()> blockedOn;
    std::string blockedCall;
    bool idle = false;
  };
  bool Enabled(int thread) const;
  // Picks and starts the next thread, from Current; mu_ is held. False when
  // no thread can run (the run ended or deadlocked).
  bool Switch(int current, bool currentEnabled, const char* call, std::unique_lock<std::mutex>& lock);
  void Body(int index);

  Chooser chooser_;
  bool keepPlaces_;
  std::vector<std::unique_ptr<ThreadState>> threads_;
  std::vector<Step> steps_;
  size_t points_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  int running_ = -1;
  bool over_ = false;
  bool diverged_ = false;
  Ending ending_ = Ending::Finished;
};

// One run of a scenario: made fresh for every schedule. Threads adds the
// scenario's threads; Finish runs after they all ended, takes everything
// down and returns what went wrong (the audit included).
class Trial {
 public:
  virtual ~Trial() = default;
  virtual void Threads(Run& run) = 0;
  virtual std::vector<std::string> Finish() = 0;
};
using TrialFactory = std::function<std::unique_ptr<Trial>()>;

struct Result {
  size_t schedules = 0;
  size_t longest = 0;       // the most choices in one schedule
  size_t points = 0;        // the most points one schedule passed
  bool complete = false;    // every schedule within the bound was run
  bool failed = false;
  bool deadlock = false;    // the failure left threads parked: end the process
  std::string replay;       // of the failing schedule
  std::string report;       // what failed, and the schedule in words
  double seconds = 0;
};

// Every schedule with at most Bound preemptions, depth first, up to Limit
// schedules; stops at the first failure.
Result ExploreBounded(const TrialFactory& factory, int bound, size_t limit);
// Count schedules chosen at random from Seed, stopping at the first failure.
Result ExploreRandom(const TrialFactory& factory, uint64_t seed, size_t count);
// Exactly the schedule of a replay string, with the places in the driver.
Result Replay(const TrialFactory& factory, const std::string& replay);

// Where in the driver the calling thread is: the first frame that is not
// the stand-in's or the library's, by name.
std::string PlaceInDriver();

// What a violation prints before the stop: set by the explorer.
void OnViolation(std::function<void()> hook);
void RunViolationHook();

}  // namespace host::explore
