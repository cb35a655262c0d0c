// A started device that applications have opened, for tests of the
// requests they send: device controls, pass-throughs, reads and writes.
#pragma once

#include <cstring>
#include <deque>

#include "fixture.h"
#include "user_command.h"

class AppTest : public StartedDeviceTest {
 protected:
  void SetUp() override {
    StartedDeviceTest::SetUp();
    if (HasFatalFailure()) return;
    a = &Open();
    b = &Open();
  }
  void Clean() override {
    port->PumpAll();  // queue releases a finished request left at the port
    for (host::Handle& handle : handles) {
      if (handle.file != nullptr) world.app.Close(handle);
    }
    DriverTest::Clean();
  }

  host::Handle& Open() {
    host::Handle& handle = handles.emplace_back();
    EXPECT_EQ(world.app.Open("\\\\.\\StillScsi0", &handle), STATUS_SUCCESS);
    return handle;
  }
  host::IoResult Control(const host::Handle& handle, ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                         void* output = nullptr, ULONG outputLength = 0) {
    return world.app.DeviceIoControl(handle, code, input, inputLength, output, outputLength);
  }
  // A pass-through of Command, with Data (user memory) as its data buffer.
  host::IoResult PassThrough(const host::Handle& handle, const UserCommand& command, void* data = nullptr,
                             ULONG dataLength = 0) {
    return Control(handle, IOCTL_SCSISCAN_CMD, command.block, sizeof(SCSISCAN_CMD), data, dataLength);
  }
  // A value of T in fresh user memory.
  template <typename T>
  T* UserValue(T value) {
    T* at = (T*)world.user.Alloc(sizeof(T));
    *world.user.As<T>(at) = value;
    return at;
  }
  template <typename T>
  T Read(const T* at) {
    return *world.user.As<T>(at);
  }
  bool IsPattern(const void* data, size_t length, uint64_t start) {
    auto bytes = world.user.Bytes(data, length);
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] != sim::ScriptedInstrument::PatternByte(start + i)) return false;
    }
    return true;
  }

  std::deque<host::Handle> handles;
  host::Handle* a = nullptr;  // two handles of the device
  host::Handle* b = nullptr;
};

// The same, with the port completing SCSI requests from two threads at
// DISPATCH_LEVEL, as hardware does, so that requests end side by side.
class ThreadedAppTest : public AppTest {
 protected:
  sim::PortConfig Config() override {
    sim::PortConfig config;
    config.scsi = sim::Completion::Threaded;
    config.completionThreads = 2;
    return config;
  }
};
