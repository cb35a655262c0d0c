// What the bus driver answers for a unit's PDO, beside what the instrument
// behind the unit answers for its commands: create, close, power and Plug
// and Play, and what the requests of a unit that has vanished fail with. A
// healthy bus, one that fails and one whose units answer as gone are
// instances of it; the port asks it as each request is answered, from any
// thread the port completes on.
#pragma once

#include <map>

#include "host_ddk.h"

namespace sim {

class BusAnswers {
 public:
  virtual ~BusAnswers() = default;
  virtual NTSTATUS Create() = 0;
  virtual NTSTATUS Close() = 0;
  virtual NTSTATUS Power() = 0;
  // A Plug and Play request of the minor code. Usual is what a PDO answers
  // for it: success for START, STOP, REMOVE and the queries it handles
  // (UnpluggedStatus for START when the unit has vanished), the status it
  // came with for the rest.
  virtual NTSTATUS Pnp(UCHAR minor, NTSTATUS usual) = 0;
  // A vanished unit's SRBs fail with this SRB status, as a port fails them
  // for a target that no longer answers selection
  // (SRB_STATUS_SELECTION_TIMEOUT, or SRB_STATUS_NO_DEVICE).
  virtual UCHAR UnpluggedSrbStatus() = 0;
  // A vanished unit's device controls, creates and START_DEVICE fail with
  // this, which says there is no device where one was.
  virtual NTSTATUS UnpluggedStatus() = 0;
};

// The port's own bus: it answers as a healthy bus does, and a test may
// change any answer between requests.
class HealthyBus : public BusAnswers {
 public:
  NTSTATUS createStatus = STATUS_SUCCESS;
  NTSTATUS closeStatus = STATUS_SUCCESS;
  NTSTATUS powerStatus = STATUS_SUCCESS;
  std::map<UCHAR, NTSTATUS> pnpStatus;  // by minor code, in place of the usual answer
  UCHAR unpluggedSrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
  NTSTATUS unpluggedStatus = STATUS_NO_SUCH_DEVICE;

  NTSTATUS Create() override { return createStatus; }
  NTSTATUS Close() override { return closeStatus; }
  NTSTATUS Power() override { return powerStatus; }
  NTSTATUS Pnp(UCHAR minor, NTSTATUS usual) override {
    auto scripted = pnpStatus.find(minor);
    return scripted != pnpStatus.end() ? scripted->second : usual;
  }
  UCHAR UnpluggedSrbStatus() override { return unpluggedSrbStatus; }
  NTSTATUS UnpluggedStatus() override { return unpluggedStatus; }
};

}  // namespace sim
