// The kernel stand-in as tests, tools and the simulations see it. A World is
// one booted kernel: its pool, its user address space, its objects and
// names, its registry and error log, the Plug and Play manager and an
// application side. Exactly one World is current at a time; each test makes a
// fresh one and ends by asking it for leaks and violations (Audit).
//
// The stand-in's state is guarded by World::mu. Driver code is never called
// with that lock held, so driver routines may block and other threads may
// complete their requests meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "host_ddk.h"
#include "verifier.h"

namespace host {

class World;

// Pool tags are written as text, like the platform's multi-character literals.
constexpr ULONG Tag(const char (&text)[5]) {
  return (ULONG)(UCHAR)text[0] | ((ULONG)(UCHAR)text[1] << 8) | ((ULONG)(UCHAR)text[2] << 16) |
         ((ULONG)(UCHAR)text[3] << 24);
}
inline constexpr ULONG kUntaggedPoolTag = Tag("None");  // ExAllocatePool's tag
inline constexpr ULONG kStringPoolTag = Tag("Ustr");    // Rtl string buffers
inline constexpr ULONG kSystemBufferTag = Tag("IoSb");  // the I/O manager's buffered copies
// What an IO_STATUS_BLOCK holds between IoBuildDeviceIoControlRequest and the
// request's completion: a success code no real request ends with.
inline constexpr NTSTATUS kStatusBlockPoison = 0x0000B10C;
// The largest single pool block the stand-in gives, as a real pool runs out.
inline constexpr size_t kLargestPoolBlock = size_t(64) << 20;

std::u16string Utf16(std::string_view text);
std::string Narrow(std::u16string_view text);
std::u16string Upper(std::u16string_view text);
std::u16string FromUnicodeString(const UNICODE_STRING* string);

// ------------------------------------------------------------------ IRQL
// Raises the calling thread to Level for the scope, as the stand-in's own
// workers do before they complete a request.
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL level);
  ~IrqlScope();
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL old_;
};

// Stops the test when the current IRQL is above Max.
void RequireIrql(KIRQL max, const char* routine, const void* object = nullptr);

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

// ------------------------------------------------------------------ fault injection
enum class Fault {
  PoolAllocation,
  IrpAllocation,
  MdlCreation,
  MdlMapping,
  BuildDeviceIoControl,
  StringConversion,
  CreateDevice,
  AttachDevice,
  RegisterInterface,
  SetInterfaceState,
  CreateSymbolicLink,
  OpenRegistryKey,
  SetValueKey,
  ErrorLogEntry,
  CompletionRoutineEx,
};
const char* FaultName(Fault fault);

// One scripted failure: which calls of a site fail, and with what status
// where the call returns one. Reads as a sentence:
//   world.faults.Fail(Fault::PoolAllocation).Tag(Tag("BulK")).Nth(2);
class FaultRule {
 public:
  FaultRule& Nth(int n);             // the nth matching call fails (1-based); default the first
  FaultRule& Times(int n);           // that many matching calls fail, from the nth on
  FaultRule& Always();               // every matching call from the nth on fails
  FaultRule& Tag(ULONG tag);         // only pool allocations with this tag match
  FaultRule& Size(size_t size);      // only requests of exactly this many bytes match
  FaultRule& MinSize(size_t size);   // only requests of at least this many bytes match
  FaultRule& Status(NTSTATUS status);  // the status a failing call returns
  int Fired() const { return fired_; }

 private:
  friend class Faults;
  Fault site_;
  int skip_ = 0;
  int times_ = 1;
  std::optional<ULONG> tag_;
  std::optional<size_t> size_;
  std::optional<size_t> minSize_;
  std::optional<NTSTATUS> status_;
  int matched_ = 0;
  int fired_ = 0;
};

class Faults {
 public:
  FaultRule& Fail(Fault site);
  // Counts the call and tells whether it fails; *status receives the
  // failure status when the rule names one, else the site's default.
  bool Check(Fault site, ULONG tag = 0, size_t size = 0, NTSTATUS* status = nullptr);
  int Calls(Fault site) const;
  void Clear();

  // Every call of a fault site in order, while recording is on: what a
  // sweep of failure points fails one at a time.
  struct Call {
    Fault site;
    ULONG tag;
    size_t size;
  };
  void Record(bool on) { recording_ = on; }
  const std::vector<Call>& Recorded() const { return recorded_; }

 private:
  std::deque<FaultRule> rules_;
  std::map<Fault, int> calls_;
  bool recording_ = false;
  std::vector<Call> recorded_;
};

// ------------------------------------------------------------------ pool
struct PoolBlock {
  POOL_TYPE type;
  ULONG tag;
  size_t size;
  const void* caller;   // return address of the allocating call
  uint64_t serial;
};

class Pool {
 public:
  // The kernel's own allocations (system buffers, string buffers) come
  // through here too, so that what a driver leaves behind shows by tag.
  void* Allocate(POOL_TYPE type, size_t size, ULONG tag, const char* routine, const void* caller,
                 bool injectable);
  void Free(void* block, std::optional<ULONG> tag, const char* routine);
  const PoolBlock* Find(const void* block) const;
  // The live block that holds [address, address + length), if any.
  const PoolBlock* Containing(const void* address, size_t length, const void** start = nullptr) const;
  size_t Count(ULONG tag) const;
  size_t Count() const { return live_.size(); }
  // Blocks ever allocated with the tag, freed or not.
  uint64_t Allocations(ULONG tag) const {
    auto it = allocations_.find(tag);
    return it == allocations_.end() ? 0 : it->second;
  }
  std::vector<std::string> Audit() const;
  ~Pool();

 private:
  std::map<const void*, PoolBlock> live_;
  std::deque<std::pair<void*, size_t>> quarantine_;
  std::set<const void*> quarantined_;
  uint64_t serial_ = 0;
  std::map<ULONG, uint64_t> allocations_;
};

// ------------------------------------------------------------------ user address space
enum class Access : uint8_t { None = 0, Read = 1, ReadWrite = 3 };

// A simulated user address space. User addresses are reserved but never
// accessible from this process, so kernel code that touches one stops with
// a verifier line; the bytes live in a separate backing store, reached by
// the stand-in's I/O manager, by locked-and-mapped MDLs, and by tests
// through Bytes(). Pages are 4096 bytes; allocations are separated by
// inaccessible guard pages.
class UserSpace {
 public:
  explicit UserSpace(size_t bytes);
  ~UserSpace();
  UserSpace(const UserSpace&) = delete;
  UserSpace& operator=(const UserSpace&) = delete;

  // A buffer of Size bytes starting PageOffset bytes into a fresh page.
  void* Alloc(size_t size, Access access = Access::ReadWrite, size_t pageOffset = 0);
  void Protect(const void* address, size_t size, Access access);
  // The caller's view of a user buffer, for filling and checking it.
  std::span<uint8_t> Bytes(const void* address, size_t size);
  template <typename T>
  T* As(const void* address) {
    return reinterpret_cast<T*>(Bytes(address, sizeof(T)).data());
  }

  bool Contains(const void* address, size_t size) const;
  bool Overlaps(const void* address, size_t size) const;
  bool Accessible(const void* address, size_t size, Access access) const;
  // The backing bytes of a user range; the range must be accessible.
  uint8_t* Backing(const void* address) const;
  // Maps the pages of [address, address + size) at a system address of
  // their own and returns the address of the first byte; Unmap gives the
  // view back. The first kViewsUnmappedAtOnce views given back are unmapped
  // at once, so that a late touch through one stops the test. Later ones
  // are retired instead: kept for a later mapping of the same pages (an
  // application that sends the same command block again and again); once
  // more than twice kViewsRetired wait, the oldest kViewsRetired are
  // unmapped together. In that steady state a request that maps and unmaps
  // the same pages makes no system call. Called under the world's lock.
  static constexpr size_t kViewsUnmappedAtOnce = 1024;
  static constexpr size_t kViewsRetired = 64;
  void* MapSystemView(const void* address, size_t size);
  void UnmapSystemView(void* systemAddress, size_t size);
  // System calls made for system views since the world began.
  size_t SystemCalls() const { return systemCalls_; }

  uintptr_t Base() const { return base_; }
  size_t Size() const { return size_; }

 private:
  uintptr_t base_ = 0;
  size_t size_ = 0;
  int fd_ = -1;
  uint8_t* backing_ = nullptr;
  std::vector<Access> pages_;
  size_t nextPage_ = 1;
  struct View {
    uintptr_t firstPage = 0;  // offset into the user space
    size_t length = 0;
    uint8_t* start = nullptr;
  };
  std::map<uintptr_t, View> mapped_;  // by start
  std::deque<View> retired_;
  size_t viewsGivenBack_ = 0;
  size_t systemCalls_ = 0;
};

// ------------------------------------------------------------------ MDLs
struct MdlRecord {
  bool user = false;           // describes user memory
  LOCK_OPERATION operation = IoReadAccess;
  void* view = nullptr;        // system view made by MmMapLockedPages
  size_t viewBytes = 0;
  bool kernelInternal = false; // made by the I/O manager for a request
};

class Mdls {
 public:
  PMDL Create(PVOID base, SIZE_T length, bool internal);
  MdlRecord* Find(PMDL mdl);
  // The record of a live MDL; stops the test for anything else.
  MdlRecord& Require(PMDL mdl, const char* routine);
  void Free(PMDL mdl, const char* routine);
  size_t Count() const { return live_.size(); }
  size_t LockedCount() const;
  // MDLs drivers have made (MmCreateMdl), not the I/O manager's own.
  uint64_t MadeByDrivers() const { return madeByDrivers_.load(); }
  std::vector<std::string> Audit() const;
  // Translates an address inside a locked MDL's range into an address the
  // stand-in (or a simulated port driver) can touch.
  uint8_t* Reach(PMDL mdl, const void* address, size_t length, bool write, const char* who);

 private:
  mutable std::mutex mu_;  // guards the table; taken after World::mu, never before
  std::atomic<uint64_t> madeByDrivers_{0};
  std::map<PMDL, MdlRecord> live_;
};

// ------------------------------------------------------------------ events
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

// ------------------------------------------------------------------ completion holds
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

// ------------------------------------------------------------------ watches
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

// ------------------------------------------------------------------ requests
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

// ------------------------------------------------------------------ objects and names
struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  std::u16string name;
  bool deleted = false;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached above
  bool pdo = false;
  std::u16string instancePath;
};

class Objects {
 public:
  PDRIVER_OBJECT CreateDriver(std::u16string name);
  void DestroyDriver(PDRIVER_OBJECT driver);
  DeviceRecord* Device(const DEVICE_OBJECT* device);  // live devices only
  bool IsLive(const DEVICE_OBJECT* device);
  PDEVICE_OBJECT Top(PDEVICE_OBJECT device);
  // The device at the bottom of the stack Device is in (its PDO).
  PDEVICE_OBJECT Bottom(PDEVICE_OBJECT device);
  // Resolves a kernel object name through symbolic links to a device.
  PDEVICE_OBJECT Resolve(std::u16string_view name);
  std::optional<std::u16string> LinkTarget(std::u16string_view link);
  std::vector<PDEVICE_OBJECT> LiveDevices() const;
  std::vector<std::string> Audit() const;
  ~Objects();

  // State, guarded by World::mu.
  std::map<const DEVICE_OBJECT*, DeviceRecord> devices_;
  std::vector<void*> deletedMemory_;  // kept until the world ends: late references stay readable
  std::map<std::u16string, PDEVICE_OBJECT> names_;  // upper-cased name -> device
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> links_;  // upper -> (link, target)
  std::map<PDRIVER_OBJECT, std::u16string> drivers_;
};

// The default dispatch entry of every major function a driver leaves unset.
NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

struct InterfaceRecord {
  std::u16string name;
  PDEVICE_OBJECT pdo = nullptr;
  GUID guid{};
  bool enabled = false;
  int enables = 0;
  int disables = 0;
};

class Interfaces {
 public:
  const InterfaceRecord* Find(std::u16string_view name) const;
  std::vector<InterfaceRecord> For(const DEVICE_OBJECT* pdo) const;

  std::map<std::u16string, InterfaceRecord> interfaces_;  // upper-cased name
};

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  std::u16string Text() const;  // REG_SZ data as text
};

class Registry {
 public:
  const RegistryValue* Value(const DEVICE_OBJECT* pdo, ULONG keyType, std::u16string_view name) const;
  int Writes(const DEVICE_OBJECT* pdo, ULONG keyType, std::u16string_view name) const;
  size_t OpenHandles() const { return open_.size(); }
  std::vector<std::string> Audit() const;

  struct Key {
    std::map<std::u16string, RegistryValue> values;
    std::map<std::u16string, int> writes;
  };
  std::map<std::pair<const DEVICE_OBJECT*, ULONG>, Key> keys_;
  std::map<HANDLE, std::pair<const DEVICE_OBJECT*, ULONG>> open_;
  uintptr_t nextHandle_ = 0x80000004;
};

struct ErrorLogEntry {
  const void* ioObject = nullptr;
  std::vector<uint8_t> bytes;  // the whole entry as the driver wrote it
  IO_ERROR_LOG_PACKET Packet() const;
  std::vector<ULONG> DumpData() const;  // DumpDataSize / 4 words
};

class ErrorLog {
 public:
  const std::vector<ErrorLogEntry>& Entries() const { return written_; }
  std::vector<std::string> Audit() const;
  ~ErrorLog();

  std::map<void*, std::pair<const void*, size_t>> allocated_;
  std::vector<ErrorLogEntry> written_;
};

// ------------------------------------------------------------------ Plug and Play and power manager
struct PnpResult {
  NTSTATUS status = 0;        // IoStatus.Status at completion
  ULONG_PTR information = 0;  // IoStatus.Information at completion
  NTSTATUS returned = 0;      // what the top driver's dispatch routine returned
  // IRP_MN_QUERY_CAPABILITIES: the record the manager sent, as it came back.
  std::optional<DEVICE_CAPABILITIES> capabilities;
};

// How a removal the manager was asked for went.
enum class Removal {
  Removed,          // query-remove succeeded, IRP_MN_REMOVE_DEVICE sent
  Vetoed,           // a driver failed the query-remove; it was cancelled
  OutstandingOpen,  // handles are open: the query-remove was cancelled
  Deferred,         // surprise removal: IRP_MN_REMOVE_DEVICE follows the last close
};

class PnpManager {
 public:
  // A bus driver reports a PDO it created; the manager gives it registry keys.
  void ReportPdo(PDEVICE_OBJECT pdo, std::u16string instancePath);
  NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
  // Sends one request of the kind to the top of the PDO's stack, at
  // PASSIVE_LEVEL, with IoStatus preset to STATUS_NOT_SUPPORTED, and waits
  // for it; Setup may fill the stack location's parameters.
  // IRP_MN_QUERY_CAPABILITIES carries a record initialised as the manager
  // initialises it (Size, Version 1, Address and UINumber 0xFFFFFFFF, the
  // rest 0) unless Setup puts another there. IRP_MN_REMOVE_DEVICE with
  // handles of the device open stops the test: the manager never sends it
  // then (ForceRemove does, for a test that means it).
  PnpResult Send(PDEVICE_OBJECT pdo, UCHAR minor,
                 const std::function<void(IO_STACK_LOCATION&)>& setup = {});
  PnpResult SendSystemControl(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS preset = STATUS_NOT_SUPPORTED);
  PnpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

  // A removal as the manager carries it out: IRP_MN_QUERY_REMOVE_DEVICE;
  // if a driver fails it, or a handle of the device is open (the
  // "outstanding open" veto), IRP_MN_CANCEL_REMOVE_DEVICE; else
  // IRP_MN_REMOVE_DEVICE.
  Removal Remove(PDEVICE_OBJECT pdo);
  // The device is gone: IRP_MN_SURPRISE_REMOVAL now, IRP_MN_REMOVE_DEVICE
  // when its last handle is closed (at once when none is open). Closes sent
  // in between still reach the drivers.
  Removal SurpriseRemove(PDEVICE_OBJECT pdo);
  // IRP_MN_REMOVE_DEVICE whatever is open, for a test that says so.
  PnpResult ForceRemove(PDEVICE_OBJECT pdo);
  bool SurpriseRemoved(const DEVICE_OBJECT* pdo) const;
  bool Removed(const DEVICE_OBJECT* pdo) const;
  // The application side tells the manager when a device's last handle closed.
  void LastHandleClosed(PDEVICE_OBJECT pdo);

 private:
  struct DeviceState {
    bool surpriseRemoved = false;
    bool removed = false;
  };
  PnpResult Issue(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, NTSTATUS preset,
                  const std::function<void(IO_STACK_LOCATION&)>& setup, bool forced = false);
  std::map<const DEVICE_OBJECT*, DeviceState> states_;  // guarded by World::mu
};

// ------------------------------------------------------------------ application side
struct IoResult {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
};

// One request an application has in flight.
class PendingIo {
 public:
  bool Done() const;
  // Waits for completion, driving simulated completions when the world has
  // a driver for them.
  IoResult Wait();
  // The result; the request must be done.
  IoResult Result() const;
  NTSTATUS Returned() const { return returned_; }  // what the top dispatch routine returned

 private:
  friend class App;
  mutable std::mutex mu_;
  std::atomic<bool> done_{false};  // set last, after the result; read without the lock by waiters
  IoResult result_;
  NTSTATUS returned_ = 0;
};

struct Handle {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;  // the device the name resolved to
};

class App {
 public:
  // Opens a device by the name an application would use ("\\.\Name" or a
  // kernel name); on success *handle holds one open.
  NTSTATUS Open(std::string_view name, Handle* handle);
  // Cleanup, then close. A handle whose device was removed while it was
  // open (only a forced removal does that) is closed without requests.
  NTSTATUS Close(Handle& handle);

  std::shared_ptr<PendingIo> DeviceIoControlAsync(const Handle& handle, ULONG code, const void* input,
                                                  ULONG inputLength, void* output, ULONG outputLength);
  IoResult DeviceIoControl(const Handle& handle, ULONG code, const void* input, ULONG inputLength,
                           void* output, ULONG outputLength);
  std::shared_ptr<PendingIo> ReadAsync(const Handle& handle, void* buffer, ULONG length, LONGLONG offset = 0);
  std::shared_ptr<PendingIo> WriteAsync(const Handle& handle, const void* buffer, ULONG length,
                                        LONGLONG offset = 0);
  IoResult Read(const Handle& handle, void* buffer, ULONG length, LONGLONG offset = 0);
  IoResult Write(const Handle& handle, const void* buffer, ULONG length, LONGLONG offset = 0);
  // Sends a request of any major function (cleanup, flush, ...) on the handle.
  IoResult Send(const Handle& handle, UCHAR major);
  // Sends a request with no file object to the top of a device's stack, as
  // a kernel component would.
  IoResult SendToDevice(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0);
  size_t OpenFiles() const { return files_.size(); }
  // Handles open on any device of the PDO's stack.
  size_t OpenHandles(const DEVICE_OBJECT* pdo) const;

 private:
  std::shared_ptr<PendingIo> Transfer(const Handle& handle, UCHAR major, void* buffer, ULONG length, LONGLONG offset);
  std::shared_ptr<PendingIo> Issue(const Handle& handle, UCHAR major,
                                   const std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)>& setup,
                                   const std::function<void(PIRP)>& finish);
  std::map<PFILE_OBJECT, PDEVICE_OBJECT> files_;  // open file -> the PDO at the bottom of its stack
};

// ------------------------------------------------------------------ the world
// The world's lock: recursive, and it counts how often each thread takes it
// afresh (not counting a thread taking it again while it holds it), so that
// tests can hold the paths a request takes on every chunk to their budget.
class WorldLock {
 public:
  void lock() {
    mu_.lock();
    if (depth_++ == 0) ++taken_;
  }
  bool try_lock() {
    if (!mu_.try_lock()) return false;
    if (depth_++ == 0) ++taken_;
    return true;
  }
  void unlock() {
    --depth_;
    mu_.unlock();
  }
  // Times the calling thread has taken the lock afresh, in any world.
  static uint64_t TakenByThisThread() { return taken_; }

 private:
  std::recursive_mutex mu_;
  static inline thread_local int depth_ = 0;
  static inline thread_local uint64_t taken_ = 0;
};

class World {
 public:
  struct Options {
    size_t userSpaceBytes = size_t(256) << 20;
    int waitLimitSeconds = 60;  // a wait longer than this stops the test
  };
  World();
  explicit World(Options options);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  static World& Current();
  static World* CurrentOrNull();

  // Loads a driver: creates its driver object, runs its entry at
  // PASSIVE_LEVEL. FreshImage gives the driver image its initial
  // driver-wide variables, as loading the image anew does.
  PDRIVER_OBJECT LoadDriver(std::string_view name, PDRIVER_INITIALIZE entry, std::string_view registryPath,
                            NTSTATUS* status = nullptr, bool freshImage = false);
  // Calls the driver's unload routine; the driver must have no devices left.
  void UnloadDriver(PDRIVER_OBJECT driver);

  // Single-threaded tests register the simulated port driver's pump here;
  // waits with nothing else to wait for drive it, one completion at a time.
  void SetDriver(std::function<bool()> drive) { drive_ = std::move(drive); }
  bool Drive();
  // Blocks until Done holds, driving completions meanwhile; stops the test
  // after the wait limit.
  void WaitUntil(const std::function<bool()>& done, const char* what);
  void NotifyProgress();

  // What is left: pool by tag and size, MDLs, requests in flight, device
  // objects, links, open registry keys, error-log entries, open files and
  // reports not taken. Empty when the world is clean.
  std::vector<std::string> Audit();
  std::vector<std::string> TakeReports();

  Options options;
  WorldLock mu;
  Faults faults;
  Pool pool;
  UserSpace user;
  Mdls mdls;
  Events events;
  Irps irps;
  Objects objects;
  Interfaces interfaces;
  Registry registry;
  ErrorLog errorLog;
  PnpManager pnp;
  App app;
  Watches watches;
  // Completion routines set with IoSetCompletionRoutineEx that have not yet
  // returned, by driver: each holds its driver loaded.
  std::map<PDRIVER_OBJECT, int> completionHolds;
  std::vector<std::string> reports;
  std::atomic<size_t> deepestKernelStack{0};  // see KernelStack

 private:
  std::function<bool()> drive_;
  PDRIVER_OBJECT imageDriver_ = nullptr;  // the loaded driver image, if any
  // Each DriverEntry's registry path, kept for this world's lifetime only: a
  // process that boots millions of worlds must not keep one per load.
  std::vector<std::unique_ptr<std::u16string>> registryPaths_;
  std::mutex progressMu_;
  std::condition_variable progressCv_;
  std::atomic<uint64_t> progress_{0};  // changed under progressMu_, read by waiters without it
};

}  // namespace host
