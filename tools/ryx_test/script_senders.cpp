#include "script_senders.h"

namespace ryx_test {

uint32_t SendApdu(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                  uint32_t /*responseCapacity*/, uint32_t* responseLength) {
    return RYX_ExchangeApdu(handle, slot, command, commandLength, response, responseLength);
}

uint32_t SendEscape(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                    uint32_t responseCapacity, uint32_t* responseLength) {
    return RYX_Control(handle, slot, RYX_CONTROL_ESCAPE, command, commandLength, response, responseCapacity,
                       responseLength);
}

CommandSend SendOf(ActionKind kind) {
    return kind == ActionKind::Apdu || kind == ActionKind::Script ? SendApdu : SendEscape;
}

uint32_t ApduScriptSender(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                          uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out) {
    const uint32_t status = SendApdu(handle, slot, command, commandLength, response, responseCapacity, responseLength);
    if (status != 0) {
        std::fprintf(out, "Error: RYX_ExchangeApdu failed with error 0x%08X\n", status);
    }
    return status;
}

uint32_t EscapeScriptSender(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                            uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out) {
    const uint32_t status =
        SendEscape(handle, slot, command, commandLength, response, responseCapacity, responseLength);
    if (status != 0) {
        std::fprintf(out, "Error: RYX_Control failed with error 0x%08X\n", status);
    }
    return status;
}

ScriptSender ScriptSenderOf(ActionKind kind) {
    return SendOf(kind) == SendApdu ? ApduScriptSender : EscapeScriptSender;
}

}  // namespace ryx_test
