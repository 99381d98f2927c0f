// The console's numbered menus. Each one loops until the user chooses 0 (Exit) or the input ends.
#pragma once

#include "console_input.h"

#include <ryx.h>

#include <cstdint>

namespace ryx_test {

/** How a menu was left. At EndOfInput every menu above is left too and the program closes the reader. */
enum class MenuEnd { Exit, EndOfInput };

/**
 * The top menu: 1 Reader, 2 Card, 3 Peripheral, 0 Exit.
 * @param handle the open reader; the caller keeps it and closes it afterwards.
 */
MenuEnd ModulesMenu(Console& console, RYX_HANDLE handle);

/** Shows the line speed (queried afresh on every display) and changes it; leads to the Timeouts menu. */
MenuEnd ReaderMenu(Console& console, RYX_HANDLE handle);

/** Shows the four link time-outs (queried afresh on every display) and changes one at a time. */
MenuEnd TimeoutsMenu(Console& console, RYX_HANDLE handle);

/**
 * Asks for a slot, then powers its card on and off, selects its protocol, reads its status and runs APDU
 * scripts. Returns at once, with an error line, when the slot count cannot be read or is 0.
 */
MenuEnd CardMenu(Console& console, RYX_HANDLE handle);

/**
 * Asks for the protocols to accept.
 * @param mask out: 1 (T=0), 2 (T=1), 3 (T=0 or T=1), or 0 for Exit and at the end of the input.
 */
MenuEnd ProtocolMenu(Console& console, uint32_t* mask);

/** Asks for a slot like CardMenu, then runs escape-command scripts on it. */
MenuEnd PeripheralMenu(Console& console, RYX_HANDLE handle);

}  // namespace ryx_test
