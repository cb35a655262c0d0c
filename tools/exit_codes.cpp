#include "exit_codes.h"

namespace tools {

int ExitCodeOf(const CommandResult& result) {
  if (result.Good()) return kExitSuccess;
  // A short transfer, which an allocation length larger than the answer
  // allows: the command did what it could.
  if ((result.srbStatus & 0x3F) == SRB_STATUS_DATA_OVERRUN && !result.SenseValid() && NT_SUCCESS(result.status)) {
    return kExitSuccess;
  }
  if (!result.SenseValid() || result.sense.size() < 3) return kExitTransport;
  switch (result.sense[2] & 0x0F) {
    case 0x2: return kExitNotReady;
    case 0x3:
    case 0x4: return kExitMediumOrHardware;
    case 0x5: return kExitIllegalRequest;
    case 0x6: return kExitUnitAttention;
    case 0xB: return kExitAbortedCommand;
    default: return kExitOtherSense;
  }
}

}  // namespace tools
