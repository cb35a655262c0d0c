// Events: notification and synchronization kinds, with real cross-thread
// waits. A waiter in a single-threaded test drives the simulated
// completions instead of blocking, so a wait on a request that the test has
// not yet completed still ends.
#include <chrono>

#include "explore.h"
#include "world.h"

namespace host {

static const UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);

void Events::Initialize(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> lock(mu_);
  *event = KEVENT{};
  event->Header.Type = (UCHAR)type;
  event->Header.Size = kEventSize;
  event->Header.SignalState = state ? 1 : 0;
  event->Header.WaitListHead.Flink = &event->Header.WaitListHead;
  event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
  initialized_.insert(event);
}

bool Events::Initialized(const KEVENT* event) {
  return initialized_.count(event) != 0 && event->Header.Size == kEventSize && event->Header.Type <= 1;
}

static void RequireInitialized(Events& events, const KEVENT* event, const char* routine) {
  if (event == nullptr || !events.Initialized(event)) {
    Violation(rule::kUninitialisedEvent, routine, event);
  }
}

LONG Events::Set(PRKEVENT event) {
  LONG previous;
  {
    std::lock_guard<std::mutex> lock(mu_);
    RequireInitialized(*this, event, "KeSetEvent");
    previous = event->Header.SignalState;
    event->Header.SignalState = 1;
  }
  cv_.notify_all();
  if (World* world = World::CurrentOrNull()) world->NotifyProgress();
  return previous;
}

LONG Events::Reset(PRKEVENT event) {
  std::lock_guard<std::mutex> lock(mu_);
  RequireInitialized(*this, event, "KeClearEvent");
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG Events::Read(PRKEVENT event) {
  std::lock_guard<std::mutex> lock(mu_);
  RequireInitialized(*this, event, "KeReadStateEvent");
  return event->Header.SignalState;
}

NTSTATUS Events::Wait(PRKEVENT event, const LARGE_INTEGER* timeout) {
  World& world = World::Current();
  using Clock = std::chrono::steady_clock;
  bool bounded = timeout != nullptr;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(world.options.waitLimitSeconds);
  if (bounded) {
    // Negative: relative, in 100 ns units. Absolute times count from now too.
    long long units = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart;
    deadline = Clock::now() + std::chrono::microseconds(units / 10);
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      RequireInitialized(*this, event, "KeWaitForSingleObject");
      if (event->Header.SignalState != 0) {
        if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
        return STATUS_SUCCESS;
      }
      if (bounded && timeout->QuadPart == 0) return STATUS_TIMEOUT;
    }
    if (world.Drive()) continue;
    if (explore::Run* run = explore::Run::Current()) {
      // Under the scheduler the wait parks until the event is signalled;
      // a timed wait is not parked (nothing advances time there).
      if (bounded) return STATUS_TIMEOUT;
      run->Block([event] { return event->Header.SignalState != 0; }, "KeWaitForSingleObject");
      continue;
    }
    std::unique_lock<std::mutex> lock(mu_);
    ++blocked_;
    cv_.notify_all();
    cv_.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(5)),
                   [event] { return event->Header.SignalState != 0; });
    --blocked_;
    if (event->Header.SignalState == 0 && Clock::now() >= deadline) {
      if (bounded) return STATUS_TIMEOUT;
      Violation(rule::kWaitNeverEnds, "KeWaitForSingleObject", event);
    }
  }
}

void Events::Forget(const void* start, size_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  auto first = initialized_.lower_bound((const KEVENT*)start);
  auto last = initialized_.lower_bound((const KEVENT*)((const char*)start + length));
  initialized_.erase(first, last);
}

bool Events::AwaitBlockedWaiters(int count) {
  int limit = World::Current().options.waitLimitSeconds;
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::seconds(limit), [&] { return blocked_ >= count; });
}

int Events::BlockedWaiters() {
  std::lock_guard<std::mutex> lock(mu_);
  return blocked_;
}

}  // namespace host

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (Event == nullptr || (Type != NotificationEvent && Type != SynchronizationEvent)) {
    host::Violation(host::rule::kBadArgument, "KeInitializeEvent", Event);
  }
  host::World::Current().events.Initialize(Event, Type, State);
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  (void)Increment;
  HostSchedulePoint("KeSetEvent");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL || (Wait && KeGetCurrentIrql() > APC_LEVEL)) {
    host::Violation(host::rule::kSetEventAboveDispatch, "KeSetEvent", Event);
  }
  return host::World::Current().events.Set(Event);
}

VOID KeClearEvent(PRKEVENT Event) {
  HostSchedulePoint("KeClearEvent");
  host::RequireIrql(DISPATCH_LEVEL, "KeClearEvent", Event);
  host::World::Current().events.Reset(Event);
}

LONG KeResetEvent(PRKEVENT Event) {
  HostSchedulePoint("KeResetEvent");
  host::RequireIrql(DISPATCH_LEVEL, "KeResetEvent", Event);
  return host::World::Current().events.Reset(Event);
}

LONG KeReadStateEvent(PRKEVENT Event) { return host::World::Current().events.Read(Event); }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  HostSchedulePoint("KeWaitForSingleObject");
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    host::Violation(host::rule::kWaitAboveDispatch, "KeWaitForSingleObject", Object);
  }
  if (irql == DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0)) {
    host::Violation(host::rule::kUnboundedWaitAtDispatch, "KeWaitForSingleObject", Object);
  }
  host::World& world = host::World::Current();
  world.watches.Check("KeWaitForSingleObject");
  NTSTATUS status = world.events.Wait((PRKEVENT)Object, Timeout);
  world.watches.Check("KeWaitForSingleObject");
  return status;
}

}  // extern "C"
