// The per-reader record behind a handle: the link to the reader, its lock and its slot table.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "api/thin_lock.h"
#include "card/slot_record.h"
#include "link/link.h"

namespace ryx {

struct ReaderContext {
    Link link;
    // Serialises all work on this reader, retries and waits included. Re-entrant: protocol selection powers the
    // card off and on again through the exported functions while it holds the lock.
    ThinRecursiveLock lock;
    std::uint32_t slotCount = 0;  // 1 while the reader is being identified, then 2 or 3; fixed after open
    std::unique_ptr<SlotRecord[]> slots;
    // Set once identification has succeeded. The context is registered before its port is opened; until then a
    // forged handle that happens to name it must be refused, not served half-built.
    std::atomic<bool> ready{false};
    // Set once by the RYX_Close that wins; from then on every call on the handle is refused with 6.
    std::atomic<bool> closing{false};

    [[nodiscard]] bool IsOpen() const noexcept {
        return ready.load(std::memory_order_acquire) && !closing.load(std::memory_order_acquire);
    }
};

}  // namespace ryx
