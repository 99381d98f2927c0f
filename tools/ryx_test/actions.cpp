#include "actions.h"

namespace ryx_test {

namespace {

// Every action, in the order of the options in --help.
constexpr ActionEntry kActionEntries[] = {
    {ActionKind::PowerOn, "--power-on", nullptr, "Powering on the ICC", true, "RYX_PowerOnIcc", "Power On ICC"},
    {ActionKind::PowerOff, "--power-off", nullptr, "Powering off the ICC", true, "RYX_PowerOffIcc", "Power Off ICC"},
    {ActionKind::Status, "--status", nullptr, "Getting the ICC status", true, "RYX_GetIccStatus", "Get ICC Status"},
    {ActionKind::Protocol, "--protocol", "t0, t1 or any, optionally followed by ,default-speed", "Setting the protocol",
     true, "RYX_SetProtocol", "Set Protocol"},
    {ActionKind::Apdu, "--apdu", "hex bytes, an even number of digits", "Exchanging the APDU", true, "RYX_ExchangeApdu",
     nullptr},
    {ActionKind::Script, "--script", "a file name", "Exchanging the APDU", true, "RYX_ExchangeApdu", "Exchange APDU"},
    {ActionKind::Escape, "--escape", "hex bytes, an even number of digits", "Sending the escape command", true,
     "RYX_Control", nullptr},
    {ActionKind::EscapeScript, "--escape-script", "a file name", "Sending the escape command", true, "RYX_Control",
     "Control"},
    {ActionKind::Baud, "--baud", "a line speed in bit/s", "Setting the baud rate", false, "RYX_SetBaudRate", nullptr},
    {ActionKind::Timeouts, "--timeouts", "four numbers separated by commas", "Setting the timeouts", false,
     "RYX_SetTimeouts", nullptr},
};

}  // namespace

const ActionEntry& EntryOf(ActionKind kind) {
    for (const ActionEntry& entry : kActionEntries) {
        if (entry.kind == kind) {
            return entry;
        }
    }
    return kActionEntries[0];  // not reached: every kind has its entry
}

const ActionEntry* ActionOfOption(const std::string& option) {
    for (const ActionEntry& entry : kActionEntries) {
        if (option == entry.option) {
            return &entry;
        }
    }
    return nullptr;
}

void Announce(const ActionEntry& entry, uint32_t slot, std::FILE* out) {
    if (entry.onSlot) {
        std::fprintf(out, "Slot %d: %s...\n", static_cast<int>(slot), entry.activity);
    } else {
        std::fprintf(out, "%s...\n", entry.activity);
    }
}

}  // namespace ryx_test
