// The actions on a reader that the console's menus and the command-line mode share: how each is named on the
// command line and in a menu, how it announces itself, and which library call it makes.
#pragma once

#include "cli_options.h"

#include <cstdint>
#include <cstdio>

namespace ryx_test {

/** One action's names and texts. */
struct ActionEntry {
    ActionKind kind;
    const char* option;    ///< the command-line option, e.g. "--power-on"
    const char* argument;  ///< what the option takes, for its error messages; nullptr when it takes nothing
    const char* activity;  ///< the announcement before the call, e.g. "Powering on the ICC"
    bool onSlot;           ///< the announcement names the slot: "Slot N: <activity>..."
    const char* call;      ///< the library function whose failure the action reports
    const char* menuItem;  ///< its item in a slot's console menu; nullptr when no menu offers it
};

/** The entry of `kind`. */
const ActionEntry& EntryOf(ActionKind kind);

/** The entry whose option is `option`, or nullptr. */
const ActionEntry* ActionOfOption(const std::string& option);

/** Prints the action's announcement line on `out`: "Slot N: <activity>...\n" or "<activity>...\n". */
void Announce(const ActionEntry& entry, uint32_t slot, std::FILE* out);

/** The script actions play a file of commands; the others make one call. */
inline bool IsScript(ActionKind kind) {
    return kind == ActionKind::Script || kind == ActionKind::EscapeScript;
}

}  // namespace ryx_test
