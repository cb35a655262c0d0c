// The tools' version, the driver package's (its INF's DriverVer).
#pragma once

#define STILLSCSI_TOOLS_VERSION "stillscsi 1.0.0"
