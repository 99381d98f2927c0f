#include "action_calls.h"

#include "actions.h"
#include "hex_dump.h"
#include "names.h"
#include "script_senders.h"

#include <memory>

namespace ryx_test {

namespace {

uint32_t PowerOn(RYX_HANDLE handle, uint32_t slot, std::FILE* out) {
    uint8_t atr[RYX_MAX_ATR_SIZE] = {};
    uint32_t atrLength = sizeof atr;
    const uint32_t status = RYX_PowerOnIcc(handle, slot, atr, &atrLength);
    if (status == 0) {
        std::fputs("ATR:\n", out);
        PrintHexDump(out, atr, atrLength <= sizeof atr ? atrLength : sizeof atr);
    }
    return status;
}

uint32_t IccStatus(RYX_HANDLE handle, uint32_t slot, std::FILE* out) {
    uint32_t iccStatus = 0;
    const uint32_t status = RYX_GetIccStatus(handle, slot, &iccStatus);
    if (status == 0) {
        std::fprintf(out, "ICC Status: %s\n", IccStatusName(iccStatus));
    }
    return status;
}

uint32_t SetProtocol(RYX_HANDLE handle, uint32_t slot, uint32_t mask, std::FILE* out) {
    uint32_t active = 0;
    const uint32_t status = RYX_SetProtocol(handle, slot, mask, &active);
    if (status == 0) {
        std::fprintf(out, "Active Protocol: %s\n", ProtocolName(active));
    }
    return status;
}

uint32_t Exchange(RYX_HANDLE handle, uint32_t slot, const Action& action, std::FILE* out) {
    std::fputs("Command:\n", out);
    PrintHexDump(out, action.bytes.data(), action.bytes.size());
    const std::unique_ptr<uint8_t[]> response(new uint8_t[kScriptResponseCapacity]);
    uint32_t length = kScriptResponseCapacity;
    const uint32_t status =
        SendOf(action.kind)(handle, slot, action.bytes.data(), static_cast<uint32_t>(action.bytes.size()),
                            response.get(), kScriptResponseCapacity, &length);
    if (status == 0) {
        std::fputs("Response:\n", out);
        PrintHexDump(out, response.get(), length <= kScriptResponseCapacity ? length : kScriptResponseCapacity);
    }
    return status;
}

// A call that returns nothing but its status, which a success shows as "<call>: OK".
uint32_t Reported(const Action& action, uint32_t status, std::FILE* out) {
    if (status == 0) {
        std::fprintf(out, "%s: OK\n", EntryOf(action.kind).call);
    }
    return status;
}

}  // namespace

uint32_t PerformAction(RYX_HANDLE handle, uint32_t slot, const Action& action, std::FILE* out) {
    Announce(EntryOf(action.kind), slot, out);
    switch (action.kind) {
        case ActionKind::PowerOn:
            return PowerOn(handle, slot, out);
        case ActionKind::PowerOff:
            return Reported(action, RYX_PowerOffIcc(handle, slot), out);
        case ActionKind::Status:
            return IccStatus(handle, slot, out);
        case ActionKind::Protocol:
            return SetProtocol(handle, slot, action.value, out);
        case ActionKind::Apdu:
        case ActionKind::Escape:
            return Exchange(handle, slot, action, out);
        case ActionKind::Baud:
            return Reported(action, RYX_SetBaudRate(handle, action.value), out);
        case ActionKind::Timeouts: {
            const LinkTimeouts timeouts = {action.timeouts[0], action.timeouts[1], action.timeouts[2],
                                           action.timeouts[3]};
            return Reported(action, RYX_SetTimeouts(handle, &timeouts), out);
        }
        case ActionKind::Script:
        case ActionKind::EscapeScript:
            break;
    }
    return RYX_ERROR_INVALID_PARAMETER;  // the scripts are played by RunScriptFile
}

}  // namespace ryx_test
