// The driver's messages: into pcscd's log when the driver runs inside pcscd, to standard error otherwise.
#pragma once

namespace ryx::pcsc {

/** Logs one error line, printf-style, prefixed with "ifd_ryx: ". Never throws. */
void LogError(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace ryx::pcsc
