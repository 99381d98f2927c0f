// The simulator's built-in card: a small ISO/IEC 7816-4 command set over a few transparent files.
//
//   CLA 00  A4 SELECT        P1 00 (P2 00/0C): by file identifier, Lc 2 (3F00 MF, 0101, 0102, 0103)
//                            P1 04 (P2 00/0C): by name, the application A0 00 00 05 52 59 58 01 (or its first
//                            5 bytes or more); 6A 82 not found, 67 00 wrong Lc, 6A 86 other P1/P2
//           B0 READ BINARY   offset P1 P2 (P1 < 0x80) in the selected EF, Le bytes (short or extended);
//                            62 82 when the file ends first, 6B 00 offset past the end, 69 86 no EF selected
//           D6 UPDATE BINARY offset P1 P2, Lc data; 69 82 read-only file, 6A 84 data past the end
//   CLA 80  10 ECHO          returns its data + 90 00
//           12 PATTERN       returns Le bytes (short or extended, up to 65536) of 00 01 02 .. FF 00 01 .. + 90 00;
//                            command data, if any, is read and ignored
//   anything else: 6D 00 unknown instruction, 6E 00 unknown class, 67 00 malformed length.
// Files: 0101 read-only, 16 bytes "RYX SIM CARD 1.0"; 0102 read-only, 512 bytes, byte i = i mod 256;
//        0103 read/write, 64 bytes, initially 00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ryx::sim {

struct Apdu;

inline constexpr std::uint8_t kCardAid[] = {0xA0, 0x00, 0x00, 0x05, 0x52, 0x59, 0x58, 0x01};

class BuiltInCard {
public:
    BuiltInCard();  // fresh file contents
    // Power-on or reset: the MF is selected again and no EF is current. File contents survive.
    void Reset() noexcept;
    // One command APDU in, its response APDU (data and SW1 SW2) out.
    [[nodiscard]] std::vector<std::uint8_t> Process(std::span<const std::uint8_t> command);

private:
    [[nodiscard]] std::vector<std::uint8_t> Select(const Apdu& a);
    // READ BINARY (ins B0) or UPDATE BINARY (D6) in the selected EF.
    [[nodiscard]] std::vector<std::uint8_t> ReadOrUpdateBinary(const Apdu& a, std::uint8_t ins);

    struct File {
        std::uint16_t fid;
        bool writable;
        std::vector<std::uint8_t> data;
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t current_ = kNone;  // index into files_ of the selected EF
    std::vector<File> files_;
};

}  // namespace ryx::sim
