// The simulated port's answers as a bus driver: the adapter and address
// queries, Plug and Play, power, system control, create and close, another
// bus in place of the port's own, and a unit that vanishes.
#include "port_fixture.h"

using sim::Completion;
using ::testing::ElementsAre;
using ::testing::Pair;

// ---------------------------------------------------------------- queries

TEST_F(PortTest, AnswersTheAdapterPropertyHeaderAndDescriptorAndTheAddress) {
  port->Config().descriptorSize = 40;
  port->Config().maximumTransferLength = 0x20000;
  STORAGE_PROPERTY_QUERY query{StorageAdapterProperty, PropertyStandardQuery, {0}};
  STORAGE_DESCRIPTOR_HEADER header{};
  IO_STATUS_BLOCK iosb = Control({.code = IOCTL_STORAGE_QUERY_PROPERTY,
                                  .input = &query,
                                  .inputLength = sizeof(query),
                                  .output = &header,
                                  .outputLength = sizeof(header)});
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, sizeof(header));
  EXPECT_EQ(header.Size, 40u);
  UCHAR descriptor[40];
  iosb = Control({.code = IOCTL_STORAGE_QUERY_PROPERTY,
                  .input = &query,
                  .inputLength = sizeof(query),
                  .output = descriptor,
                  .outputLength = sizeof(descriptor)});
  EXPECT_EQ(iosb.Information, 40u);
  auto* adapter = (PSTORAGE_ADAPTER_DESCRIPTOR)descriptor;
  EXPECT_EQ(adapter->MaximumTransferLength, 0x20000u);
  EXPECT_EQ(adapter->MaximumPhysicalPages, 17u);

  SCSI_ADDRESS address{};
  iosb = Control({.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address), .unit = 1});
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, sizeof(address));
  EXPECT_EQ(address.PortNumber, 2);
  EXPECT_EQ(address.TargetId, 4) << "unit 1 counts up from the first unit's target";

  STORAGE_PROPERTY_QUERY device{StorageDeviceProperty, PropertyStandardQuery, {0}};
  EXPECT_EQ(Control({.code = IOCTL_STORAGE_QUERY_PROPERTY,
                     .input = &device,
                     .inputLength = sizeof(device),
                     .output = &header,
                     .outputLength = sizeof(header)})
                .Status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control({.code = IOCTL_STORAGE_QUERY_PROPERTY,
                     .input = &query,
                     .inputLength = sizeof(query),
                     .output = &header,
                     .outputLength = 4})
                .Status,
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PortTest, ScriptedIoctlFailuresAndCompletionsApplyOneRequestEach) {
  port->ScriptIoctl(IOCTL_SCSI_GET_ADDRESS, {STATUS_SUCCESS, STATUS_IO_TIMEOUT});
  port->ScriptIoctlCompletion({Completion::Pumped, Completion::Immediate});
  SCSI_ADDRESS address;
  NTSTATUS returned;
  EXPECT_EQ(
      Control(
          {.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address), .returned = &returned})
          .Status,
      STATUS_SUCCESS);
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(
      Control(
          {.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address), .returned = &returned})
          .Status,
      STATUS_IO_TIMEOUT);
  EXPECT_EQ(returned, STATUS_IO_TIMEOUT);
  EXPECT_EQ(
      Control(
          {.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address), .returned = &returned})
          .Status,
      STATUS_SUCCESS);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  auto requests = port->Requests(IRP_MJ_DEVICE_CONTROL);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].ioControlCode, (ULONG)IOCTL_SCSI_GET_ADDRESS);
  EXPECT_EQ(requests[1].outputLength, sizeof(address));
  EXPECT_EQ(requests[1].status, STATUS_IO_TIMEOUT);
}

// ---------------------------------------------------------------- the bus driver's answers

TEST_F(PortTest, AnswersPlugAndPlayPowerSystemControlCreateAndCloseAsABusDriver) {
  PDEVICE_OBJECT pdo = port->Pdo();
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_ID).status, STATUS_NOT_SUPPORTED) << "unhandled: the preset stays";
  port->Bus().pnpStatus[IRP_MN_QUERY_STOP_DEVICE] = STATUS_DEVICE_BUSY;
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_DEVICE_BUSY);
  DEVICE_CAPABILITIES capabilities{};
  auto withCapabilities = [&](IO_STACK_LOCATION& location) {
    location.Parameters.DeviceCapabilities.Capabilities = &capabilities;
  };
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_CAPABILITIES, withCapabilities).status, STATUS_SUCCESS);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemHibernate], PowerDeviceD3);
  EXPECT_EQ(capabilities.Address, 3u);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA, STATUS_NOT_SUPPORTED).status, STATUS_NOT_SUPPORTED);

  host::Handle handle;
  ASSERT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_SUCCESS);
  PFILE_OBJECT file = handle.file;
  world.app.Close(handle);
  port->Bus().createStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_DEVICE_NOT_READY);

  std::vector<std::pair<int, int>> seen;
  for (const auto& request : port->Requests()) seen.emplace_back(request.major, request.minor);
  EXPECT_THAT(seen, ElementsAre(Pair(IRP_MJ_PNP, IRP_MN_START_DEVICE), Pair(IRP_MJ_PNP, IRP_MN_QUERY_ID),
                                Pair(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), Pair(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES),
                                Pair(IRP_MJ_POWER, IRP_MN_SET_POWER),
                                Pair(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA), Pair(IRP_MJ_CREATE, 0),
                                Pair(IRP_MJ_CLEANUP, 0), Pair(IRP_MJ_CLOSE, 0), Pair(IRP_MJ_CREATE, 0)));
  EXPECT_EQ(port->Requests()[0].presetStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(port->Requests(IRP_MJ_CLOSE)[0].file, file);
}

namespace {

// A bus that fails what a healthy one answers, whose vanished units answer
// with statuses of its own, and that remembers which answers it was asked.
class FailingBus : public sim::BusAnswers {
 public:
  NTSTATUS Create() override { return STATUS_DEVICE_NOT_CONNECTED; }
  NTSTATUS Close() override { return STATUS_UNSUCCESSFUL; }
  NTSTATUS Power() override { return STATUS_INVALID_DEVICE_STATE; }
  NTSTATUS Pnp(UCHAR minor, NTSTATUS usual) override {
    asked.emplace_back(minor, usual);
    return STATUS_DEVICE_NOT_READY;
  }
  UCHAR UnpluggedSrbStatus() override { return SRB_STATUS_NO_DEVICE; }
  NTSTATUS UnpluggedStatus() override { return STATUS_DEVICE_NOT_CONNECTED; }
  std::vector<std::pair<UCHAR, NTSTATUS>> asked;  // minor code, and the usual answer
};

}  // namespace

TEST_F(PortTest, AnotherBusAnswersInsteadOfThePortsOwnUntilItIsTakenAway) {
  FailingBus failing;
  port->SetBus(&failing);
  PDEVICE_OBJECT pdo = port->Pdo();
  host::Handle handle;
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_QUERY_ID).status, STATUS_DEVICE_NOT_READY);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_INVALID_DEVICE_STATE);

  port->Unplug();
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_READY);
  EXPECT_THAT(failing.asked,
              ElementsAre(Pair(IRP_MN_START_DEVICE, STATUS_SUCCESS), Pair(IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED),
                          Pair(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED)))
      << "the usual answer: success, the status it came with, a gone unit's";
  SCSI_ADDRESS address{};
  EXPECT_EQ(Control({.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address)}).Status,
            STATUS_DEVICE_NOT_CONNECTED);
  port->Config().scsi = Completion::Immediate;
  EXPECT_EQ(Send({.opcode = kTestUnitReady}).srb.SrbStatus, SRB_STATUS_NO_DEVICE);

  port->SetBus(nullptr);
  EXPECT_EQ(Send({.opcode = kTestUnitReady}).srb.SrbStatus, SRB_STATUS_SELECTION_TIMEOUT) << "the port's own bus again";
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).status, STATUS_SUCCESS);
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &handle), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(failing.asked.size(), 3u);
}

TEST_F(PortTest, AnUnpluggedUnitFailsQueriesAndOpensAndAnswersCloseAndPlugAndPlayAsAGoneDevice) {
  host::Handle open;
  ASSERT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &open), STATUS_SUCCESS);
  port->Unplug();
  STORAGE_PROPERTY_QUERY query{StorageAdapterProperty, PropertyStandardQuery, {0}};
  STORAGE_DESCRIPTOR_HEADER header{};
  SCSI_ADDRESS address{};
  EXPECT_EQ(Control({.code = IOCTL_STORAGE_QUERY_PROPERTY,
                     .input = &query,
                     .inputLength = sizeof(query),
                     .output = &header,
                     .outputLength = sizeof(header)})
                .Status,
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Control({.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address)}).Status,
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(
      Control({.code = IOCTL_SCSI_GET_ADDRESS, .output = &address, .outputLength = sizeof(address), .unit = 1}).Status,
      STATUS_SUCCESS);
  host::Handle another;
  EXPECT_EQ(world.app.Open("\\Device\\SimScsiPort0Unit0", &another), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(world.app.Close(open), STATUS_SUCCESS);

  PDEVICE_OBJECT pdo = port->Pdo();
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  DEVICE_CAPABILITIES capabilities{};
  EXPECT_EQ(world.pnp
                .Send(pdo, IRP_MN_QUERY_CAPABILITIES,
                      [&](IO_STACK_LOCATION& location) {
                        location.Parameters.DeviceCapabilities.Capabilities = &capabilities;
                      })
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_START_DEVICE).status, STATUS_NO_SUCH_DEVICE);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(world.pnp.SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d3).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.SendSystemControl(pdo, IRP_MN_QUERY_ALL_DATA).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(world.pnp.Send(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(world.pnp.Send(port->Pdo(1), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
}
