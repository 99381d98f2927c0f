#include "actions.h"

namespace ryx_test {

namespace {

// Every action, in the order of the options in --help.
constexpr ActionSpec kActionSpecs[] = {
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

const ActionSpec& SpecOf(ActionKind kind) {
    for (const ActionSpec& spec : kActionSpecs) {
        if (spec.kind == kind) {
            return spec;
        }
    }
    return kActionSpecs[0];  // not reached: every kind has its entry
}

const ActionSpec* SpecOfOption(const std::string& option) {
    for (const ActionSpec& spec : kActionSpecs) {
        if (option == spec.option) {
            return &spec;
        }
    }
    return nullptr;
}

void Announce(const ActionSpec& spec, uint32_t slot, std::FILE* out) {
    if (spec.onSlot) {
        std::fprintf(out, "Slot %d: %s...\n", static_cast<int>(slot), spec.activity);
    } else {
        std::fprintf(out, "%s...\n", spec.activity);
    }
}

}  // namespace ryx_test
