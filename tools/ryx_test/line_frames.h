// Recognising the reader's frames in raw bytes from the line, for the checks that talk to the port directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryx_test {

/** The line speeds an open tries, in its order; the baud-change escape names a rate by its index here. */
inline constexpr std::array<uint32_t, 10> kLineRates = {9600,   19200,  38400,  57600,  115200,
                                                        128000, 230400, 250000, 256000, 500000};

/**
 * The command frame of the firmware-version escape (E0 00 00 18 00) for slot 0 with sequence number `seq`:
 * 02, the 15-byte message, the XOR of the message, 03. Pure.
 */
std::vector<uint8_t> FirmwareQueryFrame(uint8_t seq);

/** What came back on the line after one command frame. */
enum class LineAnswer {
    Nothing,  ///< no byte at all
    Echo,     ///< our own frame, byte for byte (a loopback plug, a modem echoing)
    Frames,   ///< a valid status frame and, when it accepted the command, a valid response frame
    Damaged,  ///< a status frame, then a response frame with a wrong check or end byte, or cut short
    NoFrame,  ///< bytes that form no frame (another device, noise, a wrong rate or adapter setting)
};

/** The classified reply; `firmware` holds the version text of a complete escape reply (abData from byte 5). */
struct LineReply {
    LineAnswer answer = LineAnswer::Nothing;
    std::string firmware;
};

/** Classifies `received`, everything that came back after `sent`. Pure. */
LineReply ClassifyLineReply(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received);

/** True once `received` can hold no more of an answer: the whole echo, or a status and its whole response. Pure. */
bool LineReplyComplete(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received);

/** A reader model the library drives, as its firmware text names it. */
struct KnownModel {
    const char* name;
    uint32_t slots;
    uint32_t blockSize;  ///< the largest APDU block of one XfrBlock message
};

/**
 * The model a firmware text names, by the rule the open applies: "KT4470RS_V3" (11 bytes compared), then
 * "KT4470RS" and "KT6630RS" (8 bytes), each at the start of the text. Nothing for any other text. Pure.
 */
std::optional<KnownModel> ModelOfFirmware(std::string_view firmware);

}  // namespace ryx_test
