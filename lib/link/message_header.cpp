#include "link/messages.h"

namespace ryx {

std::uint8_t NextSequence(Link& link) noexcept {
    return link.sequence++;  // uint8_t: 255 is followed by 0
}

void BuildMessageHeader(std::uint8_t* out, std::uint8_t type, std::uint32_t dwLength, std::uint8_t slot,
                        std::uint8_t seq, std::uint8_t specific7, std::uint8_t specific8,
                        std::uint8_t specific9) noexcept {
    out[0] = type;
    out[1] = static_cast<std::uint8_t>(dwLength);
    out[2] = static_cast<std::uint8_t>(dwLength >> 8);
    out[3] = static_cast<std::uint8_t>(dwLength >> 16);
    out[4] = static_cast<std::uint8_t>(dwLength >> 24);
    out[5] = slot;
    out[6] = seq;
    out[7] = specific7;
    out[8] = specific8;
    out[9] = specific9;
}

std::uint32_t MessageDataLength(const std::uint8_t* header) noexcept {
    return std::uint32_t{header[1]} | std::uint32_t{header[2]} << 8 | std::uint32_t{header[3]} << 16 |
           std::uint32_t{header[4]} << 24;
}

}  // namespace ryx
