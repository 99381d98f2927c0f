// The thread-local last-error value of the serial layer, in Win32 error numbers (the platform's GetLastError).
#pragma once

#include <cstdint>

namespace ryx {

// The code left by the last failing serial operation on this thread.
[[nodiscard]] std::uint32_t SerialLastError() noexcept;
void SetSerialLastError(std::uint32_t code) noexcept;

// Maps an errno value to the Win32 number the library reports (see ryx.h, "Port errors").
[[nodiscard]] std::uint32_t ErrnoToStatus(int error) noexcept;

}  // namespace ryx
