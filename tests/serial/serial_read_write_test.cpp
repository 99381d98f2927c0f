// Reads, writes and purges through the serial layer, with the test as the far end of a real pseudo-terminal.
#include <sys/ioctl.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <ryx.h>

#include "support/pty_pair.h"
#include "serial/last_error.h"
#include "serial/serial_port.h"

namespace ryx {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A read (waiting up to `readTimeoutMs`) that fails within `boundMs` with `readError`, then a write that fails too:
// neither moves a byte.
void ExpectReadAndWriteFail(SerialHandle port, std::uint32_t readTimeoutMs, long long boundMs,
                            std::uint32_t readError) {
    std::uint8_t buffer[4] = {0x02, 0x03};
    std::uint32_t count = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(SerialRead(port, buffer, sizeof buffer, &count, readTimeoutMs));
    EXPECT_LT(MsSince(start), boundMs);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SerialLastError(), readError);
    count = 99;
    EXPECT_FALSE(SerialWrite(port, buffer, 2, &count));
    EXPECT_EQ(count, 0u);
}

class SerialIo : public testing::Test {
protected:
    void SetUp() override {
        port_ = SerialOpenA(pty_.slavePath().c_str(), 115200, 8, 'N', 1, 'N');
        ASSERT_NE(port_, kInvalidSerialHandle) << SerialLastError();
    }
    void TearDown() override { SerialClose(port_); }

    test::PtyPair pty_;
    SerialHandle port_ = kInvalidSerialHandle;
};

TEST_F(SerialIo, ReturnsQueuedBytesAtOnceEvenFewerThanAsked) {
    pty_.Send({0x02, 0x01, 0x03});
    ASSERT_TRUE(pty_.WaitQueued(3));
    std::uint8_t buffer[10] = {};
    std::uint32_t got = 99;
    const auto start = Clock::now();
    ASSERT_TRUE(SerialRead(port_, buffer, sizeof buffer, &got, 0));
    EXPECT_LT(MsSince(start), 450);  // no waiting out the pass
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{0x02, 0x01, 0x03}));
}

TEST_F(SerialIo, TakesAtMostTheCountAskedFor) {
    const Bytes sent = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    pty_.Send(sent);
    ASSERT_TRUE(pty_.WaitQueued(sent.size()));
    std::uint8_t buffer[16] = {};
    std::uint32_t got = 0;
    ASSERT_TRUE(SerialRead(port_, buffer, 4, &got, 1000));
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2, 3, 4}));
    ASSERT_TRUE(SerialRead(port_, buffer, sizeof buffer, &got, 1000));
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{5, 6, 7, 8, 9, 10}));
}

TEST_F(SerialIo, ZeroTimeOutMakesExactlyOnePass) {
    std::uint8_t buffer[4];
    std::uint32_t got = 99;
    SetSerialLastError(0);
    const auto start = Clock::now();
    EXPECT_FALSE(SerialRead(port_, buffer, sizeof buffer, &got, 0));
    const long long elapsed = MsSince(start);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_TIMEOUT);
    EXPECT_GE(elapsed, 450);  // one whole 500 ms pass ...
    EXPECT_LT(elapsed, 990);  // ... and not a second one
}

TEST_F(SerialIo, TimeOutIsTestedOnlyBetweenPasses) {
    std::uint8_t buffer[4];
    std::uint32_t got = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(SerialRead(port_, buffer, sizeof buffer, &got, 600));
    const long long elapsed = MsSince(start);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_TIMEOUT);
    EXPECT_GE(elapsed, 950);  // 600 ms ends only after the second pass
    EXPECT_LT(elapsed, 5000);
}

TEST_F(SerialIo, PeerHangUpFailsReadsAndWritesPromptly) {
    pty_.CloseMaster();
    ExpectReadAndWriteFail(port_, 10000, 2500, RYX_ERROR_IO_DEVICE);
    EXPECT_EQ(SerialLastError(), RYX_ERROR_IO_DEVICE);
}

TEST_F(SerialIo, WriteWaitsForRoomUntilEveryByteIsOut) {
    // Far more than a pty buffers, so the writer has to wait for the reader several times.
    Bytes sent(256 * 1024);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    Bytes received;
    std::thread farEnd([&] { received = pty_.Receive(sent.size()); });
    std::uint32_t wrote = 0;
    const bool ok = SerialWrite(port_, sent.data(), static_cast<std::uint32_t>(sent.size()), &wrote);
    farEnd.join();
    EXPECT_TRUE(ok) << SerialLastError();
    EXPECT_EQ(wrote, sent.size());
    EXPECT_TRUE(received == sent) << "received " << received.size() << " bytes";
}

TEST_F(SerialIo, PurgeDiscardsQueuedInput) {
    pty_.Send({1, 2, 3, 4, 5});
    ASSERT_TRUE(pty_.WaitQueued(5));
    EXPECT_TRUE(SerialPurge(port_));
    int queued = -1;
    ASSERT_EQ(::ioctl(pty_.slave(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0);
    pty_.Send({6});  // what comes after a purge is kept
    std::uint8_t buffer[8];
    std::uint32_t got = 0;
    ASSERT_TRUE(SerialRead(port_, buffer, sizeof buffer, &got, 5000));
    EXPECT_EQ(Bytes(buffer, buffer + got), Bytes{6});
}

TEST(SerialIoHandle, AnInvalidHandleFailsWithoutWaiting) {
    ExpectReadAndWriteFail(kInvalidSerialHandle, 0, 450, RYX_ERROR_SYSTEM_BIT | 9u);  // EBADF
    EXPECT_FALSE(SerialPurge(kInvalidSerialHandle));
    std::uint32_t discarded = 0;
    bool wentQuiet = true;
    EXPECT_FALSE(SerialDrain(kInvalidSerialHandle, 10, 10, &discarded, &wentQuiet));
    EXPECT_FALSE(wentQuiet);
    SerialClose(kInvalidSerialHandle);  // harmless
}

}  // namespace
}  // namespace ryx
