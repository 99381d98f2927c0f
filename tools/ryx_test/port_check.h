// Looking at a serial port the way the library opens it, to name why it cannot be used.
#pragma once

#include "hints.h"

#include <string>

namespace ryx_test {

/**
 * Opens `port` as the library does (read and write, no controlling terminal, an exclusive lock, a terminal check)
 * and says what stands in the way: no such device, permission denied (with the owning group), not a serial device,
 * in use by another program (with the programs holding it, found in /proc), or another errno.
 * @param fd when not null and nothing stands in the way, receives the open, locked descriptor (the caller closes
 *           it); otherwise the port is closed again. Always -1 on Windows, where nothing is checked (kind None).
 */
PortProblem PortProblemOf(const std::string& port, int* fd);

}  // namespace ryx_test
