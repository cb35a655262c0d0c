// The world: current-world bookkeeping, driver loading, waiting and the
// end-of-test audit.
#include "explore.h"
#include "world.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "guard_pages.h"

// Driver-wide variables of the driver image, gathered in one section.
extern "C" char __start_stillscsi_image[] __attribute__((weak));
extern "C" char __stop_stillscsi_image[] __attribute__((weak));

namespace host {

namespace {

std::atomic<World*> g_current{nullptr};

// The image's driver-wide variables as the image was loaded, taken before
// any driver code runs, so that every fresh load starts from them.
struct ImageSnapshot {
  std::vector<char> bytes;
  ImageSnapshot() {
    if (__start_stillscsi_image != nullptr && __stop_stillscsi_image != nullptr) {
      bytes.assign(__start_stillscsi_image, __stop_stillscsi_image);
    }
  }
  void Restore() const {
    if (!bytes.empty()) {
      memcpy(__start_stillscsi_image, bytes.data(), bytes.size());
    }
  }
};
const ImageSnapshot g_image;

}  // namespace

std::u16string Utf16(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide.push_back((char16_t)c);
  return wide;
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) narrow.push_back(c < 0x80 ? (char)c : '?');
  return narrow;
}

std::u16string Upper(std::u16string_view text) {
  std::u16string upper(text);
  for (auto& c : upper) {
    if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
  }
  return upper;
}

std::u16string FromUnicodeString(const UNICODE_STRING* string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

World::World() : World(Options{}) {}

World::World(Options opts) : options(opts), user(opts.userSpaceBytes) {
  World* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "stand-in: a second World while one is current\n");
    std::abort();
  }
  InstallGuardPageHandler();
  SetUserRange(user.Base(), user.Size());
}

World::~World() {
  SetUserRange(0, 0);
  g_current = nullptr;
}

World& World::Current() {
  World* world = g_current.load();
  if (world == nullptr) {
    std::fprintf(stderr, "stand-in: a kernel call with no World\n");
    std::abort();
  }
  return *world;
}

World* World::CurrentOrNull() { return g_current.load(); }

PDRIVER_OBJECT World::LoadDriver(std::string_view name, PDRIVER_INITIALIZE entry, std::string_view registryPath,
                                 NTSTATUS* status, bool freshImage) {
  RequireIrql(PASSIVE_LEVEL, "LoadDriver");
  if (freshImage) {
    if (imageDriver_ != nullptr) {
      Violation(rule::kBadArgument, "LoadDriver", imageDriver_, "the driver image is already loaded");
    }
    g_image.Restore();
  }
  PDRIVER_OBJECT driver = objects.CreateDriver(u"\\Driver\\" + Utf16(name));
  registryPaths_.push_back(std::make_unique<std::u16string>(Utf16(registryPath)));
  UNICODE_STRING path;
  path.Buffer = registryPaths_.back()->data();
  path.Length = (USHORT)(registryPaths_.back()->size() * sizeof(WCHAR));
  path.MaximumLength = path.Length;

  NTSTATUS result = entry(driver, &path);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Violation(rule::kIrqlChanged, "DriverEntry", driver);
  }
  if (status != nullptr) *status = result;
  if (!NT_SUCCESS(result)) {
    objects.DestroyDriver(driver);
    return nullptr;
  }
  if (freshImage) imageDriver_ = driver;
  return driver;
}

void Watches::Add(const void* owner, std::string what, std::function<bool()> holds) {
  std::lock_guard<std::mutex> lock(mu_);
  watches_.push_back(Watch{owner, std::move(what), std::move(holds)});
  count_ = watches_.size();
}

void Watches::Forget(const void* owner) {
  std::lock_guard<std::mutex> lock(mu_);
  std::erase_if(watches_, [owner](const Watch& watch) { return watch.owner == owner; });
  count_ = watches_.size();
}

void Watches::Check(const char* routine) {
  if (count_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (const Watch& watch : watches_) {
    if (!watch.holds()) Violation(rule::kDriverInvariant, routine, watch.owner, watch.what);
  }
}

void World::UnloadDriver(PDRIVER_OBJECT driver) {
  RequireIrql(PASSIVE_LEVEL, "UnloadDriver", driver);
  if (driver->DeviceObject != nullptr) {
    Violation(rule::kUnloadWithDevices, "UnloadDriver", driver);
  }
  {
    std::lock_guard<WorldLock> lock(mu);
    auto hold = completionHolds.find(driver);
    if (hold != completionHolds.end()) {
      Violation(rule::kUnloadWithRoutinePending, "UnloadDriver", driver,
                std::to_string(hold->second) + " routine(s) set with IoSetCompletionRoutineEx have not returned");
    }
  }
  if (driver->DriverUnload != nullptr) {
    driver->DriverUnload(driver);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      Violation(rule::kIrqlChanged, "DriverUnload", driver);
    }
  }
  objects.DestroyDriver(driver);
  if (driver == imageDriver_) imageDriver_ = nullptr;
}

bool World::Drive() {
  if (!drive_) return false;
  // A completion the waiter drives stands for the port's DPC: it runs on a
  // kernel stack of its own, not on top of the waiter's.
  FreshKernelStack dpc;
  return drive_();
}

void World::NotifyProgress() {
  {
    std::lock_guard<std::mutex> lock(progressMu_);
    ++progress_;
  }
  progressCv_.notify_all();
}

void World::WaitUntil(const std::function<bool()>& done, const char* what) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.waitLimitSeconds);
  bool spun = false;
  for (;;) {
    // Progress is read before Done is asked, so a completion that comes
    // after the answer still wakes the wait below.
    uint64_t seen = progress_.load();
    if (done()) return;
    if (Drive()) continue;
    if (explore::Run* run = explore::Run::Current()) {
      run->Block(done, what);
      continue;
    }
    // Polls once: a wait that outlasts the poll is a long one, and sleeps
    // from then on, so that it leaves the processors to the threads that
    // complete what it waits for.
    if (!spun && SpinUntil(done)) return;
    spun = true;
    std::unique_lock<std::mutex> lock(progressMu_);
    progressCv_.wait_for(lock, std::chrono::milliseconds(5), [&] { return progress_ != seen; });
    if (std::chrono::steady_clock::now() > deadline) {
      Violation(rule::kWaitNeverEnds, what, nullptr);
    }
  }
}

std::vector<std::string> World::TakeReports() {
  std::lock_guard<host::WorldLock> lock(mu);
  std::vector<std::string> taken;
  taken.swap(reports);
  return taken;
}

std::vector<std::string> World::Audit() {
  std::lock_guard<host::WorldLock> lock(mu);
  irps.FlushFreed();
  std::vector<std::string> left;
  auto add = [&left](const std::vector<std::string>& items) { left.insert(left.end(), items.begin(), items.end()); };
  add(pool.Audit());
  add(mdls.Audit());
  add(irps.Audit());
  add(objects.Audit());
  add(registry.Audit());
  add(errorLog.Audit());
  if (app.OpenFiles() != 0) {
    left.push_back("files: " + std::to_string(app.OpenFiles()) + " still open");
  }
  for (const auto& report : reports) left.push_back(report);
  return left;
}

}  // namespace host
