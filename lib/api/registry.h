// The registry of open readers: what makes a handle valid. One process-wide lock guards the list, held only for
// one insert, find or remove, never during port I/O.
#pragma once

#include <memory>

#include <ryx.h>

namespace ryx {

struct ReaderContext;

// Registers context under a new handle, unique for the life of the process (a closed handle is never handed out
// again, so a stale handle can never reach a reader opened later). Returns nullptr when no memory is left; the
// registry is then unchanged. The registry holds one reference to the context until RegistryRemove.
[[nodiscard]] RYX_HANDLE RegistryInsert(std::shared_ptr<ReaderContext> context) noexcept;

// The context registered under handle, or null. Nothing behind the handle is read. The reference returned keeps
// the context alive until the caller drops it, even when the handle is closed meanwhile.
[[nodiscard]] std::shared_ptr<ReaderContext> RegistryFind(RYX_HANDLE handle) noexcept;

// Unregisters the handle; false when it was not registered.
bool RegistryRemove(RYX_HANDLE handle) noexcept;

// The library's load and unload notification (DllMain on Windows) calls these; where there is none, the lock and
// the list are created on first use and live until the process exits.
// RegistryStartup, on process attach: creates the lock and empties the list, before any export can run.
void RegistryStartup() noexcept;
// RegistryShutdown, on process detach: frees the list. Readers still open are neither closed nor freed.
void RegistryShutdown() noexcept;

}  // namespace ryx
