// Line rates of the serial layer on a real pseudo-terminal, read back independently from the kernel.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include <gtest/gtest.h>
#include <ryx.h>

#include "kernel_speed.h"
#include "support/pty_pair.h"
#include "serial/last_error.h"
#include "serial/serial_port.h"

namespace ryx {
namespace {

// The reader's rate table, the non-standard 128000, 250000 and 256000 included.
constexpr std::uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200, 128000, 230400, 250000, 256000, 500000};

std::uint32_t KernelRate(const test::PtyPair& pty) {
    test::KernelSpeed speed;
    EXPECT_TRUE(test::ReadKernelSpeed(pty.slave(), &speed));
    EXPECT_EQ(speed.input, speed.output);
    return speed.output;
}

// Sets flag in one field of the line's settings from the master's side, as another program on the line would;
// returns the settings written.
termios WithFlagSet(const test::PtyPair& pty, tcflag_t termios::*field, tcflag_t flag) {
    termios t{};
    EXPECT_EQ(::tcgetattr(pty.master(), &t), 0);
    t.*field |= flag;
    EXPECT_EQ(::tcsetattr(pty.master(), TCSANOW, &t), 0);
    return t;
}

// The kernel and the serial layer both say the line runs at rate.
void ExpectRate(const test::PtyPair& pty, SerialHandle port, std::uint32_t rate) {
    EXPECT_EQ(KernelRate(pty), rate);
    std::uint32_t reported = 0;
    EXPECT_TRUE(SerialGetBaudRate(port, &reported));
    EXPECT_EQ(reported, rate);
}

TEST(SerialBaudRate, OpensAtEachRateOfTheTable) {
    test::PtyPair pty;
    for (const std::uint32_t rate : kRates) {
        const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), rate, 8, 'N', 1, 'N');
        ASSERT_NE(port, kInvalidSerialHandle) << rate << ": " << SerialLastError();
        ExpectRate(pty, port, rate);
        SerialClose(port);
    }
}

TEST(SerialBaudRate, SetChangesOnlyTheRate) {
    test::PtyPair pty;
    const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'O', 2, 'S');
    ASSERT_NE(port, kInvalidSerialHandle) << SerialLastError();
    // A flag the serial layer never sets: it must survive every rate change.
    const termios marked = WithFlagSet(pty, &termios::c_iflag, IGNCR);
    for (const std::uint32_t rate : kRates) {
        ASSERT_TRUE(SerialSetBaudRate(port, rate)) << rate << ": " << SerialLastError();
        ExpectRate(pty, port, rate);
        termios now{};
        ASSERT_EQ(::tcgetattr(pty.master(), &now), 0);
        EXPECT_EQ(now.c_iflag, marked.c_iflag) << rate;
        EXPECT_EQ(now.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD),
                  marked.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD))
            << rate;
        EXPECT_EQ(now.c_lflag, marked.c_lflag) << rate;
    }
    SerialClose(port);
}

TEST(SerialBaudRate, SetToTheCurrentRateWritesNothing) {
    test::PtyPair pty;
    const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), 115200, 8, 'N', 1, 'N');
    ASSERT_NE(port, kInvalidSerialHandle) << SerialLastError();
    // With EXTPROC set and the master in packet mode, every write of the slave's settings posts TIOCPKT_IOCTL
    // to the master, so a write that should not happen can be seen.
    (void)WithFlagSet(pty, &termios::c_lflag, EXTPROC);
    int on = 1;
    ASSERT_EQ(::ioctl(pty.master(), TIOCPKT, &on), 0);
    pollfd p{pty.master(), POLLIN | POLLPRI, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 0);

    EXPECT_TRUE(SerialSetBaudRate(port, 115200));
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the settings were written";

    // The detector works: a real change is seen, and leaves the marker flag in place.
    EXPECT_TRUE(SerialSetBaudRate(port, 57600));
    ASSERT_EQ(::poll(&p, 1, 0), 1);
    std::uint8_t status = 0;
    ASSERT_EQ(::read(pty.master(), &status, 1), 1);
    EXPECT_NE(status & TIOCPKT_IOCTL, 0);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.master(), &after), 0);
    EXPECT_NE(after.c_lflag & EXTPROC, 0u);
    SerialClose(port);
}

TEST(SerialBaudRate, UnreadableSettingsReportRateZero) {
    char file[] = "/tmp/ryx-serial-rate-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    std::uint32_t rate = 1234;
    EXPECT_FALSE(SerialGetBaudRate(fd, &rate));
    EXPECT_EQ(rate, 0u);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_INVALID_PARAMETER);  // ENOTTY
    EXPECT_FALSE(SerialSetBaudRate(fd, 9600));
    EXPECT_EQ(SerialLastError(), RYX_ERROR_INVALID_PARAMETER);
    ::close(fd);
    ::unlink(file);
    rate = 1234;
    EXPECT_FALSE(SerialGetBaudRate(kInvalidSerialHandle, &rate));
    EXPECT_EQ(rate, 0u);
}

TEST(SerialBaudRate, RateZeroIsRefused) {
    test::PtyPair pty;
    const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), 38400, 8, 'N', 1, 'N');
    ASSERT_NE(port, kInvalidSerialHandle) << SerialLastError();
    EXPECT_FALSE(SerialSetBaudRate(port, 0));
    EXPECT_EQ(SerialLastError(), RYX_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(KernelRate(pty), 38400u);
    SerialClose(port);
}

}  // namespace
}  // namespace ryx
