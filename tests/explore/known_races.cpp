// Races the explorer exists to find, each kept small and on its own so that
// a test can show it is found: the start that stored into the pending-I/O
// count, a counter incremented by a plain read and write, and two threads
// that each wait for the other.
#include <memory>
#include <string>

#include "scenarios.h"
#include "world.h"

namespace {

using host::explore::Run;

// A stopped device's count (0, no bias) and a start that takes the bias by
// storing it, as the driver once did, while a request counts itself in,
// finds the device stopped and counts itself out again.
class StoredBias : public host::explore::Trial {
 public:
  void Threads(Run& run) override {
    run.Thread("request", [this] {
      InterlockedIncrement(&count_);
      if (!__atomic_load_n(&started_, __ATOMIC_SEQ_CST)) InterlockedDecrement(&count_);
    });
    run.Thread("start", [this] {
      HostSchedulePoint("IofCallDriver");  // the start goes to the port first
      count_ = 1;                          // the store: the bias, over whatever was counted
      __atomic_store_n(&started_, true, __ATOMIC_SEQ_CST);
    });
  }
  std::vector<std::string> Finish() override {
    if (count_ == 1) return {};
    return {"the count is " + std::to_string(count_) + " with the device started and nothing in flight, not 1"};
  }

 private:
  volatile LONG count_ = 0;
  bool started_ = false;
};

// Two threads add one each to a counter with a plain read and write, a
// kernel call between them.
class PlainCounter : public host::explore::Trial {
 public:
  void Threads(Run& run) override {
    for (const char* name : {"first", "second"}) {
      run.Thread(name, [this] {
        LONG seen = counter_;
        InterlockedIncrement(&calls_);
        counter_ = seen + 1;
      });
    }
  }
  std::vector<std::string> Finish() override {
    if (counter_ == 2) return {};
    return {"the counter is " + std::to_string(counter_) + " after two increments"};
  }

 private:
  volatile LONG counter_ = 0;
  volatile LONG calls_ = 0;
};

// Each thread waits for the event the other sets only after its own wait.
class EachWaitsForTheOther : public host::explore::Trial {
 public:
  EachWaitsForTheOther() {
    KeInitializeEvent(&first_, NotificationEvent, FALSE);
    KeInitializeEvent(&second_, NotificationEvent, FALSE);
  }
  void Threads(Run& run) override {
    run.Thread("first", [this] {
      KeWaitForSingleObject(&first_, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&second_, 0, FALSE);
    });
    run.Thread("second", [this] {
      KeWaitForSingleObject(&second_, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&first_, 0, FALSE);
    });
  }
  std::vector<std::string> Finish() override { return world_.Audit(); }

 private:
  host::World world_;
  KEVENT first_, second_;
};

}  // namespace

std::vector<Scenario> KnownRaces() {
  return {
      {"race-stored-bias", "the start that stored the bias into the count, against a request on a stopped device", 2,
       true, [] { return std::make_unique<StoredBias>(); }},
      {"race-plain-counter", "a counter incremented by a plain read and write on two threads", 2, true,
       [] { return std::make_unique<PlainCounter>(); }},
      {"race-waits-for-each-other", "two threads that each wait for an event the other sets later", 2, true,
       [] { return std::make_unique<EachWaitsForTheOther>(); }},
  };
}
