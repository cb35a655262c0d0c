// Call frames and kernel-stack accounting: what each IofCallDriver call saw
// its dispatch routine do, and what a thread's nested driver calls cost its
// kernel stack.
#include "call_frames.h"

#include <string>

#include "world.h"

namespace host {

namespace {

thread_local CallFrame* t_frames = nullptr;
thread_local int t_calls = 0;        // IofCallDriver calls nested on this thread
thread_local int t_completions = 0;  // completion routines nested on this thread

size_t StackInUse(int calls, int completions) {
  return KernelStack::kEntry + (size_t)calls * KernelStack::kCallFrame +
         (size_t)completions * KernelStack::kCompletionFrame;
}

// Charges one more frame to this thread's kernel stack; stops when the
// stack overflows.
void ChargeStack(const char* routine, PIRP irp) {
  size_t used = StackInUse(t_calls, t_completions);
  World& world = World::Current();
  size_t deepest = world.deepestKernelStack.load(std::memory_order_relaxed);
  while (used > deepest && !world.deepestKernelStack.compare_exchange_weak(deepest, used)) {
  }
  if (used > KernelStack::kBytes) {
    Violation(rule::kKernelStackOverflow, routine, irp,
              std::to_string(t_calls) + " nested driver calls and " + std::to_string(t_completions) +
                  " nested completion routines take about " + std::to_string(used) + " bytes of a " +
                  std::to_string(KernelStack::kBytes) + "-byte kernel stack");
  }
}

}  // namespace

int CompletionsNested() { return t_completions; }

bool InsideDriverRoutine() { return t_frames != nullptr || t_completions > 0; }

CallFrame* FrameOf(PIRP irp, uint64_t serial, int level, bool direct) {
  for (CallFrame* frame = t_frames; frame != nullptr; frame = frame->parent) {
    if (frame->irp == irp && frame->serial == serial && frame->level == level) {
      return !direct || frame->completionDepth == t_completions ? frame : nullptr;
    }
  }
  return nullptr;
}

void MarkCompletedPast(PIRP irp, uint64_t serial, int level) {
  for (CallFrame* frame = t_frames; frame != nullptr; frame = frame->parent) {
    if (frame->irp == irp && frame->serial == serial && frame->level == level) frame->completedPast = true;
  }
}

void EnterCall(CallFrame& frame, PIRP irp) {
  frame.parent = t_frames;
  t_frames = &frame;
  ++t_calls;
  ChargeStack("IofCallDriver", irp);
}

void LeaveCall(CallFrame& frame) {
  --t_calls;
  t_frames = frame.parent;
}

void EnterCompletion(PIRP irp) {
  ++t_completions;
  ChargeStack("IofCompleteRequest", irp);
}

void LeaveCompletion() { --t_completions; }

size_t KernelStack::InUse() { return StackInUse(t_calls, t_completions); }
size_t KernelStack::Deepest() { return World::Current().deepestKernelStack.load(); }

FreshKernelStack::FreshKernelStack() : calls_(t_calls), completions_(t_completions) {
  saved_ = t_frames;
  t_frames = nullptr;
  t_calls = 0;
  t_completions = 0;
}

FreshKernelStack::~FreshKernelStack() {
  t_frames = (CallFrame*)saved_;
  t_calls = calls_;
  t_completions = completions_;
}

}  // namespace host
