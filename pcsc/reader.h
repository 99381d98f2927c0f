// One ryx reader opened through a reader.conf entry, and what the driver keeps about each of its slots.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ryx.h>

#include "pcsc/device_name.h"
#include "pcsc/pcsc_headers.h"

namespace ryx::pcsc {

// The driver's view of one slot. `mutex` is held for the whole of every operation on the slot, so that the cached
// ATR always belongs to the latest power action; pcscd serialises each slot's calls too, this only makes it sure.
struct SlotState {
    std::mutex mutex;
    std::array<std::uint8_t, MAX_ATR_SIZE> atr{};  // the ATR of the last successful power-up
    std::size_t atrLength = 0;                     // 0: no card powered through the driver
    DWORD protocol = 0;                            // SCARD_PROTOCOL_T0 or _T1 once selected, else 0

    void ClearCard() noexcept {
        atrLength = 0;
        protocol = 0;
    }
};

class Reader {
public:
    /**
     * Takes over an open ryx handle. The handle is closed (every slot powered off) when the Reader is destroyed,
     * that is when the last call using it has returned.
     * @param handle     open handle, owned from now on.
     * @param deviceName the DEVICENAME it was opened with (options included).
     * @param slotCount  RYX_GetNumSlots of the handle; at least 1.
     */
    Reader(RYX_HANDLE handle, std::string deviceName, DriverOptions options, std::uint32_t slotCount);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    [[nodiscard]] RYX_HANDLE Handle() const noexcept { return handle_; }
    [[nodiscard]] const std::string& DeviceName() const noexcept { return deviceName_; }
    [[nodiscard]] const DriverOptions& Options() const noexcept { return options_; }
    [[nodiscard]] std::uint32_t SlotCount() const noexcept { return static_cast<std::uint32_t>(slots_.size()); }
    /** The state of a slot below SlotCount(). */
    [[nodiscard]] SlotState& Slot(std::uint32_t slot) noexcept { return *slots_[slot]; }

    /** Counts a channel opened on a slot below SlotCount() (pcscd opens one per slot). */
    void OpenChannel(std::uint32_t slot);
    /** Forgets a slot's channel; true when no channel remains open on the reader. */
    [[nodiscard]] bool CloseChannel(std::uint32_t slot);

private:
    RYX_HANDLE handle_;
    std::string deviceName_;
    DriverOptions options_;
    std::vector<std::unique_ptr<SlotState>> slots_;
    std::mutex channelMutex_;
    std::vector<bool> channelOpen_;  // by slot; guarded by channelMutex_
};

}  // namespace ryx::pcsc
