// The two ways a script command reaches the reader: as an APDU for the card, or as a reader escape command.
#ifndef RYX_TEST_SCRIPT_SENDERS_H
#define RYX_TEST_SCRIPT_SENDERS_H

#include "script_runner.h"

namespace ryx_test {

/**
 * A ScriptSender that sends the command as an APDU with RYX_ExchangeApdu. The response capacity reaches the
 * library only as the value of the in/out length. On failure prints
 * "Error: RYX_ExchangeApdu failed with error 0x%08X\n" on `out` and returns the code.
 */
uint32_t ApduScriptSender(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                          uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out);

/**
 * A ScriptSender that passes the command to the reader with RYX_Control and RYX_CONTROL_ESCAPE. On failure prints
 * "Error: RYX_Control failed with error 0x%08X\n" on `out` and returns the code.
 */
uint32_t EscapeScriptSender(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                            uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out);

}  // namespace ryx_test

#endif
