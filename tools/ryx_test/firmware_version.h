// Asking the reader for its firmware version text at start-up.
#pragma once

#include <ryx.h>

#include <cstdio>
#include <optional>
#include <string>

namespace ryx_test {

/**
 * Sends the firmware-version escape command E0 00 00 18 00 on slot 0 into a 35-byte reply buffer and gives the
 * reply's text after its 5-byte header (so at most 30 characters).
 * @param out receives the failure line: "Error: RYX_Control failed with error 0x%08X\n",
 *            "Error: Response length is invalid\n" (a reply of 5 bytes or less) or "Error: Not enough memory\n".
 * @return the text, or nothing after a failure.
 */
std::optional<std::string> QueryFirmwareVersion(RYX_HANDLE handle, std::FILE* out);

}  // namespace ryx_test
