// What every IFDH function does around its work: no exception reaches pcscd, and a Lun names an open reader's slot.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

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

// An open reader and one of its slots, as named by a Lun.
struct SlotRef {
    std::shared_ptr<Reader> reader;  // keeps the handle open for the call
    std::uint32_t slot = 0;
    SlotState* state = nullptr;
};

/**
 * The reader and slot of a Lun. Logs and returns false when no channel is open for the Lun's reader part or the
 * slot part is not below the reader's slot count.
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
    return true;
}

}  // namespace ryx::pcsc
