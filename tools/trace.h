// A trace of a session's requests and the SRBs the port saw for them, in
// the trace-event JSON that common trace viewers open, and a summary on one
// screen.
#pragma once

#include <string>

#include "rig.h"

namespace tools {

// Writes the trace to Path; false when the file cannot be written.
bool WriteTrace(Rig& rig, const std::string& path);
std::string TraceSummary(Rig& rig);

}  // namespace tools
