// Many requests of many handles in flight when a stop or a surprise removal
// arrives: every request ends exactly once, the stop returns only after the
// last, and a device that vanished under them is removed once its handles
// are closed, with nothing left.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "app_fixture.h"

namespace {

constexpr int kHandles = 16;
constexpr int kPerHandle = 16;  // 256 requests in all
constexpr ULONG kLength = 3 * 65536;

class LoadTest : public ThreadedAppTest {
 protected:
  struct InFlight {
    std::shared_ptr<host::PendingIo> io;
    enum class Kind { Read, Write, PassThrough } kind;
    UserCommand command;
  };

  // Reads, writes and pass-throughs of three chunks each, spread over the
  // handles, all sent while the port holds what it is given.
  std::vector<InFlight> SendMany() {
    std::vector<host::Handle*> opens;
    for (int h = 0; h < kHandles; ++h) opens.push_back(&Open());
    std::vector<InFlight> sent;
    for (int i = 0; i < kHandles * kPerHandle; ++i) {
      host::Handle& handle = *opens[i % kHandles];
      void* data = world.user.Alloc(kLength);
      InFlight request;
      switch (i % 3) {
        case 0:
          request.kind = InFlight::Kind::Read;
          request.io = world.app.ReadAsync(handle, data, kLength);
          break;
        case 1:
          request.kind = InFlight::Kind::Write;
          request.io = world.app.WriteAsync(handle, data, kLength);
          break;
        default:
          request.kind = InFlight::Kind::PassThrough;
          request.command = CommandBuilder().Cdb({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).DataIn(kLength).Build(world);
          request.io = world.app.DeviceIoControlAsync(handle, IOCTL_SCSISCAN_CMD, request.command.block,
                                                      sizeof(SCSISCAN_CMD), data, kLength);
          break;
      }
      sent.push_back(std::move(request));
    }
    return sent;
  }
};

TEST_F(LoadTest, AStopWithTwoHundredFiftySixRequestsInFlightReturnsAfterTheLastAndTheDeviceServesAgain) {
  port->HoldThreaded(true);
  std::vector<InFlight> sent = SendMany();
  std::atomic<bool> stopped{false};
  std::thread manager([&] {
    EXPECT_EQ(Pnp(device, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    stopped = true;
  });
  ASSERT_TRUE(world.events.AwaitBlockedWaiters(1)) << "the stop waits for the requests";
  EXPECT_FALSE(stopped);
  port->HoldThreaded(false);
  manager.join();

  int ended = 0;
  for (InFlight& request : sent) {
    host::IoResult result = request.io->Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, kLength);
    if (request.kind == InFlight::Kind::PassThrough) {
      EXPECT_EQ(request.command.Status(), SRB_STATUS_SUCCESS);
    }
    ++ended;
  }
  EXPECT_EQ(ended, kHandles * kPerHandle);
  EXPECT_EQ(port->ExecuteSrbs().size(), size_t(kHandles) * kPerHandle * 3) << "every chunk once, none lost";

  ASSERT_EQ(Start(device), STATUS_SUCCESS);
  void* data = world.user.Alloc(kLength);
  host::IoResult again = world.app.Read(*a, data, kLength);
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(again.information, kLength);
}

TEST_F(LoadTest, AUnitThatVanishesUnderTwoHundredFiftySixRequestsEndsEachOnceAndIsRemovedAfterTheLastClose) {
  port->HoldThreaded(true);
  std::vector<InFlight> sent = SendMany();
  port->Unplug();
  EXPECT_EQ(world.pnp.SurpriseRemove(port->Pdo()), host::Removal::Deferred) << "handles are open";
  port->HoldThreaded(false);

  int failed = 0;
  for (InFlight& request : sent) {
    host::IoResult result = request.io->Wait();
    if (request.kind == InFlight::Kind::PassThrough) {
      // The pass-through answers with the status byte of the SRB that failed.
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(SRB_STATUS(request.command.Status()), SRB_STATUS_SELECTION_TIMEOUT);
      failed += result.information < kLength;
    } else {
      EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
      EXPECT_EQ(result.information, 0u);
      ++failed;
    }
  }
  EXPECT_EQ(failed, kHandles * kPerHandle) << "no request got all its bytes from a vanished unit";
  EXPECT_FALSE(RemovedByPnp(device)) << "removal waits for the handles";

  for (host::Handle& handle : handles) world.app.Close(handle);
  EXPECT_TRUE(RemovedByPnp(device)) << "removed after the last close";
}

}  // namespace
