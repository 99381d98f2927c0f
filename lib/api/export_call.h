// The one code path every export that takes a handle runs through: find the handle, check the arguments, hold
// the reader's lock for the work, and turn anything thrown into a status code so that nothing crosses the C API.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include <ryx.h>

#include "api/reader_context.h"
#include "api/registry.h"

namespace ryx {

// Runs work(context) under the reader's lock. badArguments(context) is asked first, without the lock (it reads
// only what does not change after open, such as slotCount); true gives 87 with nothing changed.
// Returns 6 for an unknown handle, 87, 8 when memory runs out, or what work returns.
//
// A handle's life: the reference RegistryFind hands out keeps the context alive until this call returns, however
// RYX_Close runs meanwhile. Once RYX_Close has begun, a call that looks the handle up gets 6, and so does one that
// found it earlier but takes the reader's lock only after the close: both touch nothing.
template <typename BadArguments, typename Work>
[[nodiscard]] std::uint32_t CallReader(RYX_HANDLE handle, BadArguments&& badArguments, Work&& work) noexcept {
    try {
        const std::shared_ptr<ReaderContext> context = RegistryFind(handle);
        if (context == nullptr || !context->IsOpen()) return RYX_ERROR_INVALID_HANDLE;
        if (badArguments(static_cast<const ReaderContext&>(*context))) return RYX_ERROR_INVALID_PARAMETER;
        std::lock_guard guard(context->lock);
        if (!context->IsOpen()) return RYX_ERROR_INVALID_HANDLE;
        return work(*context);
    } catch (const std::bad_alloc&) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return RYX_ERROR_GEN_FAILURE;
    }
}

// The translation card operations apply as their last step, after the lock is released.
[[nodiscard]] constexpr std::uint32_t RemapCardResult(std::uint32_t status) noexcept {
    switch (status) {
        case RYX_ERROR_NO_MEDIA_IN_DRIVE:
            return RYX_W_REMOVED_CARD;
        case RYX_ERROR_UNRECOGNIZED_MEDIA:
            return RYX_W_UNSUPPORTED_CARD;
        default:
            return status;
    }
}

// Clears an optional out-value when the call failed.
inline std::uint32_t ClearOnFailure(std::uint32_t status, std::uint32_t* out) noexcept {
    if (status != RYX_SUCCESS && out != nullptr) *out = 0;
    return status;
}

}  // namespace ryx
