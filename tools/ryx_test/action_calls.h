// The library call of each action that is not a script, and what the console prints for it.
#pragma once

#include "cli_options.h"

#include <ryx.h>

#include <cstdint>
#include <cstdio>

namespace ryx_test {

/**
 * Announces `action` on `out`, makes its library call on `slot` and prints what a success returned, as the console
 * shows it: the ATR, the ICC status, the active protocol, "<call>: OK", or the command and response dumps. A
 * failure is left to the caller, which reports it the way its mode does. Not for the script actions.
 * @return the call's status.
 */
uint32_t PerformAction(RYX_HANDLE handle, uint32_t slot, const Action& action, std::FILE* out);

}  // namespace ryx_test
