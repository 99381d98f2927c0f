// The chaining decisions of an APDU exchange in PC_to_RDR_XfrBlock messages: which block goes next, with which
// wLevelParameter. Pure, so that a fuzzer can drive whole chains without a reader.
#pragma once

#include <cstdint>

namespace ryx {

// wLevelParameter of a command block.
inline constexpr std::uint16_t kLevelBeginsAndEnds = 0x0000;  // the whole APDU in one block
inline constexpr std::uint16_t kLevelBegins = 0x0001;         // the APDU begins here and continues
inline constexpr std::uint16_t kLevelEnds = 0x0002;           // continues and ends here
inline constexpr std::uint16_t kLevelContinues = 0x0003;      // continues, more follows
inline constexpr std::uint16_t kLevelEmpty = 0x0010;          // no data: asks for the next part of the response

// bChainParameter of a RDR_to_PC_DataBlock.
inline constexpr std::uint8_t kChainBeginsAndEnds = 0x00;
inline constexpr std::uint8_t kChainBegins = 0x01;
inline constexpr std::uint8_t kChainEnds = 0x02;
inline constexpr std::uint8_t kChainContinues = 0x03;
inline constexpr std::uint8_t kChainMoreCommand = 0x10;  // the reader expects more command data

// One command block: its offset in the APDU (bytes already sent), size and wLevelParameter.
struct XfrBlock {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint16_t levelParameter = kLevelBeginsAndEnds;
};

// The first block of an APDU of length bytes with blocks of at most maxBlockSize bytes.
[[nodiscard]] XfrBlock FirstXfrBlock(std::uint32_t length, std::uint32_t maxBlockSize) noexcept;

enum class XfrChainAction {
    kDone,      // the response is complete
    kSendNext,  // send XfrChainStep::next
    kFail,      // the reply's chain parameter is not one the reader may send (ERROR_GEN_FAILURE)
};

struct XfrChainStep {
    XfrChainAction action = XfrChainAction::kFail;
    XfrBlock next;  // meaningful for kSendNext only
};

// What follows a reply with chainParameter, once sent of the length command bytes have gone out (sent <= length).
// While command bytes remain, a reply asking for more (of either kind) is answered with the next command block;
// once all are sent, with the empty block. A reply that ends the response ends the exchange even if command bytes
// remain unsent.
[[nodiscard]] XfrChainStep NextXfrStep(std::uint32_t length, std::uint32_t sent, std::uint32_t maxBlockSize,
                                       std::uint8_t chainParameter) noexcept;

}  // namespace ryx
