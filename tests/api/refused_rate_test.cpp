// A host port that cannot run a rate: the library must find out before it asks the reader to switch.
// The port here is a real pty; ioctl is interposed so that setting 500000 bit/s fails as it would on a UART whose
// clock cannot make that rate.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

#include "reader_fixture.h"

namespace {
std::atomic<bool> g_refuse500000{false};
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    using Real = int (*)(int, unsigned long, void*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    if (g_refuse500000 && (request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2) &&
        static_cast<const termios2*>(argument)->c_ospeed == 500000) {
        errno = EINVAL;
        return -1;
    }
    return real(fd, request, argument);
}

namespace ryx::test {
namespace {

using RefusedRateTest = ReaderTest;

TEST_F(RefusedRateTest, TheSystemCodeIsReturnedAndTheReaderIsNotAsked) {
    StartReader();
    sim_->ClearRecords();
    g_refuse500000 = true;
    EXPECT_EQ(RYX_SetBaudRate(handle_, 500000), RYX_ERROR_INVALID_PARAMETER);  // EINVAL: a setting refused
    g_refuse500000 = false;
    EXPECT_TRUE(sim_->ReceivedFrames().empty());
    std::uint32_t rate = 0;
    ASSERT_EQ(RYX_GetBaudRate(handle_, &rate), RYX_SUCCESS);
    EXPECT_EQ(rate, 9600u);
    EXPECT_EQ(sim_->Rate(), 9600u);
    // Nothing was disturbed: the reader still answers at the old rate.
    std::uint32_t status = 0;
    EXPECT_EQ(RYX_GetIccStatus(handle_, 0, &status), RYX_SUCCESS);
}

}  // namespace
}  // namespace ryx::test
