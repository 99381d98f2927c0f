// RYX_GetNumSlots, RYX_GetTimeouts, RYX_SetTimeouts: the reader's fixed and adjustable link settings.
#include <ryx.h>

#include "api/export_call.h"

using namespace ryx;

extern "C" RYX_API uint32_t RYX_CALL RYX_GetNumSlots(RYX_HANDLE handle, uint32_t* slotCount) noexcept {
    return CallReader(
        handle, [&](const ReaderContext&) { return slotCount == nullptr; },
        [&](ReaderContext& reader) {
            *slotCount = reader.slotCount;
            return RYX_SUCCESS;
        });
}

extern "C" RYX_API uint32_t RYX_CALL RYX_GetTimeouts(RYX_HANDLE handle, LinkTimeouts* timeouts) noexcept {
    return CallReader(
        handle, [&](const ReaderContext&) { return timeouts == nullptr; },
        [&](ReaderContext& reader) {
            timeouts->statusTimeout = reader.link.statusTimeout;
            timeouts->statusRetries = reader.link.statusRetries;
            timeouts->responseTimeout = reader.link.responseTimeout;
            timeouts->responseRetries = reader.link.responseRetries;
            return RYX_SUCCESS;
        });
}

extern "C" RYX_API uint32_t RYX_CALL RYX_SetTimeouts(RYX_HANDLE handle, const LinkTimeouts* timeouts) noexcept {
    return CallReader(
        handle, [&](const ReaderContext&) { return timeouts == nullptr; },
        [&](ReaderContext& reader) {
            reader.link.statusTimeout = timeouts->statusTimeout;
            reader.link.statusRetries = timeouts->statusRetries;
            reader.link.responseTimeout = timeouts->responseTimeout;
            reader.link.responseRetries = timeouts->responseRetries;
            return RYX_SUCCESS;
        });
}
