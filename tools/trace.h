// A trace of a session's requests and the SRBs the port saw for them, in
// the trace-event JSON that common trace viewers open, and a summary on one
// screen.
#pragma once

#include <string>

#include "device.h"

namespace tools {

// Writes the trace to Path; false when the file cannot be written.
// The SRBs are there when the bench under the device can tell them.
bool WriteTrace(Device& device, const std::string& path);
std::string TraceSummary(Device& device);

}  // namespace tools
