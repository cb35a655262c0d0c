// One scheme of exit codes for every tool, in the manner of the common SCSI
// command-line utilities: 0 success, 1 a usage error, and for a command
// that failed, a code by its outcome.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "device.h"

namespace tools {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitUsage = 1,             // a bad option or argument
  kExitNotReady = 2,          // sense key NOT READY
  kExitMediumOrHardware = 3,  // MEDIUM ERROR or HARDWARE ERROR
  kExitIllegalRequest = 5,    // ILLEGAL REQUEST
  kExitUnitAttention = 6,     // UNIT ATTENTION
  kExitAbortedCommand = 11,   // ABORTED COMMAND
  kExitFile = 15,             // a file could not be read or written
  kExitTransport = 35,        // the request failed with no sense: device, driver or adapter
  kExitOtherSense = 97,       // any other CHECK CONDITION
  kExitOther = 99,            // anything else: a scan that is not whole, something left over
};

// The code for a command's outcome; kExitSuccess when it was good.
int ExitCodeOf(const CommandResult& result);

// The codes in words, for each tool's --help.
inline const char* kExitCodesHelp =
    "Exit codes: 0 success, 1 usage error, 2 not ready, 3 medium or hardware error, 5 illegal request,\n"
    "6 unit attention, 11 aborted command, 15 file error, 35 transport failure (no sense),\n"
    "97 other CHECK CONDITION, 99 other failure.";

// Parses the command line; -1 to go on, or the code to exit with: 0 for
// --help and --version, kExitUsage for anything the parser refused.
inline int Parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? kExitSuccess : kExitUsage;
  }
  return -1;
}

}  // namespace tools
