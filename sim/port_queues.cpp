// The simulated port driver's queues and completion threads: requests that
// do not complete in their dispatch routine wait here for a pump or a thread.
#include "port_driver.h"

#include <algorithm>

namespace sim {

bool PortDriver::PendLocked(const Job& job) {
  if (job.how == Completion::Immediate) return false;
  IoMarkIrpPending(job.irp);
  world_.irps.SetQueued(job.irp, true);
  QueueLocked(job);
  return true;
}

void PortDriver::QueueLocked(const Job& job) {
  if (job.how == Completion::Threaded) {
    // A chunk sent from a completion on one of the threads, with nothing
    // else waiting, stays with that thread: it takes it as soon as the
    // completion returns, as a processor goes on with the next chunk of the
    // request it is completing, instead of another thread taking it over
    // while this one unwinds.
    if (t_worker.port == this && threaded_.empty() && !handoff_[t_worker.index]) {
      handoff_[t_worker.index] = job;
      return;
    }
    threaded_.push_back(job);
    threadedWaiting_.fetch_add(1, std::memory_order_release);
    if (workers_.empty() && !stopping_) {
      int threads = std::max(1, config_.completionThreads);
      handoff_.assign(threads, std::nullopt);
      for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { Worker(i); });
    }
    // A thread that is looking will find it (it looks again under the lock
    // before it sleeps); waking a sleeper as well would cost a system call.
    if (spinners_.load(std::memory_order_acquire) == 0) threadedCv_.notify_one();
  } else {
    pumped_.push_back(job);
    pumpedWaiting_.fetch_add(1, std::memory_order_release);
  }
}

void PortDriver::CompleteFromQueue(const Job& job, const SrbDecision& decision) {
  if (job.scsi) {
    CompleteSrbUnlessHeld(job, decision, true);
    return;
  }
  world_.irps.SetQueued(job.irp, false);
  CompleteNow(job);
}

NTSTATUS PortDriver::CompleteNow(const Job& job) {
  if (IoGetCurrentIrpStackLocation(job.irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    AnswerIoctl(job);
  } else {
    AnswerOther(job);
  }
  NTSTATUS status = job.irp->IoStatus.Status;
  IofCompleteRequest(job.irp, IO_NO_INCREMENT);
  return status;
}

void PortDriver::Worker(int index) {
  t_worker = {this, index};
  for (;;) {
    Job job;
    SrbDecision decision;
    bool delayed = config_.threadedDelay.count() > 0;
    {
      std::unique_lock<std::mutex> lock(mu_);
      std::optional<Job>& mine = handoff_[index];
      auto ready = [this, &mine] { return stopping_ || (!holdThreaded_ && (mine || !threaded_.empty())); };
      if (!ready()) {
        // Hardware answers at once, so look again for a little while before
        // sleeping: the next chunk a completion sends, or the next request an
        // application sends after the last one completed, should not wait
        // for a thread to wake up. One idle thread looking is enough; more
        // would only take processors from the thread moving data.
        if (spinners_.fetch_add(1, std::memory_order_acq_rel) == 0) {
          lock.unlock();
          host::SpinUntil([this] { return threadedWaiting_.load(std::memory_order_acquire) != 0; });
          lock.lock();
        }
        spinners_.fetch_sub(1, std::memory_order_acq_rel);
        threadedCv_.wait(lock, ready);
      }
      if (stopping_) return;
      if (mine) {
        job = *mine;
        mine.reset();
      } else {
        job = threaded_.pop_front();
        threadedWaiting_.fetch_sub(1, std::memory_order_relaxed);
      }
      if (job.scsi && !delayed) decision = DecideSrbLocked(job, true);
    }
    if (delayed) {
      std::this_thread::sleep_for(config_.threadedDelay);
      if (job.scsi) {
        std::lock_guard<std::mutex> lock(mu_);
        decision = DecideSrbLocked(job, true);
      }
    }
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    CompleteFromQueue(job, decision);
  }
}

void PortDriver::HoldThreaded(bool hold) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    holdThreaded_ = hold;
  }
  threadedCv_.notify_all();
}

bool PortDriver::Pump() {
  Job job;
  SrbDecision decision;
  // A waiter drives completions in a loop while threads complete the rest:
  // it must not take the lock (and make the completing thread wake it) just
  // to find nothing held.
  if (pumpedWaiting_.load(std::memory_order_acquire) == 0) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (pumped_.empty()) return false;
    job = pumped_.pop_front();
    pumpedWaiting_.fetch_sub(1, std::memory_order_relaxed);
    if (job.scsi) decision = DecideSrbLocked(job, true);
  }
  host::IrqlScope dispatch(DISPATCH_LEVEL);
  CompleteFromQueue(job, decision);
  return true;
}

size_t PortDriver::PumpAll() {
  size_t count = 0;
  while (Pump()) ++count;
  return count;
}

size_t PortDriver::Queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t handedOff = std::count_if(handoff_.begin(), handoff_.end(), [](const auto& job) { return job.has_value(); });
  return pumped_.size() + threaded_.size() + handedOff;
}

}  // namespace sim
