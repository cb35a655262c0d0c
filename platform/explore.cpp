// The deterministic scheduler: a baton passed between real threads. Only the
// thread that holds it runs; it gives it up only at a point (a kernel call)
// or when it parks on something that is not ready, and the chooser says who
// takes it next.
#include "explore.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <memory>
#include <sstream>

#include "world.h"

namespace host::explore {

namespace {
thread_local Run* tlsRun = nullptr;
thread_local int tlsThread = -1;
std::function<void()> violationHook;
}  // namespace

Run::Run(Chooser chooser, bool keepPlaces) : chooser_(std::move(chooser)), keepPlaces_(keepPlaces) {}

Run::~Run() {
  for (auto& t : threads_) {
    if (t->thread.joinable()) t->thread.join();
  }
}

Run* Run::Current() { return tlsRun; }

void Run::Thread(std::string name, std::function<void()> body, std::string kind) {
  auto state = std::make_unique<ThreadState>();
  state->name = std::move(name);
  state->kind = std::move(kind);
  state->body = std::move(body);
  threads_.push_back(std::move(state));
}

bool Run::Enabled(int thread) const {
  const ThreadState& t = *threads_[thread];
  return !t.finished && (!t.blockedOn || t.blockedOn());
}

bool Run::Switch(int current, bool currentEnabled, const char* call, std::unique_lock<std::mutex>&) {
  std::vector<int> options;
  if (currentEnabled) options.push_back(current);
  for (int i = 0; i < (int)threads_.size(); ++i) {
    if (i == current || !Enabled(i)) continue;
    const ThreadState& t = *threads_[i];
    // An idle thread of a kind another idle option already stands for
    // would start the same schedule again.
    bool twin = t.idle && !t.kind.empty() && std::any_of(options.begin(), options.end(), [&](int o) {
      const ThreadState& u = *threads_[o];
      return o != current && u.idle && u.kind == t.kind && u.blockedCall == t.blockedCall;
    });
    if (!twin) options.push_back(i);
  }
  if (options.empty()) {
    bool all = std::all_of(threads_.begin(), threads_.end(), [](const auto& t) { return t->finished; });
    ending_ = all ? Ending::Finished : Ending::Deadlock;
    over_ = true;
    running_ = -1;
    cv_.notify_all();
    return false;
  }
  int next = options[0];
  if (options.size() > 1) {
    Step step;
    step.options = options;
    step.current = current;
    step.currentEnabled = currentEnabled;
    step.call = call;
    if (keepPlaces_ && current >= 0) step.place = PlaceInDriver();
    int chosen = chooser_(steps_.size(), options);
    // A choice the run does not offer (a replay of another build) takes the default.
    bool offered = std::find(options.begin(), options.end(), chosen) != options.end();
    diverged_ |= !offered;
    step.chosen = offered ? chosen : options[0];
    next = step.chosen;
    steps_.push_back(std::move(step));
  }
  threads_[next]->blockedOn = nullptr;
  threads_[next]->idle = false;
  running_ = next;
  cv_.notify_all();
  return true;
}

void Run::Point(const char* call) {
  std::unique_lock<std::mutex> lock(mu_);
  ++points_;
  int me = tlsThread;
  Switch(me, true, call, lock);
  cv_.wait(lock, [&] { return running_ == me; });
}

void Run::Block(const std::function<bool()>& ready, const char* call, bool idle) {
  std::unique_lock<std::mutex> lock(mu_);
  if (ready()) return;
  int me = tlsThread;
  threads_[me]->blockedOn = ready;
  threads_[me]->blockedCall = call;
  threads_[me]->idle = idle;
  Switch(me, false, call, lock);
  // After a deadlock nobody hands the baton back: the explorer reports the
  // run and ends the process.
  cv_.wait(lock, [&] { return running_ == me; });
}

void Run::Body(int index) {
  tlsRun = this;
  tlsThread = index;
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return running_ == index; });
  }
  threads_[index]->body();
  std::unique_lock<std::mutex> lock(mu_);
  threads_[index]->finished = true;
  Switch(index, false, "thread end", lock);
  tlsRun = nullptr;
}

Ending Run::Go() {
  for (int i = 0; i < (int)threads_.size(); ++i) {
    threads_[i]->thread = std::thread([this, i] { Body(i); });
  }
  std::unique_lock<std::mutex> lock(mu_);
  Switch(-1, false, "start", lock);
  cv_.wait(lock, [&] { return over_; });
  if (ending_ == Ending::Deadlock) {
    // The parked threads never end: they are left to the process's end.
    for (auto& t : threads_) {
      if (!t->finished) t->thread.detach();
    }
  }
  return ending_;
}

// The steps whose choice was not the default, as step=thread; "-" for none.
static std::string ReplayOf(const std::vector<Step>& steps) {
  std::string text;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].chosen == steps[i].options[0]) continue;
    if (!text.empty()) text += ",";
    text += std::to_string(i) + "=" + std::to_string(steps[i].chosen);
  }
  return text.empty() ? "-" : text;
}

std::string Run::Replay() const { return ReplayOf(steps_); }

std::string Run::Describe() const {
  std::ostringstream out;
  for (size_t i = 0; i < steps_.size(); ++i) {
    const Step& s = steps_[i];
    out << "  step " << i << ": ";
    if (s.current >= 0) {
      out << threads_[s.current]->name << (s.currentEnabled ? " at " : " waits at ") << s.call;
      if (!s.place.empty()) out << " in " << s.place;
    } else {
      out << "start";
    }
    out << " -> " << threads_[s.chosen]->name;
    if (s.Preempts()) out << " (preemption)";
    out << "\n";
  }
  for (const auto& t : threads_) {
    if (!t->finished && t->blockedOn) out << "  " << t->name << " waits at " << t->blockedCall << "\n";
  }
  return out.str();
}

std::string PlaceInDriver() {
  void* frames[48];
  int count = backtrace(frames, 48);
  static const char* const kNotDriver[] = {"host::", "std::", "sim::", "Host", "Io", "Iof", "Ke", "Kf", "Ex",
                                           "Mm", "Interlocked", "Po", "Ob", "Rtl", "Zw", "__"};
  for (int i = 1; i < count; ++i) {
    Dl_info info;
    if (dladdr(frames[i], &info) == 0 || info.dli_sname == nullptr) continue;
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status),
                                                     std::free);
    std::string name = status == 0 ? demangled.get() : info.dli_sname;
    bool skip = std::any_of(std::begin(kNotDriver), std::end(kNotDriver),
                            [&](const char* prefix) { return name.rfind(prefix, 0) == 0; });
    if (!skip) return name.substr(0, name.find('('));
  }
  return "?";
}

void OnViolation(std::function<void()> hook) { violationHook = std::move(hook); }

// ---------------------------------------------------------------- the explorer

namespace {

struct Outcome {
  std::vector<Step> steps;
  size_t points = 0;
  std::vector<std::string> failures;
  bool deadlock = false;
  std::string parked;  // a deadlock's schedule in words
};

// The run the violation hook describes.
std::atomic<Run*> describedRun{nullptr};
std::string describedLabel;

Outcome RunOnce(const TrialFactory& factory, Chooser chooser, bool keepPlaces, const std::string& label,
                std::string* describe = nullptr) {
  Outcome outcome;
  std::unique_ptr<Trial> trial = factory();
  auto* run = new Run(std::move(chooser), keepPlaces);
  describedLabel = label;
  describedRun = run;
  trial->Threads(*run);
  Ending ending = run->Go();
  outcome.steps = run->Steps();
  outcome.points = run->Points();
  if (run->Diverged()) outcome.failures.push_back("the replayed schedule offers other choices than recorded");
  if (ending == Ending::Deadlock) {
    outcome.deadlock = true;
    outcome.failures.push_back("deadlock: every thread left waits for something no thread can give");
    outcome.parked = run->Describe();
    if (describe != nullptr) *describe = outcome.parked;
    // Its parked threads still use the run and the trial: both are left.
    (void)trial.release();
    return outcome;
  }
  if (describe != nullptr) *describe = run->Describe();
  // A driver invariant broken anywhere in the schedule stops it here at the
  // latest, still described as this schedule.
  if (World* world = World::CurrentOrNull()) world->watches.Check("the end of the schedule");
  std::vector<std::string> left = trial->Finish();
  outcome.failures.insert(outcome.failures.end(), left.begin(), left.end());
  describedRun = nullptr;
  delete run;
  return outcome;
}

void Fail(Result& result, const Outcome& outcome, const TrialFactory& factory) {
  result.failed = true;
  result.deadlock = outcome.deadlock;
  result.replay = ReplayOf(outcome.steps);
  std::string report;
  for (const std::string& failure : outcome.failures) report += "  " + failure + "\n";
  if (outcome.deadlock) {
    report += outcome.parked;
  } else {
    // Again, keeping the places in the driver for the description.
    std::string describe;
    std::map<size_t, int> forced;
    for (size_t i = 0; i < outcome.steps.size(); ++i) forced[i] = outcome.steps[i].chosen;
    RunOnce(factory, [&](size_t k, const std::vector<int>& o) { return forced.count(k) ? forced[k] : o[0]; },
            true, "replay", &describe);
    report += describe;
  }
  result.report = report;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Result ExploreBounded(const TrialFactory& factory, int bound, size_t limit) {
  Result result;
  auto start = std::chrono::steady_clock::now();
  std::vector<int> prefix;
  for (;;) {
    Outcome outcome = RunOnce(
        factory, [&](size_t k, const std::vector<int>& o) { return k < prefix.size() ? prefix[k] : o[0]; }, false,
        "schedule " + std::to_string(result.schedules));
    ++result.schedules;
    result.longest = std::max(result.longest, outcome.steps.size());
    result.points = std::max(result.points, outcome.points);
    if (!outcome.failures.empty()) {
      Fail(result, outcome, factory);
      break;
    }
    // The deepest step with a choice not yet taken that the bound allows.
    const std::vector<Step>& steps = outcome.steps;
    std::vector<int> preemptions(steps.size() + 1, 0);
    for (size_t i = 0; i < steps.size(); ++i) preemptions[i + 1] = preemptions[i] + (steps[i].Preempts() ? 1 : 0);
    bool found = false;
    for (size_t i = steps.size(); i-- > 0 && !found;) {
      const Step& s = steps[i];
      size_t taken = std::find(s.options.begin(), s.options.end(), s.chosen) - s.options.begin();
      for (size_t j = taken + 1; j < s.options.size(); ++j) {
        int cost = s.currentEnabled && s.options[j] != s.current ? 1 : 0;
        if (preemptions[i] + cost > bound) continue;
        prefix.resize(i);
        for (size_t k = 0; k < i; ++k) prefix[k] = steps[k].chosen;
        prefix.push_back(s.options[j]);
        found = true;
        break;
      }
    }
    if (!found) {
      result.complete = true;
      break;
    }
    if (result.schedules >= limit) break;
  }
  result.seconds = Since(start);
  return result;
}

Result ExploreRandom(const TrialFactory& factory, uint64_t seed, size_t count) {
  Result result;
  auto start = std::chrono::steady_clock::now();
  for (size_t n = 0; n < count; ++n) {
    std::mt19937_64 random(seed + n);
    Outcome outcome = RunOnce(
        factory, [&](size_t, const std::vector<int>& o) { return o[random() % o.size()]; }, false,
        "random schedule " + std::to_string(n) + " of seed " + std::to_string(seed));
    ++result.schedules;
    result.longest = std::max(result.longest, outcome.steps.size());
    result.points = std::max(result.points, outcome.points);
    if (!outcome.failures.empty()) {
      Fail(result, outcome, factory);
      break;
    }
  }
  result.complete = true;
  result.seconds = Since(start);
  return result;
}

Result Replay(const TrialFactory& factory, const std::string& replay) {
  Result result;
  auto start = std::chrono::steady_clock::now();
  std::map<size_t, int> forced;
  if (replay != "-") {
    std::stringstream in(replay);
    std::string pair;
    while (std::getline(in, pair, ',')) {
      size_t at = pair.find('=');
      if (at == std::string::npos) continue;
      forced[std::stoul(pair.substr(0, at))] = std::stoi(pair.substr(at + 1));
    }
  }
  std::string describe;
  Outcome outcome = RunOnce(
      factory, [&](size_t k, const std::vector<int>& o) { return forced.count(k) ? forced[k] : o[0]; }, true,
      "replay " + replay, &describe);
  result.schedules = 1;
  result.longest = outcome.steps.size();
  result.points = outcome.points;
  result.complete = true;
  result.replay = ReplayOf(outcome.steps);
  if (!outcome.failures.empty()) {
    result.failed = true;
    result.deadlock = outcome.deadlock;
    for (const std::string& failure : outcome.failures) result.report += "  " + failure + "\n";
  }
  result.report += describe;
  result.seconds = Since(start);
  return result;
}


void RunViolationHook() {
  if (Run* run = describedRun.load()) {
    std::fprintf(stderr, "explorer: the stop came in %s; replay: %s\n%s", describedLabel.c_str(),
                 run->Replay().c_str(), run->Describe().c_str());
  }
  if (violationHook) violationHook();
}

}  // namespace host::explore

extern "C" VOID HostSchedulePoint(const char* Call) {
  if (host::explore::Run* run = host::explore::Run::Current()) run->Point(Call);
}
