// A started device for tests of the transport routines, which are called
// here as the dispatch and completion routines will call them.
#pragma once

#include <sys/mman.h>

#include <cstring>

#include "fixture.h"
#include "transport.h"

class TransportTest : public StartedDeviceTest {
 protected:
  void SetUp() override {
    StartedDeviceTest::SetUp();
    if (HasFatalFailure()) return;
  }
  void Clean() override {
    for (PMDL mdl : mdls) {
      if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
      IoFreeMdl(mdl);
    }
    mdls.clear();
    DriverTest::Clean();
  }

  void Limits(ULONG maximumTransferLength, ULONG maximumPhysicalPages) {
    extension->AdapterDescriptor->MaximumTransferLength = maximumTransferLength;
    extension->AdapterDescriptor->MaximumPhysicalPages = maximumPhysicalPages;
  }

  // An MDL over Length bytes of fresh user memory PageOffset bytes into a
  // page, as the I/O manager builds for a request's data buffer; locked for
  // the device to write into when Lock says so.
  PMDL DataMdl(ULONG length, ULONG pageOffset = 0, bool lock = false) {
    void* buffer = world.user.Alloc(length, host::Access::ReadWrite, pageOffset);
    PMDL mdl = MmCreateMdl(nullptr, buffer, length);
    if (lock) MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    mdls.push_back(mdl);
    return mdl;
  }

  // A command block in kernel memory, as the I/O manager's system buffer
  // holds it: a read of Length bytes with a 10-byte CDB unless changed.
  SCSISCAN_CMD Command(ULONG length = 0) {
    SCSISCAN_CMD cmd;
    std::memset(&cmd, 0, sizeof(cmd));
    cmd.Size = sizeof(SCSISCAN_CMD);
    cmd.SrbFlags = length ? SRB_FLAGS_DATA_IN : 0;
    cmd.CdbLength = 10;
    cmd.Cdb[0] = 0x28;
    cmd.TransferLength = length;
    cmd.pSrbStatus = &status;
    cmd.SenseLength = sizeof(sense);
    cmd.pSenseBuffer = sense;
    return cmd;
  }

  std::vector<PMDL> mdls;
  UCHAR status = 0;
  UCHAR sense[18] = {};
};
