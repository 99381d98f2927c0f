#include "api/registry.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace ryx {
namespace {

struct RegistryEntry {
    RYX_HANDLE handle;
    ReaderContext* context;
};

// Function-local statics: constructed on first use, so the registry is usable from any static initialiser and
// destroyed only at process exit.
std::mutex& RegistryLock() noexcept {
    static std::mutex lock;
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

RYX_HANDLE RegistryInsert(ReaderContext* context) noexcept {
    std::lock_guard guard(RegistryLock());
    auto& list = RegistryList();
    try {
        list.reserve(list.size() + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const auto handle = reinterpret_cast<RYX_HANDLE>(++g_lastHandle);
    list.push_back({handle, context});
    return handle;
}

ReaderContext* RegistryFind(RYX_HANDLE handle) noexcept {
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
    std::vector<RegistryEntry>().swap(RegistryList());
}

bool RegistryRemove(RYX_HANDLE handle) noexcept {
    std::lock_guard guard(RegistryLock());
    auto& list = RegistryList();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->handle == handle) {
            list.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace ryx
