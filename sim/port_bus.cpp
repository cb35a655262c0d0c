// The simulated port driver's other requests, answered as a bus driver
// answers for its PDO: create, cleanup, close, power, system control and
// Plug and Play.
#include "port_driver.h"

namespace sim {

NTSTATUS PortDriver::DispatchOther(int unit, PIRP irp, KIRQL irql) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ReceivedRequest request;
  request.major = location->MajorFunction;
  request.minor = location->MinorFunction;
  request.presetStatus = irp->IoStatus.Status;
  request.file = location->FileObject;
  request.irql = irql;
  request.unit = unit;
  UCHAR major = location->MajorFunction;
  if ((major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) && location->FileObject != nullptr) {
    request.fsContext = location->FileObject->FsContext;
    request.fsContext2 = location->FileObject->FsContext2;
  }
  if (major == IRP_MJ_PNP && location->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
      location->Parameters.DeviceCapabilities.Capabilities != nullptr) {
    request.capabilities = *location->Parameters.DeviceCapabilities.Capabilities;
  }
  if (major == IRP_MJ_POWER) {
    request.powerStartsBefore = world_.irps.PowerStarts(irp);
    PoStartNextPowerIrp(irp);
  }
  Job job{irp, 0, unit, major == IRP_MJ_PNP ? config_.pnp : Completion::Immediate, false};
  {
    std::lock_guard<std::mutex> lock(mu_);
    job.record = requests_.size();
    requests_.push_back(std::move(request));
    if (PendLocked(job)) return STATUS_PENDING;
  }
  return CompleteNow(job);
}

void PortDriver::AnswerOther(const Job& job) {
  PIRP irp = job.irp;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  bool unplugged = Unplugged(job.unit);
  BusAnswers& bus = *answers_.load(std::memory_order_acquire);
  switch (location->MajorFunction) {
    case IRP_MJ_CREATE:
      status = unplugged ? bus.UnpluggedStatus() : bus.Create();
      irp->IoStatus.Information = 0;
      break;
    case IRP_MJ_CLOSE:
      status = bus.Close();
      irp->IoStatus.Information = 0;
      break;
    case IRP_MJ_CLEANUP:
      status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      break;
    case IRP_MJ_POWER:
      status = bus.Power();
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      break;  // a PDO without WMI leaves the request as it came
    case IRP_MJ_PNP: {
      UCHAR minor = location->MinorFunction;
      switch (minor) {
        case IRP_MN_QUERY_CAPABILITIES: {
          PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
          if (capabilities != nullptr) {
            capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
              capabilities->DeviceState[state] = PowerDeviceD3;
            }
            capabilities->UINumber = (ULONG)units_.at(job.unit)->targetId;
            capabilities->Address = (ULONG)units_.at(job.unit)->targetId;
            if (config_.capabilityLatency) {
              capabilities->D1Latency = capabilities->D2Latency = capabilities->D3Latency = *config_.capabilityLatency;
            }
          }
          status = STATUS_SUCCESS;
          break;
        }
        case IRP_MN_START_DEVICE:
          // A device that is gone cannot start.
          status = unplugged ? bus.UnpluggedStatus() : STATUS_SUCCESS;
          break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          status = STATUS_SUCCESS;
          break;
        default:
          break;  // not handled: status as it came
      }
      status = bus.Pnp(minor, status);
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      break;
  }
  irp->IoStatus.Status = status;
  std::lock_guard<std::mutex> lock(mu_);
  requests_[job.record].status = status;
}

}  // namespace sim
