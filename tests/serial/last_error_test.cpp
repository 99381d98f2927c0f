#include "serial/last_error.h"

#include <cerrno>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>
#include <ryx.h>

namespace ryx {
namespace {

struct ErrnoCase {
    int error;
    std::uint32_t status;
};

TEST(ErrnoToStatus, MapsEachErrnoToItsWin32Number) {
    const ErrnoCase cases[] = {
        {ENOENT, RYX_ERROR_FILE_NOT_FOUND},
        {ENXIO, RYX_ERROR_FILE_NOT_FOUND},
        {ENODEV, RYX_ERROR_FILE_NOT_FOUND},
        {EACCES, RYX_ERROR_ACCESS_DENIED},
        {EPERM, RYX_ERROR_ACCESS_DENIED},
        {EBUSY, RYX_ERROR_ACCESS_DENIED},
        {ENOTTY, RYX_ERROR_INVALID_PARAMETER},
        {EINVAL, RYX_ERROR_INVALID_PARAMETER},
        {EIO, RYX_ERROR_IO_DEVICE},
        {ENOMEM, RYX_ERROR_NOT_ENOUGH_MEMORY},
        // Everything else keeps its errno under the customer bit; a refused lock's EWOULDBLOCK is translated
        // where the lock is taken, since EAGAIN elsewhere means no access problem.
        {EAGAIN, 0x20000000u | EAGAIN},
        {EBADF, 0x20000009u},
        {ENAMETOOLONG, 0x20000024u},
        {ELOOP, 0x20000000u | ELOOP},
    };
    for (const ErrnoCase& c : cases) {
        EXPECT_EQ(ErrnoToStatus(c.error), c.status) << "errno " << c.error;
    }
}

TEST(SerialLastError, IsKeptPerThread) {
    SetSerialLastError(RYX_ERROR_IO_DEVICE);
    std::uint32_t seenByOther = 1;
    std::thread other([&seenByOther] {
        seenByOther = SerialLastError();
        SetSerialLastError(RYX_ERROR_ACCESS_DENIED);
    });
    other.join();
    EXPECT_EQ(seenByOther, RYX_SUCCESS);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_IO_DEVICE);
}

}  // namespace
}  // namespace ryx
