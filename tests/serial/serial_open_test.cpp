// Opening and configuring a real pseudo-terminal through the serial layer.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <ryx.h>

#include "kernel_speed.h"
#include "support/pty_pair.h"
#include "serial/last_error.h"
#include "serial/serial_port.h"

namespace ryx {
namespace {

using test::OpenFdCount;
using test::PtyPair;

termios SettingsOf(const PtyPair& pty) {
    termios t{};
    EXPECT_EQ(::tcgetattr(pty.master(), &t), 0);  // a pty master reads and writes the slave's settings
    return t;
}

bool IsExclusive(const PtyPair& pty) {
    int exclusive = -1;
    EXPECT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
    return exclusive != 0;
}

// Cooked settings with a little of everything, so that anything kept from before shows up.
void MakeDirty(const PtyPair& pty) {
    termios t = SettingsOf(pty);
    t.c_iflag = ICRNL | IXON | ISTRIP | IGNBRK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 7;
    t.c_cc[VSTART] = 'q';
    t.c_cc[VSTOP] = 's';
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &t), 0);
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ryx-serial-XXXXXX";
        path_ = ::mkdtemp(pattern) ? pattern : "";
        EXPECT_FALSE(path_.empty());
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

TEST(SerialOpen, SetsARawLineFromScratch) {
    PtyPair pty;
    MakeDirty(pty);
    const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
    ASSERT_NE(port, kInvalidSerialHandle) << SerialLastError();
    const termios t = SettingsOf(pty);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    test::KernelSpeed speed;
    ASSERT_TRUE(test::ReadKernelSpeed(pty.slave(), &speed));
    EXPECT_EQ(speed.output, 9600u);
    EXPECT_EQ(speed.input, 9600u);
    EXPECT_TRUE(IsExclusive(pty));
    SerialClose(port);
    EXPECT_FALSE(IsExclusive(pty));
}

TEST(SerialOpen, AppliesEachLetterInEitherCase) {
    // A pty forces 8 data bits and clears PARENB on every setting; the other parity bits are kept as given.
    const struct {
        char parity;
        std::uint8_t stopBits;
        char flow;
        tcflag_t control;
        tcflag_t input;
    } cases[] = {
        {'N', 1, 'N', 0, 0},
        {'E', 1, 'N', 0, INPCK},
        {'O', 1, 'N', PARODD, INPCK},
        {'M', 1, 'N', CMSPAR | PARODD, INPCK},
        {'S', 1, 'N', CMSPAR, INPCK},
        {'N', 2, 'N', CSTOPB, 0},
        {'N', 1, 'H', CRTSCTS, 0},
        {'N', 1, 'S', 0, IXON | IXOFF},
        {'o', 2, 'h', PARODD | CSTOPB | CRTSCTS, INPCK},
        {'m', 1, 's', CMSPAR | PARODD, INPCK | IXON | IXOFF},
        {'e', 1, 'n', 0, INPCK},
        {'s', 2, 'N', CMSPAR | CSTOPB, INPCK},
    };
    PtyPair pty;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.parity << ' ' << int{c.stopBits} << ' ' << c.flow);
        const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), 19200, 8, c.parity, c.stopBits, c.flow);
        ASSERT_NE(port, kInvalidSerialHandle) << SerialLastError();
        const termios t = SettingsOf(pty);
        EXPECT_EQ(t.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD), CS8 | CREAD | CLOCAL | c.control);
        EXPECT_EQ(t.c_iflag, c.input);
        SerialClose(port);
    }
}

TEST(SerialOpen, RefusedLettersLeaveThePortClosedAndUntouched) {
    const struct {
        char parity;
        std::uint8_t stopBits;
        char flow;
    } cases[] = {{'X', 1, 'N'}, {'N', 0, 'N'}, {'N', 3, 'N'}, {'N', 15, 'N'}, {'N', 1, 'R'}, {'E', 1, 0}};
    PtyPair pty;
    MakeDirty(pty);
    const termios before = SettingsOf(pty);
    const int fds = OpenFdCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.parity << ' ' << int{c.stopBits} << ' ' << c.flow);
        SetSerialLastError(0);
        EXPECT_EQ(SerialOpenA(pty.slavePath().c_str(), 9600, 8, c.parity, c.stopBits, c.flow), kInvalidSerialHandle);
        EXPECT_EQ(SerialLastError(), RYX_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(OpenFdCount(), fds);
        EXPECT_FALSE(IsExclusive(pty));
        const termios after = SettingsOf(pty);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    }
    // Nothing of the failed opens holds the port.
    const SerialHandle port = SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
    EXPECT_NE(port, kInvalidSerialHandle) << SerialLastError();
    SerialClose(port);
}

TEST(SerialOpen, SecondOpenOfAnOpenPortIsDenied) {
    PtyPair pty;
    const SerialHandle first = SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
    ASSERT_NE(first, kInvalidSerialHandle) << SerialLastError();
    const int fds = OpenFdCount();
    EXPECT_EQ(SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'N', 1, 'N'), kInvalidSerialHandle);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenFdCount(), fds);
    SerialClose(first);
    const SerialHandle again = SerialOpenA(pty.slavePath().c_str(), 9600, 8, 'N', 1, 'N');
    EXPECT_NE(again, kInvalidSerialHandle) << SerialLastError();
    SerialClose(again);
}

TEST(SerialOpen, ReportsWhyAPathIsNoPort) {
    char file[] = "/tmp/ryx-serial-file-XXXXXX";
    const int fileFd = ::mkstemp(file);
    ASSERT_GE(fileFd, 0);
    ::close(fileFd);
    const struct {
        const char* path;
        std::uint32_t status;
    } cases[] = {
        {"/nonexistent-dir/ttyS0", RYX_ERROR_FILE_NOT_FOUND},
        {"/dev/ryx-no-such-port", RYX_ERROR_FILE_NOT_FOUND},
        {file, RYX_ERROR_INVALID_PARAMETER},         // a regular file is no tty
        {"/dev/null", RYX_ERROR_INVALID_PARAMETER},  // nor is every device
        {"", RYX_ERROR_FILE_NOT_FOUND},
    };
    const int fds = OpenFdCount();
    for (const auto& c : cases) {
        EXPECT_EQ(SerialOpenA(c.path, 9600, 8, 'N', 1, 'N'), kInvalidSerialHandle) << c.path;
        EXPECT_EQ(SerialLastError(), c.status) << c.path;
        EXPECT_EQ(OpenFdCount(), fds) << c.path;
    }
    ::unlink(file);
}

TEST(SerialOpenW, OpensANonAsciiName) {
    PtyPair pty;
    TempDir dir;
    // "pört-Ж-😀": two- and three-byte characters and a surrogate pair.
    const std::string link = dir.path() + "/p\xC3\xB6rt-\xD0\x96-\xF0\x9F\x98\x80";
    ASSERT_EQ(::symlink(pty.slavePath().c_str(), link.c_str()), 0);
    const std::u16string name = Widen(dir.path()) + u"/p\u00F6rt-\u0416-\U0001F600";
    const SerialHandle port = SerialOpenW(name.c_str(), 38400, 8, 'N', 1, 'N');
    ASSERT_NE(port, kInvalidSerialHandle) << SerialLastError();
    EXPECT_TRUE(IsExclusive(pty));
    SerialClose(port);
}

TEST(SerialOpenW, RefusesAnUnpairedSurrogateWithoutTouchingAnyDevice) {
    PtyPair pty;
    TempDir dir;
    // The name a lenient encoder would make of the lone surrogate leads to the pty: it must stay unopened.
    const std::string link = dir.path() + "/x\xED\xA0\x80";
    ASSERT_EQ(::symlink(pty.slavePath().c_str(), link.c_str()), 0);
    const std::u16string name = Widen(dir.path()) + u"/x\xD800";
    MakeDirty(pty);
    const termios before = SettingsOf(pty);
    EXPECT_EQ(SerialOpenW(name.c_str(), 9600, 8, 'N', 1, 'N'), kInvalidSerialHandle);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_INVALID_NAME);
    EXPECT_FALSE(IsExclusive(pty));
    EXPECT_EQ(SettingsOf(pty).c_lflag, before.c_lflag);
}

}  // namespace
}  // namespace ryx
