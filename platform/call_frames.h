// Call frames and kernel-stack accounting, shared by the I/O manager's files.
// The frames and counts are the calling thread's own: a frame lives on the
// stack of the IofCallDriver call that made it and is reached only from
// that thread.
#pragma once

#include <cstdint>

#include "host_ddk.h"

namespace host {

// What one IofCallDriver call saw its dispatch routine do with the request,
// for the checks made after the routine returns. A second send of the same
// request at the same location (a completion routine sending it down again
// from another processor) has a frame of its own and cannot disturb this
// one's.
struct CallFrame {
  PIRP irp;
  uint64_t serial;
  int level;            // the stack location the dispatch routine runs in
  int completionDepth;  // completion routines running on this thread when the call began
  bool marked = false;
  bool passedDown = false;
  bool completedPast = false;
  bool completedHere = false;
  NTSTATUS completedStatus = 0;
  NTSTATUS lowerReturned = 0;
  CallFrame* parent = nullptr;
};

// Completion routines nested on this thread now.
int CompletionsNested();
// Whether the thread is inside a driver routine (a dispatch routine called
// by IofCallDriver, or a completion routine).
bool InsideDriverRoutine();

// The innermost call of this thread that runs the request at Level. Direct:
// only when the caller is that call's dispatch routine itself, not a
// completion routine running beneath it.
CallFrame* FrameOf(PIRP irp, uint64_t serial, int level, bool direct);
// A completion walk passed Level: every call of this thread that runs the
// request there (a driver that skipped its location shares it with the one
// below) sees its request completed.
void MarkCompletedPast(PIRP irp, uint64_t serial, int level);

// IofCallDriver's frame: pushed and charged to the kernel stack before the
// dispatch routine runs, popped after it returns.
void EnterCall(CallFrame& frame, PIRP irp);
void LeaveCall(CallFrame& frame);
// A completion routine's frame, charged before the routine runs.
void EnterCompletion(PIRP irp);
void LeaveCompletion();

}  // namespace host
