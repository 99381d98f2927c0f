// The line rate as the kernel holds it (termios2), read independently of the library's own code.
#pragma once

#include <cstdint>

namespace ryx::test {

struct KernelSpeed {
    std::uint32_t input = 0;
    std::uint32_t output = 0;
};

// False when the port's settings cannot be read.
[[nodiscard]] bool ReadKernelSpeed(int fd, KernelSpeed* speed);

}  // namespace ryx::test
