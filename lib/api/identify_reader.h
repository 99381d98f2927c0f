// Finding a reader's line speed and model at open.
#pragma once

#include <cstdint>
#include <span>

#include "api/reader_context.h"

namespace ryx {

// The firmware-version escape command; its reply carries 5 header bytes, then the version text.
inline constexpr std::uint8_t kFirmwareVersionCommand[5] = {0xE0, 0x00, 0x00, 0x18, 0x00};
inline constexpr std::uint32_t kFirmwareReplySize = 35;

struct ReaderModel {
    const char* text;  // compared byte for byte at reply byte 5
    std::uint32_t bytesCompared;
    std::uint32_t minimumReplyLength;
    std::uint32_t slotCount;
    std::uint32_t maxBlockSize;
    const SlotDescriptor* descriptors;  // one per slot
};

// The model named by a firmware-version reply, or nullptr. Models are tested in table order, each only when the
// reply is long enough for it. Pure.
[[nodiscard]] const ReaderModel* FindReaderModel(std::span<const std::uint8_t> reply) noexcept;

// Initialises reader for the open port and scans the rate table until the reader names a known model. On
// success the slot table and the working link settings are in place and the port runs at the rate found.
// Returns 0, 8, or the outcome of the last attempt (31 when the reader answered with an unknown model).
[[nodiscard]] std::uint32_t IdentifyReader(ReaderContext& reader, SerialHandle port);

}  // namespace ryx
