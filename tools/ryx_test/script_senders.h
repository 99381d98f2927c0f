// The two ways a script command reaches the reader: as an APDU for the card, or as a reader escape command.
#pragma once

#include "cli_options.h"
#include "script_runner.h"

namespace ryx_test {

/**
 * Sends one command and receives its response, printing nothing. The arguments are a ScriptSender's without the
 * stream; returns 0 or the library's error code.
 */
using CommandSend = uint32_t (*)(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                                 uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength);

/** Sends the command as an APDU with RYX_ExchangeApdu; the capacity reaches the library only as *responseLength. */
uint32_t SendApdu(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                  uint32_t responseCapacity, uint32_t* responseLength);

/** Passes the command to the reader with RYX_Control and RYX_CONTROL_ESCAPE. */
uint32_t SendEscape(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength, uint8_t* response,
                    uint32_t responseCapacity, uint32_t* responseLength);

/** SendApdu for the APDU actions (Apdu, Script), SendEscape for the escape actions. */
CommandSend SendOf(ActionKind kind);

/**
 * A ScriptSender that sends the command with SendApdu. On failure prints
 * "Error: RYX_ExchangeApdu failed with error 0x%08X\n" on `out` and returns the code.
 */
uint32_t ApduScriptSender(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                          uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out);

/**
 * A ScriptSender that sends the command with SendEscape. On failure prints
 * "Error: RYX_Control failed with error 0x%08X\n" on `out` and returns the code.
 */
uint32_t EscapeScriptSender(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                            uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out);

/** ApduScriptSender for the APDU actions, EscapeScriptSender for the escape actions. */
ScriptSender ScriptSenderOf(ActionKind kind);

}  // namespace ryx_test
