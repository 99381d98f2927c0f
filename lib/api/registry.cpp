#include "api/registry.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "api/thin_lock.h"

namespace ryx {
namespace {

struct RegistryEntry {
    RYX_HANDLE handle;
    std::shared_ptr<ReaderContext> context;
};

// Function-local statics: constructed on first use, so the registry is usable from any static initialiser and
// destroyed only at process exit.
ThinLock& RegistryLock() noexcept {
    static ThinLock lock;
    return lock;
}

std::vector<RegistryEntry>& RegistryList() noexcept {
    static std::vector<RegistryEntry> list;
    return list;
}

// Handles are numbers, not addresses: a freed context whose memory is reused by a later open must not make an
// old handle valid again. 0 is never used, so a null handle is never found.
std::uintptr_t g_lastHandle = 0;

}  // namespace

RYX_HANDLE RegistryInsert(std::shared_ptr<ReaderContext> context) noexcept {
    std::lock_guard guard(RegistryLock());
    auto& list = RegistryList();
    try {
        list.reserve(list.size() + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const auto handle = reinterpret_cast<RYX_HANDLE>(++g_lastHandle);
    list.push_back({handle, std::move(context)});
    return handle;
}

std::shared_ptr<ReaderContext> RegistryFind(RYX_HANDLE handle) noexcept {
    if (handle == nullptr) return nullptr;
    std::lock_guard guard(RegistryLock());
    for (const auto& entry : RegistryList()) {
        if (entry.handle == handle) return entry.context;
    }
    return nullptr;
}

void RegistryStartup() noexcept {
    std::lock_guard guard(RegistryLock());
    RegistryList().clear();
}

void RegistryShutdown() noexcept {
    std::lock_guard guard(RegistryLock());
    // Readers still open keep their memory: their references are let go of without freeing what they hold.
    for (auto& entry : RegistryList()) {
        new (&entry.context) std::shared_ptr<ReaderContext>();  // the old reference is abandoned, not released
    }
    std::vector<RegistryEntry>().swap(RegistryList());
}

bool RegistryRemove(RYX_HANDLE handle) noexcept {
    std::shared_ptr<ReaderContext> last;  // released after the registry's lock: freeing a reader may take time
    std::lock_guard guard(RegistryLock());
    auto& list = RegistryList();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->handle == handle) {
            last = std::move(it->context);
            list.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace ryx
