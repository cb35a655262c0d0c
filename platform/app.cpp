// The application side: opens, closes, device controls, reads and writes,
// with the buffering an I/O manager gives each method: buffered copies,
// output buffers probed and locked into MDLs from UserMode, or raw user
// addresses for METHOD_NEITHER.
#include <cstdlib>
#include <cstring>

#include "io_internal.h"
#include "world.h"

namespace host {

namespace {

constexpr CSHORT kFileType = 5;

void* SystemBuffer(World& world, size_t length) {
  return world.pool.Allocate(NonPagedPool, length, kSystemBufferTag, "I/O manager", __builtin_return_address(0), false);
}

// Copies buffered output back into the caller's user buffer.
void CopyBack(World& world, PIRP irp, void* output, ULONG outputLength) {
  // Nothing to copy: a request refused before its system buffer was made
  // (its output may aim anywhere), or an empty output.
  if (output == nullptr || outputLength == 0 || irp->AssociatedIrp.SystemBuffer == nullptr) return;
  CopyBufferedOutput(irp, irp->AssociatedIrp.SystemBuffer, world.user.Backing(output), outputLength);
}

}  // namespace

bool PendingIo::Done() const { return done_.load(std::memory_order_acquire); }

IoResult PendingIo::Wait() {
  World::Current().WaitUntil([this] { return Done(); }, "application request");
  return Result();
}

IoResult PendingIo::Result() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!done_) Violation(rule::kBadArgument, "PendingIo::Result", this, "the request has not completed");
  return result_;
}

std::shared_ptr<PendingIo> App::Issue(const Handle& handle, UCHAR major,
                                      const std::function<NTSTATUS(PIRP, PIO_STACK_LOCATION)>& setup,
                                      const std::function<void(PIRP)>& finish) {
  RequireIrql(PASSIVE_LEVEL, "application request");
  World& world = World::Current();
  auto pending = std::make_shared<PendingIo>();
  PDEVICE_OBJECT top;
  PIRP irp;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    if (handle.file != nullptr && files_.count(handle.file) == 0) {
      Violation(rule::kBadArgument, "application request", handle.file, "not an open handle");
    }
    top = world.objects.Top(handle.device);
    irp = world.irps.Allocate(top->StackSize, IrpKind::Manager, false);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = handle.file;
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = major;
    next->FileObject = handle.file;
    NTSTATUS status = setup ? setup(irp, next) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
      // Refused before any driver saw it, as the system service would.
      if (finish) finish(irp);
      world.irps.Release(irp);
      pending->done_ = true;
      pending->result_ = {status, 0};
      pending->returned_ = status;
      return pending;
    }
    world.irps.Find(irp)->onComplete = [pending, finish](PIRP done) {
      if (finish) finish(done);
      std::lock_guard<std::mutex> lock(pending->mu_);
      pending->result_ = {done->IoStatus.Status, done->IoStatus.Information};
      pending->done_ = true;
    };
  }
  NTSTATUS returned = IofCallDriver(top, irp);
  std::lock_guard<std::mutex> lock(pending->mu_);
  pending->returned_ = returned;
  return pending;
}

NTSTATUS App::Open(std::string_view name, Handle* handle) {
  World& world = World::Current();
  std::u16string kernelName = Utf16(name);
  if (kernelName.rfind(u"\\\\.\\", 0) == 0) kernelName = u"\\??\\" + kernelName.substr(4);
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    device = world.objects.Resolve(kernelName);
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    file = (PFILE_OBJECT)std::calloc(1, sizeof(FILE_OBJECT));
    file->Type = kFileType;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    files_[file] = world.objects.Bottom(device);
  }
  Handle opening{file, device};
  IoResult result = Issue(opening, IRP_MJ_CREATE, {}, {})->Wait();
  if (!NT_SUCCESS(result.status)) {
    std::lock_guard<host::WorldLock> lock(world.mu);
    files_.erase(file);
    std::free(file);
    return result.status;
  }
  *handle = opening;
  return result.status;
}

NTSTATUS App::Close(Handle& handle) {
  World& world = World::Current();
  PDEVICE_OBJECT pdo;
  bool live;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    auto open = files_.find(handle.file);
    if (open == files_.end()) Violation(rule::kBadArgument, "App::Close", handle.file, "not an open handle");
    pdo = open->second;
    live = world.objects.IsLive(handle.device);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (live) {
    Issue(handle, IRP_MJ_CLEANUP, {}, {})->Wait();
    status = Issue(handle, IRP_MJ_CLOSE, {}, {})->Wait().status;
  }
  bool last;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    files_.erase(handle.file);
    std::free(handle.file);
    last = OpenHandles(pdo) == 0;
  }
  handle = Handle{};
  if (last && live) world.pnp.LastHandleClosed(pdo);
  return status;
}

size_t App::OpenHandles(const DEVICE_OBJECT* pdo) const {
  size_t count = 0;
  for (const auto& [file, bottom] : files_) count += bottom == pdo;
  return count;
}

IoResult App::Send(const Handle& handle, UCHAR major) { return Issue(handle, major, {}, {})->Wait(); }

IoResult App::SendToDevice(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
  Handle deviceOnly{nullptr, device};
  return Issue(deviceOnly, major,
               [minor](PIRP irp, PIO_STACK_LOCATION next) {
                 irp->RequestorMode = KernelMode;
                 next->MinorFunction = minor;
                 return STATUS_SUCCESS;
               },
               {})
      ->Wait();
}

std::shared_ptr<PendingIo> App::DeviceIoControlAsync(const Handle& handle, ULONG code, const void* input,
                                                     ULONG inputLength, void* output, ULONG outputLength) {
  World& world = World::Current();
  ULONG method = METHOD_FROM_CTL_CODE(code);
  auto setup = [&world, code, input, inputLength, output, outputLength](PIRP irp, PIO_STACK_LOCATION next) {
    return BufferDeviceControl(world, irp, next, code,
                               {UserMode, input, inputLength, output, outputLength, "I/O manager",
                                __builtin_return_address(0)});
  };
  auto finish = [&world, method, output, outputLength](PIRP irp) {
    if (method == METHOD_BUFFERED) CopyBack(world, irp, output, outputLength);
    ReleaseMdls(irp);
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
      world.pool.Free(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, "I/O manager");
      irp->AssociatedIrp.SystemBuffer = nullptr;
    }
  };
  return Issue(handle, IRP_MJ_DEVICE_CONTROL, setup, finish);
}

IoResult App::DeviceIoControl(const Handle& handle, ULONG code, const void* input, ULONG inputLength, void* output,
                              ULONG outputLength) {
  return DeviceIoControlAsync(handle, code, input, inputLength, output, outputLength)->Wait();
}

std::shared_ptr<PendingIo> App::Transfer(const Handle& handle, UCHAR major, void* buffer, ULONG length,
                                          LONGLONG offset) {
  World& world = World::Current();
  ULONG flags;
  {
    std::lock_guard<host::WorldLock> lock(world.mu);
    flags = world.objects.Top(handle.device)->Flags;
  }
  bool read = major == IRP_MJ_READ;
  auto setup = [&world, flags, read, buffer, length, offset](PIRP irp, PIO_STACK_LOCATION next) {
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset.QuadPart = offset;
    if (length == 0) return STATUS_SUCCESS;
    if (flags & DO_DIRECT_IO) {
      return LockUserBuffer(world, irp, buffer, length, read ? IoWriteAccess : IoReadAccess);
    }
    if (flags & DO_BUFFERED_IO) {
      if (!world.user.Accessible(buffer, length, read ? Access::ReadWrite : Access::Read)) return STATUS_ACCESS_VIOLATION;
      irp->AssociatedIrp.SystemBuffer = SystemBuffer(world, length);
      if (!read) std::memcpy(irp->AssociatedIrp.SystemBuffer, world.user.Backing(buffer), length);
      return STATUS_SUCCESS;
    }
    irp->UserBuffer = buffer;
    return STATUS_SUCCESS;
  };
  auto finish = [&world, read, buffer, length](PIRP irp) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
      if (read) CopyBack(world, irp, buffer, length);
      world.pool.Free(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, "I/O manager");
      irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    ReleaseMdls(irp);
  };
  return Issue(handle, major, setup, finish);
}

std::shared_ptr<PendingIo> App::ReadAsync(const Handle& handle, void* buffer, ULONG length, LONGLONG offset) {
  return Transfer(handle, IRP_MJ_READ, buffer, length, offset);
}

std::shared_ptr<PendingIo> App::WriteAsync(const Handle& handle, const void* buffer, ULONG length, LONGLONG offset) {
  return Transfer(handle, IRP_MJ_WRITE, (void*)buffer, length, offset);
}

IoResult App::Read(const Handle& handle, void* buffer, ULONG length, LONGLONG offset) {
  return ReadAsync(handle, buffer, length, offset)->Wait();
}

IoResult App::Write(const Handle& handle, const void* buffer, ULONG length, LONGLONG offset) {
  return WriteAsync(handle, buffer, length, offset)->Wait();
}

}  // namespace host
