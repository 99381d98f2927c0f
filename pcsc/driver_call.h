// What every IFDH function does around its work: no exception reaches pcscd, and a Lun names an open reader's slot.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <shared_mutex>

#include "pcsc/log.h"
#include "pcsc/pcsc_headers.h"
#include "pcsc/reader_table.h"

namespace ryx::pcsc {

/**
 * Runs body() and returns its code; an exception (out of memory, in practice) is logged and becomes
 * IFD_COMMUNICATION_ERROR. `function` names the IFDH function in the log.
 */
template <class Body>
RESPONSECODE Guarded(const char* function, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        LogError("%s: %s", function, e.what());
    } catch (...) {
        LogError("%s: unexpected exception", function);
    }
    return IFD_COMMUNICATION_ERROR;
}

// An open reader and one of its slots, as named by a Lun. Destroyed in reverse order: the line lock is released
// before the reader reference.
struct SlotRef {
    std::shared_ptr<Reader> reader;            // keeps the Reader alive for the call
    std::shared_lock<std::shared_mutex> line;  // keeps reader->Handle() open (it is null while the reader is gone)
    std::uint32_t slot = 0;
    SlotState* state = nullptr;
};

/**
 * The reader and slot of a Lun, with the reader's line lock held. Logs and returns false when no channel is open
 * for the Lun's reader part or the slot part is not below the reader's slot count. While the reader is gone, the
 * handle is null and every library call on it fails at once with RYX_ERROR_INVALID_HANDLE.
 */
[[nodiscard]] inline bool FindSlot(DWORD lun, const char* function, SlotRef& out) {
    out.reader = FindReader(lun);
    if (!out.reader) {
        LogError("%s: no reader open for Lun 0x%lX", function, static_cast<unsigned long>(lun));
        return false;
    }
    out.slot = SlotIndex(lun);
    if (out.slot >= out.reader->SlotCount()) {
        LogError("%s: Lun 0x%lX names slot %u of a reader with %u slots", function, static_cast<unsigned long>(lun),
                 out.slot, out.reader->SlotCount());
        return false;
    }
    out.state = &out.reader->Slot(out.slot);
    out.line = std::shared_lock(out.reader->LineMutex());
    return true;
}

/**
 * The slot's presence as IFDHICCPresence reports it: what the presence monitor saw when it runs, else the reader's
 * answer. The slot's mutex must be held. `report`: pcscd is told (IFDHPolling then waits for a change from it).
 */
[[nodiscard]] RESPONSECODE SlotPresence(SlotRef& ref, bool report);

using PollingFunction = RESPONSECODE (*)(DWORD lun, int timeoutMs);
using StopPollingFunction = RESPONSECODE (*)(DWORD lun);
/** The function pcscd runs as a slot's polling thread (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT). */
[[nodiscard]] PollingFunction PollingThread() noexcept;
/** The function pcscd calls to end it (TAG_IFD_STOP_POLLING_THREAD). */
[[nodiscard]] StopPollingFunction StopPollingThread() noexcept;

}  // namespace ryx::pcsc
