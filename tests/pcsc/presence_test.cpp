// pcscd's presence poll: card in, card out, mute card, and a reader that is gone.
#include <atomic>
#include <chrono>
#include <thread>

#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

using namespace std::chrono_literals;

class PresenceTest : public DriverTest {};

TEST_F(PresenceTest, FollowsTheCard) {
    sim::Simulator& sim = StartReader();
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_PRESENT);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_ICC_NOT_PRESENT);
    ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_PRESENT);
    EXPECT_EQ(Commands(sim).back(), (Command{kGetSlotStatus, 0}));

    sim.RemoveCard(0);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_NOT_PRESENT);
    EXPECT_TRUE(CachedAtr(Lun(0, 0)).empty());  // the ATR left with the card

    sim.InsertCard(0, kBuiltInAtr);
    sim.SetMute(0, true);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_PRESENT);  // mute, but there
    EXPECT_EQ(IFDHICCPresence(Lun(9, 0)), IFD_COMMUNICATION_ERROR);
}

// The pty is closed under the driver, as when a USB serial adapter is pulled.
TEST_F(PresenceTest, VanishedReaderIsNoSuchDevice) {
    sim::Simulator& sim = StartReader();
    sim.Stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_NO_SUCH_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_NO_SUCH_DEVICE);
}

// A reader that stays on the line but no longer answers: gone once the library's own retries are used up.
TEST_F(PresenceTest, SilentReaderIsNoSuchDeviceAfterTheRetries) {
    sim::Simulator& sim = StartReader();
    sim.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_NO_SUCH_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(sim.ReceivedFrames().size(), 2u);  // the command and its one retry
    // Back on: the same channel works again.
    sim.SetSilent(false);
    EXPECT_EQ(IFDHICCPresence(Lun(0, 0)), IFD_ICC_PRESENT);
}

// pcscd's polling thread: IFDHPolling returns when the monitor sees a card come or go, IFDHICCPresence then
// answers without a question on the line, and the stop function wakes a waiting poll.
TEST_F(PresenceTest, PollingWaitsForTheMonitor) {
    sim::Simulator& sim = StartReader();
    using Poll = RESPONSECODE (*)(DWORD, int);
    using Stop = RESPONSECODE (*)(DWORD);
    Poll poll = nullptr;
    Stop stop = nullptr;
    DWORD length = sizeof poll;
    ASSERT_EQ(
        IFDHGetCapabilities(Lun(0, 1), TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, reinterpret_cast<PUCHAR>(&poll)),
        IFD_SUCCESS);
    length = sizeof stop;
    ASSERT_EQ(IFDHGetCapabilities(Lun(0, 1), TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)),
              IFD_SUCCESS);
    ASSERT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_ICC_NOT_PRESENT);  // what pcscd asks before it polls

    std::atomic<bool> returned{false};
    std::thread poller([&] {
        EXPECT_EQ(poll(Lun(0, 1), 60'000), IFD_SUCCESS);
        returned = true;
    });
    ASSERT_TRUE(sim.WaitForFrames(2, 10s));  // the monitor asks in turn
    EXPECT_FALSE(returned);
    sim.InsertCard(1, kBuiltInAtr);
    poller.join();  // bounded: the monitor asks every slot within 2 s
    const std::size_t before = Commands(sim).size();
    EXPECT_EQ(IFDHICCPresence(Lun(0, 1)), IFD_ICC_PRESENT);
    EXPECT_EQ(Commands(sim).size(), before) << "answered from what the monitor saw";

    // Nothing changed since: the poll waits until stopped.
    std::thread stopped([&] { EXPECT_EQ(poll(Lun(0, 1), 60'000), IFD_SUCCESS); });
    EXPECT_EQ(stop(Lun(0, 1)), IFD_SUCCESS);
    stopped.join();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(poll(Lun(0, 1), 200), IFD_SUCCESS);  // a stop wakes one poll only; this one runs out
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

}  // namespace
}  // namespace ryx::pcsctest
