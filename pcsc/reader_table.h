// The readers the driver has open, by the reader part of pcscd's Lun: one loaded driver serves several
// reader.conf entries, each with a Lun of its own (0xRRRRSSSS: reader RRRR, slot SSSS).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "pcsc/pcsc_headers.h"
#include "pcsc/reader.h"

namespace ryx::pcsc {

/** The reader part of a Lun (its bits 16 to 31). */
[[nodiscard]] constexpr std::uint32_t ReaderIndex(DWORD lun) noexcept {
    return static_cast<std::uint32_t>((lun >> 16) & 0xFFFFu);
}
/** The slot part of a Lun (its low 16 bits). */
[[nodiscard]] constexpr std::uint32_t SlotIndex(DWORD lun) noexcept {
    return static_cast<std::uint32_t>(lun & 0xFFFFu);
}

/** The reader open for the Lun's reader part; null when none is. Thread-safe. */
[[nodiscard]] std::shared_ptr<Reader> FindReader(DWORD lun);

/** Enters a reader for a reader index that has none. Thread-safe. */
void InsertReader(std::uint32_t index, std::shared_ptr<Reader> reader);

/** Takes the reader out of the table and returns it (null when none). Thread-safe. */
std::shared_ptr<Reader> RemoveReader(std::uint32_t index);

/** Held around opening and closing channels, so that two of them never race for one reader index. */
[[nodiscard]] std::mutex& ChannelMutex() noexcept;

}  // namespace ryx::pcsc
