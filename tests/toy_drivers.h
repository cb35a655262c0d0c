// Tiny drivers for tests of the kernel stand-in. A toy driver sends every
// major function to one routine the test supplies; KernelTest loads toys,
// stacks their devices, issues requests the way another kernel component
// would, and takes it all down again before the audit.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"

using ToyRoutine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline std::map<PDRIVER_OBJECT, ToyRoutine> g_toyRoutines;

inline UNICODE_STRING Unicode(PCWSTR text) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, text);
  return string;
}

// The regex of the verifier's stop line for Rule, raised in Routine.
inline std::string StopLine(std::string_view rule, std::string_view routine) {
  auto escape = [](std::string_view text) {
    std::string out;
    for (char c : text) {
      if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
      out += c;
    }
    return out;
  };
  return "VERIFIER: " + escape(rule) + " \\[" + escape(routine) + ", ";
}

// Completes every request with Status and Information.
inline ToyRoutine CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
  return [=](PDEVICE_OBJECT, PIRP irp) {
    host::CompleteRequest(irp, status, information);
    return status;
  };
}

// Marks each request pending and keeps it in *Held for the test to complete.
inline ToyRoutine HoldIn(PIRP* held) {
  return [held](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    *held = irp;
    return STATUS_PENDING;
  };
}

// What a request sent by KernelTest::Issue came back with.
struct Issued {
  bool done = false;
  NTSTATUS returned = -1;  // what IoCallDriver returned
  IO_STATUS_BLOCK status{};
  BOOLEAN pendingReturned = FALSE;
  PDEVICE_OBJECT routineDevice = nullptr;  // the issuer's routine's DeviceObject argument
};

class KernelTest : public WorldTest {
 public:
  using WorldTest::world;  // scenarios outside the fixture reach it too

  PDRIVER_OBJECT LoadToy(ToyRoutine routine) {
    PDRIVER_OBJECT driver = world.LoadDriver(
        "Toy" + std::to_string(drivers_.size()),
        [](PDRIVER_OBJECT toy, PUNICODE_STRING) -> NTSTATUS {
          for (auto& entry : toy->MajorFunction) entry = Dispatch;
          return STATUS_SUCCESS;
        },
        "");
    g_toyRoutines[driver] = std::move(routine);
    drivers_.push_back(driver);
    return driver;
  }

  // A device of Driver, ready for requests, attached above Lower if given.
  PDEVICE_OBJECT Device(PDRIVER_OBJECT driver, PDEVICE_OBJECT lower = nullptr, PCWSTR name = nullptr) {
    UNICODE_STRING unicodeName = Unicode(name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 16, name ? &unicodeName : nullptr, FILE_DEVICE_SCANNER, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.emplace_back(device, lower ? IoAttachDeviceToDeviceStack(device, lower) : nullptr);
    return device;
  }

  PDEVICE_OBJECT Toy(ToyRoutine routine, PDEVICE_OBJECT lower = nullptr, PCWSTR name = nullptr) {
    return Device(LoadToy(std::move(routine)), lower, name);
  }

  // Sends a request to Device as a kernel component does: an IRP from
  // IoAllocateIrp with no location of its own, whose completion routine
  // records the outcome, frees the IRP and stops the completion.
  Issued& Issue(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ) {
    Issued& issued = issued_.emplace_back();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, Collect, &issued, TRUE, TRUE, TRUE);
    issued.returned = IoCallDriver(device, irp);
    return issued;
  }

  // The record of the request Issue is sending now (or sent last).
  Issued& Sending() { return issued_.back(); }

  PDEVICE_OBJECT Pdo() {
    PDEVICE_OBJECT pdo = Toy(CompleteWith(STATUS_SUCCESS));
    world.pnp.ReportPdo(pdo, u"ROOT\\TOY\\0007");
    return pdo;
  }

 protected:
  void Clean() override {
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
      if (!Live(it->first)) continue;  // a toy deleted it, as removal does
      if (it->second != nullptr && it->second->AttachedDevice == it->first) IoDetachDevice(it->second);
      IoDeleteDevice(it->first);
    }
    devices_.clear();
    for (PDRIVER_OBJECT driver : drivers_) {
      world.UnloadDriver(driver);
      g_toyRoutines.erase(driver);
    }
    drivers_.clear();
  }

  bool Live(PDEVICE_OBJECT device) {
    std::lock_guard<host::WorldLock> lock(world.mu);
    return world.objects.IsLive(device);
  }

 private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return g_toyRoutines.at(device->DriverObject)(device, irp); }

  static NTSTATUS Collect(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* issued = (Issued*)context;
    issued->done = true;
    issued->status = irp->IoStatus;
    issued->pendingReturned = irp->PendingReturned;
    issued->routineDevice = device;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  std::vector<PDRIVER_OBJECT> drivers_;
  std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> devices_;  // device, the device it is attached to
  std::deque<Issued> issued_;
};
