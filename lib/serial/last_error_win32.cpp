// The serial layer's last-error value on Win32 is the thread's own GetLastError value: the failing system call
// leaves its code there, and the library reports it unchanged.
// ErrnoToStatus has no definition here: no Win32 code reports errno values.
#include "serial/last_error.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace ryx {

std::uint32_t SerialLastError() noexcept {
    return ::GetLastError();
}

void SetSerialLastError(std::uint32_t code) noexcept {
    ::SetLastError(code);
}

}  // namespace ryx
