// pcscd's presence poll: card in, card out, mute card, and a reader that is gone.
#include <chrono>

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

}  // namespace
}  // namespace ryx::pcsctest
