// The Plug and Play and power manager.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "host_ddk.h"

namespace host {

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

}  // namespace host
