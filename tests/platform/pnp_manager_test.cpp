// The Plug and Play manager as the platform's sends its requests: the
// capabilities record it fills in, removal refused while handles are open,
// and the removal that follows a surprise removal only after the last close.
#include "toy_drivers.h"

using host::Removal;
using ::testing::ElementsAre;

namespace {

// A function driver's device that passes every Plug and Play request down
// and takes itself apart on IRP_MN_REMOVE_DEVICE; it records the minor codes
// and the other requests it sees.
struct ToyFunction {
  std::vector<UCHAR> pnp;
  std::vector<UCHAR> majors;
  DEVICE_CAPABILITIES capabilitiesSeen{};
  NTSTATUS queryRemoveAnswer = STATUS_SUCCESS;
  PDEVICE_OBJECT lower = nullptr;

  ToyRoutine Routine() {
    return [this](PDEVICE_OBJECT device, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      if (location->MajorFunction != IRP_MJ_PNP) {
        majors.push_back(location->MajorFunction);
        host::CompleteRequest(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
      }
      pnp.push_back(location->MinorFunction);
      if (location->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && !NT_SUCCESS(queryRemoveAnswer)) {
        host::CompleteRequest(irp, queryRemoveAnswer, 0);
        return queryRemoveAnswer;
      }
      if (location->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        capabilitiesSeen = *location->Parameters.DeviceCapabilities.Capabilities;
        location->Parameters.DeviceCapabilities.Capabilities->D1Latency = 10;
      }
      if (location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        PDEVICE_OBJECT below = lower;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(below, irp);
        IoDetachDevice(below);
        IoDeleteDevice(device);
        return status;
      }
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    };
  }
};

}  // namespace

class PnpManagerTest : public KernelTest {
 protected:
  void SetUp() override {
    pdo = Pdo();
    fdo = Toy(function.Routine(), pdo, u"\\Device\\ToyFunction");
    function.lower = pdo;
  }
  bool FunctionDeviceLive() { return Live(fdo); }

  ToyFunction function;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(PnpManagerTest, CapabilitiesArriveInARecordTheManagerInitialisedAndComeBackInTheResult) {
  host::PnpResult result = world.pnp.Send(pdo, IRP_MN_QUERY_CAPABILITIES);
  const DEVICE_CAPABILITIES& seen = function.capabilitiesSeen;
  EXPECT_EQ(seen.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(seen.Version, 1);
  EXPECT_EQ(seen.Address, 0xFFFFFFFFu);
  EXPECT_EQ(seen.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(seen.Bits_, 0u);
  EXPECT_EQ(seen.D1Latency, 0u);
  EXPECT_EQ(seen.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
  ASSERT_TRUE(result.capabilities.has_value());
  EXPECT_EQ(result.capabilities->D1Latency, 10u) << "what the drivers wrote reaches the manager";
}

TEST_F(PnpManagerTest, AnOpenHandleVetoesARemovalAfterTheQueryAndTheRemovalGoesAheadOnceItIsClosed) {
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\Device\\ToyFunction", &handle), STATUS_SUCCESS);
  EXPECT_EQ(world.app.OpenHandles(pdo), 1u);
  EXPECT_EQ(world.pnp.Remove(pdo), Removal::OutstandingOpen);
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_TRUE(FunctionDeviceLive());

  world.app.Close(handle);
  EXPECT_EQ(world.pnp.Remove(pdo), Removal::Removed);
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE));
  EXPECT_FALSE(FunctionDeviceLive());
  EXPECT_TRUE(world.pnp.Removed(pdo));
}

TEST_F(PnpManagerTest, ADriverThatFailsTheQueryVetoesTheRemoval) {
  function.queryRemoveAnswer = STATUS_DEVICE_BUSY;
  EXPECT_EQ(world.pnp.Remove(pdo), Removal::Vetoed);
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_TRUE(FunctionDeviceLive());
}

TEST_F(PnpManagerTest, AfterASurpriseRemovalClosesStillArriveAndTheRemovalFollowsTheLastOne) {
  host::Handle first, second;
  ASSERT_EQ(world.app.Open("\\Device\\ToyFunction", &first), STATUS_SUCCESS);
  ASSERT_EQ(world.app.Open("\\Device\\ToyFunction", &second), STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.SurpriseRemove(pdo), Removal::Deferred);
  EXPECT_TRUE(world.pnp.SurpriseRemoved(pdo));
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_SURPRISE_REMOVAL));

  function.majors.clear();
  world.app.Close(first);
  EXPECT_THAT(function.majors, ElementsAre(IRP_MJ_CLEANUP, IRP_MJ_CLOSE));
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_SURPRISE_REMOVAL)) << "a handle is still open";
  world.app.Close(second);
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
  EXPECT_FALSE(FunctionDeviceLive());
}

TEST_F(PnpManagerTest, ASurpriseRemovalWithNothingOpenIsFollowedByTheRemovalAtOnce) {
  EXPECT_EQ(world.pnp.SurpriseRemove(pdo), Removal::Removed);
  EXPECT_THAT(function.pnp, ElementsAre(IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
}

TEST_F(PnpManagerTest, ARemovalWithHandlesOpenIsSentOnlyWhenTheTestForcesIt) {
  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\Device\\ToyFunction", &handle), STATUS_SUCCESS);
  EXPECT_DEATH(world.pnp.Send(pdo, IRP_MN_REMOVE_DEVICE), StopLine(host::rule::kBadArgument, "PnpManager") + ".*handles of the device are open");

  EXPECT_EQ(world.pnp.ForceRemove(pdo).status, STATUS_SUCCESS);
  EXPECT_FALSE(FunctionDeviceLive());
  function.majors.clear();
  world.app.Close(handle);
  EXPECT_THAT(function.majors, ::testing::IsEmpty()) << "nothing is sent to a device that is gone";
  EXPECT_EQ(world.app.OpenFiles(), 0u);
}
