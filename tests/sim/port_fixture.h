// A simulated port driver with two units, and requests sent to it as a class
// driver and a kernel component send them, for the port's own tests.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <thread>

#include "fixture.h"

class PortTest : public WorldTest {
 protected:
  static constexpr UCHAR kRead = 0x08, kWrite = 0x0A, kTestUnitReady = 0x00;

  // One SRB as a class driver sends it, and what came back.
  struct SrbIo {
    SCSI_REQUEST_BLOCK srb{};
    UCHAR sense[32]{};
    NTSTATUS returned = -1;
    std::atomic<bool> done{false};
    IO_STATUS_BLOCK status{};
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
  };

  // What Send sends. With a buffer, the MDL covers its first Offset + Length
  // bytes and DataBuffer points Offset bytes in.
  struct SrbToSend {
    UCHAR opcode = kTestUnitReady;
    ULONG flags = 0;
    void* buffer = nullptr;
    ULONG length = 0;
    ULONG offset = 0;
    int unit = 0;
    UCHAR function = SRB_FUNCTION_EXECUTE_SCSI;
  };

  // What Control sends; Returned, when given, receives what IoCallDriver
  // returned.
  struct ControlToSend {
    ULONG code = 0;
    void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    int unit = 0;
    NTSTATUS* returned = nullptr;
  };

  void SetUp() override { port = std::make_unique<sim::PortDriver>(world, Config(), 2); }
  virtual sim::PortConfig Config() { return {}; }

  // Sends an SRB in an IRP from IoAllocateIrp.
  SrbIo& Send(const SrbToSend& what) {
    SrbIo& io = ios.emplace_back();
    PIRP irp = IoAllocateIrp(port->Pdo(what.unit)->StackSize, FALSE);
    if (what.buffer != nullptr) {
      irp->MdlAddress = MmCreateMdl(nullptr, what.buffer, what.offset + what.length);
      MmProbeAndLockPages(irp->MdlAddress, UserMode, (what.flags & SRB_FLAGS_DATA_IN) ? IoWriteAccess : IoReadAccess);
    }
    SCSI_REQUEST_BLOCK& srb = io.srb;
    srb.Length = sizeof(srb);
    srb.Function = what.function;
    srb.SrbFlags = what.flags;
    srb.DataTransferLength = what.length;
    srb.DataBuffer = what.buffer ? (UCHAR*)MmGetMdlVirtualAddress(irp->MdlAddress) + what.offset : nullptr;
    srb.SenseInfoBuffer = io.sense;
    srb.SenseInfoBufferLength = senseLength;
    srb.OriginalRequest = irp;
    srb.TimeOutValue = 10;
    srb.CdbLength = 6;
    srb.Cdb[0] = what.opcode;
    srb.Cdb[4] = (UCHAR)(what.length / 256);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = &srb;
    IoSetCompletionRoutine(irp, SrbDone, &io, TRUE, TRUE, TRUE);
    io.returned = IoCallDriver(port->Pdo(what.unit), irp);
    return io;
  }
  SrbIo& Release(int unit = 0) { return Send({.unit = unit, .function = SRB_FUNCTION_RELEASE_QUEUE}); }

  // A device control from a kernel component; pending answers are pumped.
  IO_STATUS_BLOCK Control(const ControlToSend& what) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(what.code, port->Pdo(what.unit), what.input, what.inputLength, what.output,
                                             what.outputLength, FALSE, &event, &iosb);
    NTSTATUS status = IoCallDriver(port->Pdo(what.unit), irp);
    if (what.returned != nullptr) *what.returned = status;
    if (status == STATUS_PENDING) {
      port->PumpAll();
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    } else {
      iosb.Status = status;
    }
    return iosb;
  }

  void Clean() override {
    port->HoldThreaded(false);
    for (SrbIo& io : ios) world.WaitUntil([&] { return io.done.load(); }, "an SRB of the test");
    port.reset();
  }

  std::unique_ptr<sim::PortDriver> port;
  std::deque<SrbIo> ios;
  UCHAR senseLength = sizeof(SrbIo::sense);  // SenseInfoBufferLength of the SRBs sent

 private:
  static NTSTATUS SrbDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* io = (SrbIo*)context;
    io->status = irp->IoStatus;
    io->irql = KeGetCurrentIrql();
    io->thread = std::this_thread::get_id();
    if (irp->MdlAddress != nullptr) {
      MmUnlockPages(irp->MdlAddress);
      IoFreeMdl(irp->MdlAddress);
    }
    IoFreeIrp(irp);
    io->done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};
