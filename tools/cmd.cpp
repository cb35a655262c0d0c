// Sends one SCSI command to the simulated scanner through the driver's
// pass-through, in the habits of the usual SCSI utilities:
//
//   stillscsi_cmd 12 00 00 00 24 00 --in 36       INQUIRY, 36 bytes in, hex dump
//   stillscsi_cmd 24 00 00 00 00 00 00 00 30 00 --out window.bin
//
// Prints the status byte, the sense in hex and in words, and the byte count.
// Exit code: 0 good, 1 CHECK CONDITION or another SRB failure, 2 the request
// failed, 3 bad arguments.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "device.h"
#include "scsi_text.h"
#include "trace.h"
#include "version.h"

int main(int argc, char** argv) {
  CLI::App app{"Sends one SCSI command through the driver's pass-through."};
  app.set_version_flag("--version", STILLSCSI_TOOLS_VERSION);
  // Options start with a dash in every build; a path such as /tmp/x is a path.
  app.allow_windows_style_options(false);
  // Every option's default is shown in the help.
  app.option_defaults()->always_capture_default();
  std::vector<std::string> cdbText;
  uint32_t in = 0;
  std::string out, inFile, trace;
  uint32_t timeout = 0;
  int warmUp = 0;
  app.add_option("cdb", cdbText, "the CDB, as hex bytes")->required()->expected(1, 16);
  CLI::Option* inOption = app.add_option("--in", in, "read this many bytes from the device");
  app.add_option("--in-file", inFile, "write the bytes read here instead of dumping them")->needs(inOption);
  app.add_option("--out", out, "send this file's bytes to the device")->excludes(inOption);
  app.add_option("--timeout", timeout, "SRB timeout in seconds");
  app.add_option("--warm-up", warmUp, "milliseconds the scanner's lamp takes to warm up");
  app.add_option("--trace", trace, "write a trace of the request and its SRBs here");
  CLI11_PARSE(app, argc, argv);

  std::vector<uint8_t> cdb;
  for (const std::string& byte : cdbText) {
    char* end = nullptr;
    unsigned long value = std::strtoul(byte.c_str(), &end, 16);
    if (byte.empty() || *end != '\0' || value > 0xFF) {
      std::cerr << "not a hex byte: " << byte << "\n";
      return 3;
    }
    cdb.push_back((uint8_t)value);
  }
  std::vector<uint8_t> data;
  uint32_t direction = 0;
  // Where the bytes read go is checked before anything is sent.
  std::ofstream inTarget;
  if (!inFile.empty()) {
    inTarget.open(inFile, std::ios::binary);
    if (!inTarget) {
      std::cerr << "cannot write " << inFile << ": " << std::strerror(errno) << "\n";
      return 3;
    }
  }
  if (!out.empty()) {
    std::ifstream file(out, std::ios::binary);
    if (!file) {
      std::cerr << "cannot read " << out << ": " << std::strerror(errno) << "\n";
      return 3;
    }
    data.assign(std::istreambuf_iterator<char>(file), {});
    direction = SRB_FLAGS_DATA_OUT;
  } else if (in != 0) {
    data.assign(in, 0);
    direction = SRB_FLAGS_DATA_IN;
  }

  tools::DeviceOptions options;
  options.warmUp = std::chrono::milliseconds(warmUp);
  std::unique_ptr<tools::Device> device = tools::MakeDevice(options);
  std::string started = device->Open();
  if (!started.empty()) {
    std::cerr << started << "\n";
    return 2;
  }
  if (timeout != 0) {
    std::span<uint8_t> bytes((uint8_t*)&timeout, sizeof(timeout));
    device->Control(IOCTL_SCSISCAN_SET_TIMEOUT, bytes, {});
  }
  tools::CommandResult result = device->Command("command", cdb, direction, data);
  int code = !NT_SUCCESS(result.status) ? 2 : result.Good() ? 0 : 1;
  std::printf("request:     0x%08X\n", (unsigned)result.status);
  std::printf("status byte: 0x%02X (%s)\n", result.srbStatus, tools::SrbStatusText(result.srbStatus).c_str());
  if (result.SenseValid()) {
    std::printf("sense:       %s\n", tools::Hex(result.sense).c_str());
    std::printf("             %s\n", tools::SenseText(result.sense).c_str());
  }
  std::printf("bytes:       %zu\n", result.bytes);
  if (direction == SRB_FLAGS_DATA_IN && result.bytes != 0) {
    if (!inFile.empty()) {
      inTarget.write((const char*)data.data(), (std::streamsize)result.bytes);
      inTarget.close();
      if (!inTarget) {
        std::cerr << "cannot write " << inFile << ": " << std::strerror(errno) << "\n";
        code = 2;
      }
    } else {
      for (size_t i = 0; i < result.bytes; i += 16) {
        std::printf("%04zx  %s\n", i, tools::Hex(std::span<const uint8_t>(data.data() + i, std::min<size_t>(16, result.bytes - i))).c_str());
      }
    }
  }
  if (!trace.empty()) {
    tools::WriteTrace(*device, trace);
    std::printf("%s", tools::TraceSummary(*device).c_str());
  }
  std::vector<std::string> left = device->Close();
  for (const std::string& line : left) std::fprintf(stderr, "left over: %s\n", line.c_str());
  return left.empty() ? code : 2;
}
