// The serial layer's last-error value on POSIX, and the translation of errno into the Win32 numbers that the
// library reports.
#include "serial/last_error.h"

#include <cerrno>

#include <ryx.h>

namespace ryx {

namespace {
// Per thread, as GetLastError is: a failure on one reader's thread never shows up as another thread's cause.
thread_local std::uint32_t lastError = RYX_SUCCESS;
}  // namespace

std::uint32_t SerialLastError() noexcept {
    return lastError;
}

void SetSerialLastError(std::uint32_t code) noexcept {
    lastError = code;
}

std::uint32_t ErrnoToStatus(int error) noexcept {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return RYX_ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
            return RYX_ERROR_ACCESS_DENIED;
        case ENOTTY:  // not a serial device
        case EINVAL:  // the driver refuses a line setting
            return RYX_ERROR_INVALID_PARAMETER;
        case EIO:
            return RYX_ERROR_IO_DEVICE;
        case ENOMEM:
            return RYX_ERROR_NOT_ENOUGH_MEMORY;
        default:
            // The customer bit keeps these apart from every number the system itself defines.
            return RYX_ERROR_SYSTEM_BIT | static_cast<std::uint32_t>(error);
    }
}

}  // namespace ryx
