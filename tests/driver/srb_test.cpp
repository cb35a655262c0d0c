// Chunks sent as SRBs in the request's own IRP, first sends and retries,
// and the release of a frozen device queue, through the simulated port.
#include <atomic>
#include <thread>

#include "transport_fixture.h"

using sim::Completion;
using sim::ScsiOutcome;

namespace {

// A request as a dispatch routine has it: an IRP with the driver's stack
// size, its context, and a completion routine that hands the IRP back to
// the test (a transfer's completion would send the next chunk from there).
struct Request {
  PIRP irp = nullptr;
  PTRANSFER_CONTEXT context = nullptr;
  std::atomic<int> completions{0};
  KIRQL irql = PASSIVE_LEVEL;
};

NTSTATUS BackToTheTest(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* request = (Request*)context;
  request->irql = KeGetCurrentIrql();
  ++request->completions;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

class IssueSrbTest : public TransportTest {
 protected:
  void Clean() override {
    port->PumpAll();
    for (Request& request : requests) {
      if (request.irp != nullptr) {
        request.irp->MdlAddress = nullptr;  // the fixture frees the MDLs
        IoFreeIrp(request.irp);
      }
      if (request.context != nullptr) ExFreePool(request.context);
    }
    TransportTest::Clean();
  }
  Request& NewRequest(SCSISCAN_CMD* cmd, PMDL mdl) {
    Request& request = requests.emplace_back();
    request.irp = IoAllocateIrp(device->StackSize, FALSE);
    request.irp->MdlAddress = mdl;  // the data reach the port through the request's MDL
    request.context = BuildTransferContext(extension, cmd, sizeof(*cmd), mdl);
    EXPECT_NE(request.context, nullptr);
    return request;
  }
  // Sends the context's chunk and completes it; the SRB as the port got it.
  SCSI_REQUEST_BLOCK Send(Request& request, BOOLEAN retry) {
    IoSetCompletionRoutine(request.irp, BackToTheTest, &request, TRUE, TRUE, TRUE);
    EXPECT_EQ(IssueSrb(device, request.irp, request.context, retry), STATUS_PENDING);
    SCSI_REQUEST_BLOCK arrived = port->Srbs().back().srb;
    port->PumpAll();
    return arrived;
  }

  std::deque<Request> requests;
};

TEST_F(IssueSrbTest, AFirstSendFillsEveryFieldFromTheBlockTheDeviceAndTheContext) {
  SCSISCAN_CMD cmd = Command(3 * 4096);
  cmd.SrbFlags |= SRB_FLAGS_QUEUE_ACTION_ENABLE;
  cmd.CdbLength = 6;
  std::memset(cmd.Cdb, 0xEE, sizeof(cmd.Cdb));  // bytes past CdbLength must not go down
  cmd.Cdb[0] = 0x08;
  Request& request = NewRequest(&cmd, DataMdl(3 * 4096, 0, true));
  SCSI_REQUEST_BLOCK srb = Send(request, FALSE);

  EXPECT_EQ(srb.Length, sizeof(SCSI_REQUEST_BLOCK));
  EXPECT_EQ(srb.Function, SRB_FUNCTION_EXECUTE_SCSI);
  EXPECT_EQ(srb.SrbStatus, SRB_STATUS_PENDING);
  EXPECT_EQ(srb.ScsiStatus, 0);
  EXPECT_EQ(srb.PathId | srb.TargetId | srb.Lun, 0);
  EXPECT_EQ(srb.QueueTag, 0) << "not written on a first send";
  EXPECT_EQ(srb.QueueAction, SRB_SIMPLE_TAG_REQUEST);
  EXPECT_EQ(srb.CdbLength, 6);
  EXPECT_EQ(srb.SenseInfoBufferLength, sizeof(sense));
  EXPECT_EQ(srb.SrbFlags, (ULONG)(SRB_FLAGS_DATA_IN | SRB_FLAGS_QUEUE_ACTION_ENABLE | SRB_FLAGS_DISABLE_SYNCH_TRANSFER));
  EXPECT_EQ(srb.DataTransferLength, 3 * 4096u);
  EXPECT_EQ(srb.TimeOutValue, 60u);
  EXPECT_EQ((ULONG_PTR)srb.DataBuffer, request.context->DataPointer);
  EXPECT_EQ(srb.SenseInfoBuffer, sense);
  EXPECT_EQ(srb.NextSrb, nullptr);
  EXPECT_EQ(srb.OriginalRequest, request.irp);
  EXPECT_EQ(srb.SrbExtension, nullptr);
  EXPECT_EQ(srb.QueueSortKey, 0u);
  EXPECT_EQ(srb.Reserved, 0u);
  EXPECT_EQ(srb.Cdb[0], 0x08);
  EXPECT_EQ(srb.Cdb[5], 0xEE);
  for (int i = 6; i < 16; ++i) EXPECT_EQ(srb.Cdb[i], 0) << "CDB byte " << i;
  EXPECT_EQ(request.completions, 1);
  EXPECT_EQ(request.irql, DISPATCH_LEVEL);
}

TEST_F(IssueSrbTest, ARetryGoesUntaggedWithoutQueueActionAndALaterSendTakesTheFlagsAfresh) {
  SCSISCAN_CMD cmd = Command(4096);
  cmd.SrbFlags |= SRB_FLAGS_QUEUE_ACTION_ENABLE;
  Request& request = NewRequest(&cmd, DataMdl(4096, 0, true));
  extension->SrbFlags = SRB_FLAGS_DISABLE_SYNCH_TRANSFER;

  SCSI_REQUEST_BLOCK first = Send(request, FALSE);
  EXPECT_EQ(first.SrbFlags, (ULONG)(SRB_FLAGS_DATA_IN | 0x0A));
  SCSI_REQUEST_BLOCK retry = Send(request, TRUE);
  EXPECT_EQ(retry.QueueTag, SP_UNTAGGED);
  EXPECT_EQ(retry.SrbFlags, (ULONG)(SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_SYNCH_TRANSFER));
  EXPECT_EQ(retry.SrbStatus, SRB_STATUS_PENDING) << "what the port wrote on the last send is written over";
  EXPECT_EQ(retry.DataTransferLength, 4096u);
  SCSI_REQUEST_BLOCK later = Send(request, FALSE);
  EXPECT_EQ(later.SrbFlags, (ULONG)(SRB_FLAGS_DATA_IN | 0x0A)) << "the flags are worked out for every send";
  EXPECT_EQ(later.QueueTag, SP_UNTAGGED) << "the tag stays as the retry left it";
}

TEST_F(IssueSrbTest, EachSendTakesTheTimeoutTheDeviceHasThen) {
  SCSISCAN_CMD cmd = Command(4096);
  Request& request = NewRequest(&cmd, DataMdl(4096, 0, true));
  EXPECT_EQ(Send(request, FALSE).TimeOutValue, 60u);
  InterlockedExchange(&extension->TimeOutValue, 120);
  EXPECT_EQ(Send(request, FALSE).TimeOutValue, 120u);
  InterlockedExchange(&extension->TimeOutValue, 0);
  EXPECT_EQ(Send(request, TRUE).TimeOutValue, 0u);
}

// ---------------------------------------------------------------- releasing a frozen queue

class ReleaseTest : public IssueSrbTest {
 protected:
  // Freezes the unit's queue with a chunk that fails.
  void Freeze() {
    SCSISCAN_CMD& cmd = commands.emplace_back(Command(4096));
    Request& request = NewRequest(&cmd, DataMdl(4096, 0, true));
    port->Script().Then(ScsiOutcome::CheckCondition(0x4));
    Send(request, FALSE);
    ASSERT_TRUE(port->Frozen());
  }
  std::deque<SCSISCAN_CMD> commands;
};

TEST_F(ReleaseTest, ARequestFromPassiveLevelGoesDownAtDispatchLevelInAnIrpOfTheDriversOwn) {
  Freeze();
  ReleaseDeviceQueue(device);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the level is restored";
  ASSERT_EQ(port->Releases(), 1);
  sim::SentSrb sent = port->Srbs().back();
  EXPECT_EQ(sent.irql, DISPATCH_LEVEL);
  EXPECT_EQ(sent.srb.Length, sizeof(SCSI_REQUEST_BLOCK));
  EXPECT_EQ(sent.srb.Function, SRB_FUNCTION_RELEASE_QUEUE);
  EXPECT_EQ(sent.srb.OriginalRequest, sent.irp);
  EXPECT_EQ(sent.srb.CdbLength | sent.srb.SrbFlags | sent.srb.DataTransferLength | sent.srb.TimeOutValue, 0u);
  EXPECT_EQ(sent.srb.DataBuffer, nullptr);
  EXPECT_EQ(sent.srb.SenseInfoBuffer, nullptr);

  // Still held by the pumped port: its IRP and block can be looked at.
  PIRP irp = sent.irp;
  EXPECT_EQ(irp->StackCount, device->StackSize);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  EXPECT_EQ(location->MajorFunction, IRP_MJ_SCSI);
  EXPECT_EQ(location->Control & 0xE0, 0xE0);
  // Set through IoSetCompletionRoutineEx, which holds the driver until the
  // routine has returned.
  ASSERT_EQ(location->CompletionRoutine, host::UnloadSafeCompletion);
  auto* hold = (host::SafeCompletion*)location->Context;
  EXPECT_EQ(hold->routine, ReleaseQueueCompletion);
  EXPECT_EQ(hold->driver, device->DriverObject);
  EXPECT_EQ(world.completionHolds[device->DriverObject], 1);
  auto* block = (PRELEASE_QUEUE_CONTEXT)hold->context;
  EXPECT_EQ(block->Signature, RELEASE_QUEUE_SIGNATURE);
  EXPECT_EQ(std::memcmp(&block->Signature, "Comp", 4), 0);
  EXPECT_EQ(block->DeviceObject, device);
  EXPECT_EQ(&block->Srb, location->Parameters.Scsi.Srb);
  const host::PoolBlock* pool = world.pool.Find(block);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->tag, STILLSCSI_POOL_TAG);
  EXPECT_EQ(pool->type, NonPagedPoolNx) << "nonpaged pool, not executable";

  port->PumpAll();
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(world.pool.Count(STILLSCSI_POOL_TAG), 1u) << "only the adapter descriptor: the block went with its IRP";
  EXPECT_EQ(world.completionHolds.count(device->DriverObject), 0u) << "the driver is let go";
}

TEST_F(ReleaseTest, WithoutTheHoldOnTheDriverTheReleaseIsOwedAndNothingIsLeft) {
  Freeze();
  world.faults.Fail(host::Fault::CompletionRoutineEx);
  LONG counted = extension->PendingIoCount;
  EXPECT_FALSE(ReleaseDeviceQueue(device));
  EXPECT_EQ(extension->ReleaseOwed, 1);
  EXPECT_EQ(port->Releases(), 0);
  EXPECT_EQ(extension->PendingIoCount, counted) << "nothing counted for a release never sent";
  EXPECT_EQ(world.pool.Count(STILLSCSI_POOL_TAG), 1u) << "the block is given back";
  EXPECT_TRUE(SendOwedRelease(device));
  port->PumpAll();
  EXPECT_FALSE(port->Frozen());
}

TEST_F(ReleaseTest, ARequestAtDispatchLevelGoesDownDirectlyAndAnImmediateAnswerFreesAllToo) {
  Freeze();
  port->ScriptScsiCompletion({Completion::Immediate});
  {
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    ReleaseDeviceQueue(device);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  }
  EXPECT_EQ(port->Srbs().back().irql, DISPATCH_LEVEL);
  EXPECT_FALSE(port->Frozen());
  EXPECT_EQ(world.pool.Count(STILLSCSI_POOL_TAG), 1u);
}

TEST_F(ReleaseTest, WithoutPoolOrAnIrpNothingIsSentNothingLeftAndTheReleaseIsOwed) {
  Freeze();
  world.faults.Fail(host::Fault::PoolAllocation).Tag(STILLSCSI_POOL_TAG);
  EXPECT_FALSE(ReleaseDeviceQueue(device));
  EXPECT_EQ(extension->ReleaseOwed, 1);
  world.faults.Fail(host::Fault::IrpAllocation);
  EXPECT_FALSE(SendOwedRelease(device));
  EXPECT_EQ(extension->ReleaseOwed, 1) << "still owed";
  EXPECT_EQ(port->Releases(), 0);
  EXPECT_TRUE(port->Frozen()) << "the queue stays frozen until a later release";
  EXPECT_EQ(world.pool.Count(STILLSCSI_POOL_TAG), 1u);
  EXPECT_TRUE(SendOwedRelease(device));
  EXPECT_EQ(extension->ReleaseOwed, 0);
  port->PumpAll();
  EXPECT_FALSE(port->Frozen());
  EXPECT_TRUE(SendOwedRelease(device)) << "nothing owed, nothing sent";
  EXPECT_EQ(port->Releases(), 1);
}

// ---------------------------------------------------------------- failures interpreted on two processors

// Requests of one device fail on two completion threads at once; each
// completion interprets its failure and sends the chunk again until it has
// failed a number of times. No count is lost.
struct Failing {
  PDEVICE_OBJECT device;
  PTRANSFER_CONTEXT context;
  PIRP irp;
  int failures = 0;
  std::atomic<bool> done{false};
};

NTSTATUS Interpret(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* failing = (Failing*)context;
  NTSTATUS status;
  InterpretSenseInfo(failing->device, &failing->context->Srb, IRP_MJ_SCSI, 0, &status);
  if (++failing->failures < 50) {
    IoSetCompletionRoutine(irp, Interpret, failing, TRUE, TRUE, FALSE);
    IssueSrb(failing->device, irp, failing->context, TRUE);
  } else {
    failing->done = true;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class ConcurrentFailureTest : public TransportTest {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = Completion::Threaded;
    config.completionThreads = 2;
    return config;
  }
};

TEST_F(ConcurrentFailureTest, CountsAndLogsEveryFailureOfRequestsCompletingAtOnce) {
  constexpr int kRequests = 8;
  // Parity errors count; busy ones are logged. Neither freezes the queue.
  for (int i = 0; i < kRequests * 25; ++i) {
    port->Script().Then(ScsiOutcome::Failed(SRB_STATUS_PARITY_ERROR)).Then(ScsiOutcome::Failed(SRB_STATUS_BUSY));
  }
  std::deque<SCSISCAN_CMD> commands;
  std::deque<Failing> failing;
  for (int i = 0; i < kRequests; ++i) {
    SCSISCAN_CMD& cmd = commands.emplace_back(Command(0));
    cmd.SrbFlags = SRB_FLAGS_NO_QUEUE_FREEZE;
    cmd.SenseLength = 0;
    cmd.pSenseBuffer = nullptr;
    Failing& f = failing.emplace_back();
    f.device = device;
    f.context = BuildTransferContext(extension, &cmd, sizeof(cmd), nullptr);
    f.irp = IoAllocateIrp(device->StackSize, FALSE);
  }
  for (Failing& f : failing) {
    IoSetCompletionRoutine(f.irp, Interpret, &f, TRUE, TRUE, FALSE);
    IssueSrb(device, f.irp, f.context, FALSE);
  }
  for (Failing& f : failing) world.WaitUntil([&] { return f.done.load(); }, "failing requests");
  EXPECT_EQ(extension->ErrorCount, (ULONG)kRequests * 25);
  EXPECT_EQ(world.errorLog.Entries().size(), (size_t)kRequests * 25);
  EXPECT_EQ(extension->SrbFlags & 0x10A, (ULONG)SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
  for (Failing& f : failing) {
    IoFreeIrp(f.irp);
    ExFreePool(f.context);
  }
}
