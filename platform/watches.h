// Watches: invariants of a driver's own state, checked at request boundaries.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace host {

// Invariants of a driver's own state, which only the test knows where to
// find (a device extension's counters). The stand-in checks every watch at
// each request boundary (a dispatch routine's return, the end of a
// completion, a wait's start and end) and stops the test when one fails.
// A watch belongs to an object and goes with it (IoDeleteDevice forgets a
// device's watches).
class Watches {
 public:
  // Holds reads the driver's state with atomic loads: it runs on any thread.
  void Add(const void* owner, std::string what, std::function<bool()> holds);
  void Forget(const void* owner);
  void Check(const char* routine);

 private:
  struct Watch {
    const void* owner;
    std::string what;
    std::function<bool()> holds;
  };
  std::mutex mu_;
  std::vector<Watch> watches_;
  std::atomic<size_t> count_{0};
};

}  // namespace host
