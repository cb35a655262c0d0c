// Requests: the record the stand-in keeps of each, the table of live ones,
// kernel-stack accounting and the I/O manager's work at the top of a request.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host_ddk.h"
#include "pool.h"

namespace host {

// What an IO_STATUS_BLOCK holds between IoBuildDeviceIoControlRequest and the
// request's completion: a success code no real request ends with.
inline constexpr NTSTATUS kStatusBlockPoison = 0x0000B10C;

// What IoSetCompletionRoutineEx keeps (from pool tagged "IoCr") while the
// routine it set may still run: the routine, its context, and the driver it
// holds loaded.
inline constexpr ULONG kCompletionHoldTag = Tag("IoCr");
struct SafeCompletion {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  PDRIVER_OBJECT driver;
};
NTSTATUS UnloadSafeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

enum class IrpKind { Allocated, Threaded, Manager };

// What the stand-in knows of one request. It outlives the request's memory
// for a while, so that checks made after a driver routine returns, and the
// verdict on a request touched after it was freed, never read freed memory.
// Fields that threads other than the world lock's holder read are atomics.
struct IrpRecord {
  PIRP irp = nullptr;
  IrpKind kind = IrpKind::Allocated;
  // Allocated by a driver (inside one of its dispatch or completion
  // routines), not by a test standing in for a kernel component.
  bool byDriver = false;
  uint64_t serial = 0;
  std::atomic<bool> freed{false};
  std::atomic<bool> queuedBelow{false};  // a lower driver holds it queued
  std::atomic<bool> finished{false};     // completed to the top
  // Every IofCallDriver and every IofCompleteRequest of the request counts
  // here (changed under the world lock, read without it). A walk whose
  // completion routine lets it go on checks that nobody sent the request
  // down again or completed it meanwhile: two walks over the same locations
  // are a double completion.
  std::atomic<uint64_t> sends{0};
  std::atomic<uint64_t> completions{0};
  std::atomic<int> powerStarts{0};  // PoStartNextPowerIrp calls for it
  NTSTATUS finalStatus = 0;
  // Where its memory came from: a page of the request arena, or a mapping of
  // its own (requests too large for one page).
  int arenaPage = -1;
  size_t mapBytes = 0;
  int guardSlot = -1;
  // Threaded requests (IoBuildDeviceIoControlRequest).
  PIO_STATUS_BLOCK userIosb = nullptr;
  PKEVENT userEvent = nullptr;
  void* systemBuffer = nullptr;
  void* outputBuffer = nullptr;
  ULONG outputLength = 0;
  bool copyBack = false;
  // Manager requests (the stand-in's own: applications, Plug and Play, power).
  std::function<void(PIRP)> onComplete;
};

// The pages requests live in. Requests of up to one page are carved from a
// ring of pages that are recycled: a freed request's page is made
// inaccessible and stays so until the ring comes round to it again, so a
// late touch stops as "freed request touched". Pages change protection in
// runs, so that in steady state no system call is made per request.
class IrpArena {
 public:
  static constexpr size_t kPages = 4096;
  static constexpr size_t kRun = 32;  // pages made accessible or inaccessible in one call
  IrpArena();
  ~IrpArena();
  IrpArena(const IrpArena&) = delete;
  IrpArena& operator=(const IrpArena&) = delete;

  // A fresh accessible page, or -1 when every page holds a live request.
  int Take();
  // The request of Bytes bytes on Page was freed: poison it and make it
  // inaccessible, at once while the world is young, else with the next run.
  void Give(int page, size_t bytes);
  // Makes every freed page inaccessible now, checking that none was written
  // after it was freed.
  void Flush();
  uint8_t* Address(int page) const { return base_ + (size_t)page * PAGE_SIZE; }
  // The page a request address lies in, or -1 outside the arena.
  int PageOf(const void* address) const;

  // The record of the request on each page: live, or the last one freed there.
  std::shared_ptr<IrpRecord>& Owner(int page) { return owners_[page]; }
  IrpRecord* Current(int page) const { return current_[page].load(std::memory_order_acquire); }
  void SetCurrent(int page, IrpRecord* record) { current_[page].store(record, std::memory_order_release); }
  size_t SystemCalls() const { return systemCalls_; }

 private:
  enum class Page : uint8_t { Closed, Ready, Live, Staged };
  void Protect(size_t first, size_t count, bool accessible);

  uint8_t* base_ = nullptr;
  std::vector<Page> state_;
  std::vector<uint16_t> used_;  // words of each page the request used, poisoned when freed
  std::vector<std::shared_ptr<IrpRecord>> owners_;
  std::unique_ptr<std::atomic<IrpRecord*>[]> current_;
  std::vector<int> staged_;
  size_t cursor_ = 0;
  size_t freed_ = 0;
  size_t systemCalls_ = 0;
};

class Irps {
 public:
  PIRP Allocate(CCHAR stackSize, IrpKind kind, bool injectable);
  IrpRecord* Find(PIRP irp);                  // live requests only; world lock held
  std::shared_ptr<IrpRecord> Lookup(PIRP irp);  // live or recently freed; world lock held
  // The live record without the world lock, for the calls a driver makes on
  // every step of a request; stops the test for a freed request or a
  // pointer that is not one.
  IrpRecord& Require(PIRP irp, const char* routine);
  void Release(PIRP irp);                     // frees the memory; the record lingers
  // Makes the pages of every freed request inaccessible now.
  void FlushFreed();
  size_t InFlight() const { return inFlight_.load(); }
  std::vector<std::string> Audit() const;
  // A lower driver (the simulated port driver) holding a request queued
  // marks it, so that anyone else passing it down or completing it stops.
  void SetQueued(PIRP irp, bool queued);
  // How often PoStartNextPowerIrp was called for a live request.
  int PowerStarts(PIRP irp) { return Require(irp, "PowerStarts").powerStarts.load(); }
  // System calls made for request memory since the world began.
  size_t SystemCalls() const { return arena_.SystemCalls() + mappings_; }
  // Requests ever allocated, freed or not.
  uint64_t Allocations() const { return serial_; }
  ~Irps();

 private:
  IrpArena arena_;
  std::map<PIRP, std::shared_ptr<IrpRecord>> live_;   // requests with a mapping of their own
  std::deque<std::shared_ptr<IrpRecord>> freed_;
  std::atomic<size_t> inFlight_{0};
  uint64_t serial_ = 0;
  size_t mappings_ = 0;
};

// The kernel stack a thread's nested driver calls use. Nesting is real:
// every completion that runs inside IofCallDriver, and every request sent
// from inside a completion routine, adds frames to the same kernel stack.
// The stand-in charges each frame what it costs on the platform and stops
// the test when a thread passes the platform's kernel stack.
struct KernelStack {
  static constexpr size_t kBytes = 24 * 1024;     // a thread's kernel stack on x64
  static constexpr size_t kEntry = 4 * 1024;      // system-call entry and the I/O manager above the first driver
  static constexpr size_t kCallFrame = 512;       // IofCallDriver and the dispatch routine it calls
  static constexpr size_t kCompletionFrame = 384; // IofCompleteRequest and the completion routine it calls
  // What the calling thread's kernel stack holds now.
  static size_t InUse();
  // The deepest any thread of the current world went.
  static size_t Deepest();
};

// Runs the scope on a kernel stack of its own, as a DPC runs on the
// processor's DPC stack: what the thread had nested before does not count.
class FreshKernelStack {
 public:
  FreshKernelStack();
  ~FreshKernelStack();
  FreshKernelStack(const FreshKernelStack&) = delete;
  FreshKernelStack& operator=(const FreshKernelStack&) = delete;

 private:
  void* saved_;
  int calls_, completions_;
};

// Completes a request as the lowest driver would, leaving IoStatus as set.
void CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// The I/O manager's work at the top of a request, shared by the requests it
// builds for drivers and those of applications: unlock and free the
// request's MDLs; copy Information bytes of buffered output (at most
// OutputLength, with a report when the driver claimed more) to Destination
// unless the request failed.
void ReleaseMdls(PIRP irp);
void CopyBufferedOutput(PIRP irp, const void* systemBuffer, void* destination, ULONG outputLength);

}  // namespace host
