// The application side: handles, and requests an application has in flight.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "host_ddk.h"

namespace host {

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

}  // namespace host
