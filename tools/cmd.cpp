// Sends SCSI commands through the driver's pass-through, in the habits of
// the usual SCSI utilities: one command from the command line, or a
// session of them from a script, all to the same device in order (so a
// READ can follow SET WINDOW and SCAN, and REQUEST SENSE a failure).
//
//   stillscsi_cmd 12 00 00 00 24 00 --in 36          INQUIRY, 36 bytes in, hex dump
//   stillscsi_cmd 24 00 00 00 00 00 00 00 30 00 --out window.bin
//   stillscsi_cmd --script session.txt               one command a line, same options
//
// Each command is shown with its outcome: the request's status, the SRB
// status and the target's SCSI status (two different things), the sense in
// hex and in words, and the bytes moved.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "device.h"
#include "exit_codes.h"
#include "scsi_text.h"
#include "trace.h"
#include "version.h"

namespace {

// One command as written: its CDB and data options.
struct CommandLine {
  std::vector<std::string> cdb;
  uint32_t in = 0;
  std::string inFile, out;
  uint32_t outLength = 0;
};

void AddCommandOptions(CLI::App& app, CommandLine& line, bool cdbRequired) {
  CLI::Option* cdb = app.add_option("cdb", line.cdb, "the CDB, as hex bytes")->expected(1, 16);
  if (cdbRequired) cdb->required();
  CLI::Option* in = app.add_option("--in", line.in, "read this many bytes from the device");
  app.add_option("--in-file", line.inFile, "write the bytes read to this file (- for standard output), not a dump")
      ->needs(in);
  CLI::Option* out =
      app.add_option("--out", line.out, "send this file's bytes (- for standard input) to the device")->excludes(in);
  app.add_option("--out-length", line.outLength, "send this many bytes of it (default: all of it)")->needs(out);
}

// A command ready to send: everything checked, files opened.
struct Prepared {
  std::string text;  // as written
  std::vector<uint8_t> cdb;
  uint32_t direction = 0;
  std::vector<uint8_t> data;
  std::string inFile;
};

// "" or why the command cannot be sent; *code is the exit code then.
std::string Prepare(const CommandLine& line, const std::string& text, Prepared* prepared, int* code) {
  prepared->text = text;
  *code = tools::kExitUsage;
  for (const std::string& byte : line.cdb) {
    char* end = nullptr;
    unsigned long value = std::strtoul(byte.c_str(), &end, 16);
    if (byte.empty() || *end != '\0' || value > 0xFF) return "not a hex byte: " + byte;
    prepared->cdb.push_back((uint8_t)value);
  }
  *code = tools::kExitFile;
  prepared->inFile = line.inFile;
  if (!line.inFile.empty() && line.inFile != "-") {
    // Where the bytes read go is checked before anything is sent.
    std::ofstream target(line.inFile, std::ios::binary | std::ios::app);
    if (!target) return "cannot write " + line.inFile + ": " + std::strerror(errno);
  }
  if (!line.out.empty()) {
    std::vector<uint8_t> bytes;
    if (line.out == "-") {
      tools::SetBinary(stdin);
      bytes.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
      std::ifstream file(line.out, std::ios::binary);
      if (!file) return "cannot read " + line.out + ": " + std::strerror(errno);
      bytes.assign(std::istreambuf_iterator<char>(file), {});
    }
    if (line.outLength != 0) {
      if (bytes.size() < line.outLength) {
        *code = tools::kExitUsage;
        return "--out-length " + std::to_string(line.outLength) + ": " + line.out + " has only " +
               std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes");
      }
      bytes.resize(line.outLength);
    }
    prepared->data = std::move(bytes);
    prepared->direction = SRB_FLAGS_DATA_OUT;
  } else if (line.in != 0) {
    prepared->data.assign(line.in, 0);
    prepared->direction = SRB_FLAGS_DATA_IN;
  }
  *code = tools::kExitSuccess;
  return "";
}

// 16 bytes a line: offset, hex, and the printable ones as text.
void Dump(const uint8_t* bytes, size_t count, std::FILE* report) {
  for (size_t i = 0; i < count; i += 16) {
    size_t n = std::min<size_t>(16, count - i);
    std::string hex = tools::Hex(std::span<const uint8_t>(bytes + i, n));
    std::string text;
    for (size_t j = 0; j < n; ++j) text += bytes[i + j] >= 0x20 && bytes[i + j] < 0x7F ? (char)bytes[i + j] : '.';
    std::fprintf(report, "%04zx  %-47s  %s\n", i, hex.c_str(), text.c_str());
  }
}

// The target's status: the port's own record where the bench has it (the
// last SRB the command took; a failed chunk ends it); from the pass-through
// alone, only what the SRB status and sense imply.
std::string ScsiStatus(tools::Device& device, uint64_t firstSrb, const tools::CommandResult& result) {
  const tools::SrbRecord* last = nullptr;
  std::vector<tools::SrbRecord> srbs = device.Srbs();
  for (const tools::SrbRecord& srb : srbs) {
    if (!srb.releaseQueue && srb.completed && srb.sequence >= firstSrb) last = &srb;
  }
  if (device.SrbCount() && last != nullptr) return tools::ScsiStatusText(last->scsiStatus);
  if (result.SenseValid()) return "CHECK CONDITION (from the sense; the pass-through does not return the status)";
  if (result.Good()) return "GOOD (from the SRB status; the pass-through does not return the status)";
  return "not returned by the pass-through";
}

// Sends one command and shows its outcome on Report.
int Run(tools::Device& device, const Prepared& command, int number, std::FILE* report) {
  std::fprintf(report, "command %d: %s\n", number, command.text.c_str());
  std::vector<uint8_t> data = command.data;
  uint64_t firstSrb = device.SrbCount().value_or(0);
  tools::CommandResult result = device.Command("command", command.cdb, command.direction, data);
  int code = tools::ExitCodeOf(result);
  std::fprintf(report, "  request:     %s (0x%08X)\n", tools::StatusName(result.status).c_str(), (unsigned)result.status);
  std::fprintf(report, "  SRB status:  0x%02X %s\n", result.srbStatus, tools::SrbStatusText(result.srbStatus).c_str());
  std::fprintf(report, "  SCSI status: %s\n", ScsiStatus(device, firstSrb, result).c_str());
  if (result.SenseValid()) {
    std::fprintf(report, "  sense:       %s\n", tools::Hex(result.sense).c_str());
    std::fprintf(report, "               %s\n", tools::SenseText(result.sense).c_str());
  }
  const char* way = command.direction == SRB_FLAGS_DATA_IN ? " in" : command.direction == SRB_FLAGS_DATA_OUT ? " out" : "";
  std::fprintf(report, "  bytes:       %zu%s\n", result.bytes, way);
  if ((result.srbStatus & 0x3F) == SRB_STATUS_DATA_OVERRUN && result.bytes == 0 && !command.data.empty()) {
    std::fprintf(report, "  (a short transfer: the pass-through counts none of its bytes; ask for the answer's own length)\n");
  }
  std::fflush(report);
  if (command.direction == SRB_FLAGS_DATA_IN && result.bytes != 0) {
    size_t count = std::min(result.bytes, data.size());
    if (command.inFile == "-") {
      tools::SetBinary(stdout);
      std::fwrite(data.data(), 1, count, stdout);
      std::fflush(stdout);
    } else if (!command.inFile.empty()) {
      std::ofstream target(command.inFile, std::ios::binary | std::ios::trunc);
      target.write((const char*)data.data(), (std::streamsize)count);
      target.close();
      if (!target) {
        std::fprintf(stderr, "stillscsi_cmd: cannot write %s: %s\n", command.inFile.c_str(), std::strerror(errno));
        return tools::kExitFile;
      }
    } else {
      Dump(data.data(), count, report);
    }
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Sends SCSI commands through the driver's pass-through: one, or a session from a script."};
  app.set_version_flag("--version", STILLSCSI_TOOLS_VERSION);
  // Options start with a dash in every build; a path such as /tmp/x is a path.
  app.allow_windows_style_options(false);
  // Every option's default is shown in the help.
  app.option_defaults()->always_capture_default();
  app.footer(std::string("A script has one command a line, a CDB and the options above (--in, --in-file, --out,\n"
                         "--out-length); # starts a comment. Every command is sent, in order, whatever the\n"
                         "outcome of the one before; the exit code is that of the first that failed.\n") +
             tools::kExitCodesHelp);
  CommandLine single;
  AddCommandOptions(app, single, false);
  std::string script, trace;
  uint32_t timeout = 0;
  int warmUp = 0;
  CLI::Option* scriptOption = app.add_option("--script", script, "send the commands of this file (- for standard input)");
  app.add_option("--timeout", timeout, "SRB timeout in seconds (0: the driver's)");
  app.add_option("--warm-up", warmUp, "milliseconds the simulated scanner's lamp takes to warm up (host build)");
  app.add_option("--trace", trace, "write a trace of the requests and their SRBs here");
  int parsed = tools::Parse(app, argc, argv);
  if (parsed >= 0) return parsed;
  if (scriptOption->count() == 0 && single.cdb.empty()) {
    std::cerr << "stillscsi_cmd: a CDB or --script is needed\nRun with --help for more information.\n";
    return tools::kExitUsage;
  }
  if (scriptOption->count() != 0 && !single.cdb.empty()) {
    std::cerr << "stillscsi_cmd: a CDB and --script exclude each other\n";
    return tools::kExitUsage;
  }

  // Every command is checked before the first is sent.
  std::vector<Prepared> commands;
  int code = 0;
  if (single.cdb.empty()) {
    std::ifstream file;
    if (script != "-") {
      file.open(script);
      if (!file) {
        std::cerr << "stillscsi_cmd: cannot read " << script << ": " << std::strerror(errno) << "\n";
        return tools::kExitFile;
      }
    }
    std::istream& in = script == "-" ? std::cin : file;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
      std::string line = text.substr(0, text.find('#'));
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      line.erase(line.find_last_not_of(" \t\r") + 1);
      CLI::App parser{"command"};
      parser.allow_windows_style_options(false);
      CommandLine command;
      AddCommandOptions(parser, command, true);
      try {
        parser.parse(line, false);
      } catch (const CLI::ParseError& error) {
        std::cerr << "stillscsi_cmd: " << script << ":" << number << ": " << error.what() << "\n";
        return tools::kExitUsage;
      }
      if (script == "-" && command.out == "-") {
        std::cerr << "stillscsi_cmd: " << script << ":" << number << ": --out - with the script on standard input\n";
        return tools::kExitUsage;
      }
      Prepared& prepared = commands.emplace_back();
      std::string why = Prepare(command, line.substr(line.find_first_not_of(" \t")), &prepared, &code);
      if (!why.empty()) {
        std::cerr << "stillscsi_cmd: " << script << ":" << number << ": " << why << "\n";
        return code;
      }
    }
    if (commands.empty()) {
      std::cerr << "stillscsi_cmd: " << script << " has no command\n";
      return tools::kExitUsage;
    }
  } else {
    std::string text;
    for (const std::string& byte : single.cdb) text += (text.empty() ? "" : " ") + byte;
    std::string why = Prepare(single, text, &commands.emplace_back(), &code);
    if (!why.empty()) {
      std::cerr << "stillscsi_cmd: " << why << "\n";
      return code;
    }
  }

  tools::DeviceOptions options;
  options.warmUp = std::chrono::milliseconds(warmUp);
  std::unique_ptr<tools::Device> device = tools::MakeDevice(options);
  std::string started = device->Open();
  if (!started.empty()) {
    std::cerr << "stillscsi_cmd: " << started << "\n";
    device->Close();
    return tools::kExitTransport;
  }
  if (timeout != 0) {
    std::span<uint8_t> bytes((uint8_t*)&timeout, sizeof(timeout));
    device->Control(IOCTL_SCSISCAN_SET_TIMEOUT, bytes, {});
  }
  // Bytes read to standard output leave it to them alone.
  std::FILE* report = stdout;
  for (const Prepared& command : commands) {
    if (command.inFile == "-") report = stderr;
  }
  int exitCode = tools::kExitSuccess;
  for (size_t i = 0; i < commands.size(); ++i) {
    int outcome = Run(*device, commands[i], (int)i + 1, report);
    if (exitCode == tools::kExitSuccess) exitCode = outcome;
  }
  if (!trace.empty()) {
    if (!tools::WriteTrace(*device, trace)) {
      std::cerr << "stillscsi_cmd: cannot write " << trace << "\n";
      if (exitCode == tools::kExitSuccess) exitCode = tools::kExitFile;
    }
    std::fprintf(report, "%s", tools::TraceSummary(*device).c_str());
  }
  std::vector<std::string> left = device->Close();
  for (const std::string& line : left) std::fprintf(stderr, "left over: %s\n", line.c_str());
  return left.empty() ? exitCode : tools::kExitOther;
}
