// Events, and the short spin a thread makes before it sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "host_ddk.h"

namespace host {

// Polls Ready for a short while before a thread goes to sleep on something
// another processor is about to do; true when it came true. Completions on
// real hardware follow at once, and a sleeping thread takes far longer to
// wake than a chunk takes to move. Between rounds of polls the thread
// offers its processor to any other thread that is ready to run: with more
// pollers than processors (an application waiting and two completion
// threads on two processors) a poller would otherwise hold the processor
// that the thread moving the data needs. With nothing else to run, the
// offer returns at once.
template <typename Ready>
bool SpinUntil(Ready ready, std::chrono::microseconds budget = std::chrono::microseconds(200)) {
  auto until = std::chrono::steady_clock::now() + budget;
  do {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < until);
  return ready();
}

class Events {
 public:
  void Initialize(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
  LONG Set(PRKEVENT event);
  LONG Reset(PRKEVENT event);
  LONG Read(PRKEVENT event);
  NTSTATUS Wait(PRKEVENT event, const LARGE_INTEGER* timeout);
  void Forget(const void* start, size_t length);
  bool Initialized(const KEVENT* event);
  // Blocks until at least Count waits are blocked in KeWaitForSingleObject;
  // false when that did not happen within the world's wait limit.
  bool AwaitBlockedWaiters(int count);
  int BlockedWaiters();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::set<const KEVENT*> initialized_;
  int blocked_ = 0;
};

}  // namespace host
