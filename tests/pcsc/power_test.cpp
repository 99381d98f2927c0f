// Power up, power down and reset, with the ATR the driver caches.
#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

class PowerTest : public DriverTest {};

// An ATR of n bytes: TS, T0 with n - 2 historical bytes (at most 15 are possible in T0, so longer ones carry
// the rest as extra bytes; the reader passes whatever it has).
Bytes LongAtr(std::size_t n) {
    Bytes atr = {0x3B, 0x0F};
    while (atr.size() < n) atr.push_back(static_cast<std::uint8_t>(atr.size()));
    return atr;
}

TEST_F(PowerTest, UpDownAndReset) {
    sim::Simulator& sim = StartReader();
    Bytes atr;
    ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP, &atr), IFD_SUCCESS);
    EXPECT_EQ(atr, kBuiltInAtr);
    EXPECT_TRUE(sim.Powered(0));
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kIccPowerOn, 0}}));
    sim.ClearRecords();

    // Reset is a cold one: off, then on again.
    ASSERT_EQ(Power(Lun(0, 0), IFD_RESET, &atr), IFD_SUCCESS);
    EXPECT_EQ(atr, kBuiltInAtr);
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kIccPowerOff, 0}, {kIccPowerOn, 0}}));
    EXPECT_TRUE(sim.Powered(0));
    sim.ClearRecords();

    UCHAR buffer[MAX_ATR_SIZE];
    DWORD length = MAX_ATR_SIZE;
    ASSERT_EQ(IFDHPowerICC(Lun(0, 0), IFD_POWER_DOWN, buffer, &length), IFD_SUCCESS);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(sim.Powered(0));
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kIccPowerOff, 0}}));
    EXPECT_TRUE(CachedAtr(Lun(0, 0)).empty());
}

TEST_F(PowerTest, CardFailuresAreFailedPowerActions) {
    sim::Simulator& sim = StartReader();
    sim.InsertCard(1, kBuiltInAtr);
    sim.SetMute(1, true);
    const struct {
        DWORD lun;
        const char* what;
    } cases[] = {{Lun(0, 1), "mute card"}, {Lun(0, 0), "no card"}};
    sim.RemoveCard(0);
    for (const auto& c : cases) {
        for (DWORD action : {DWORD{IFD_POWER_UP}, DWORD{IFD_RESET}}) {
            UCHAR buffer[MAX_ATR_SIZE];
            DWORD length = MAX_ATR_SIZE;
            EXPECT_EQ(IFDHPowerICC(c.lun, action, buffer, &length), IFD_ERROR_POWER_ACTION) << c.what;
            EXPECT_EQ(length, 0u) << c.what;
            EXPECT_TRUE(CachedAtr(c.lun).empty()) << c.what;
        }
    }
    // Nothing to power down in an empty slot: done.
    EXPECT_EQ(Power(Lun(0, 0), IFD_POWER_DOWN), IFD_SUCCESS);
}

TEST_F(PowerTest, AtrLongerThanPcscdTakesIsRefusedNotCut) {
    sim::Simulator& sim = StartReader();
    sim.InsertCard(0, LongAtr(MAX_ATR_SIZE));
    Bytes atr;
    ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP, &atr), IFD_SUCCESS);
    EXPECT_EQ(atr, LongAtr(MAX_ATR_SIZE));

    sim.InsertCard(0, LongAtr(MAX_ATR_SIZE + 1));
    sim.ClearRecords();
    UCHAR buffer[MAX_ATR_SIZE + 8] = {};
    DWORD length = MAX_ATR_SIZE;
    EXPECT_EQ(IFDHPowerICC(Lun(0, 0), IFD_POWER_UP, buffer, &length), IFD_ERROR_POWER_ACTION);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], 0);  // nothing copied
    EXPECT_TRUE(CachedAtr(Lun(0, 0)).empty());
    // The card is not left powered behind pcscd's back.
    EXPECT_FALSE(sim.Powered(0));
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kIccPowerOn, 0}, {kIccPowerOff, 0}}));
}

TEST_F(PowerTest, ArgumentsAndUnknownActions) {
    sim::Simulator& sim = StartReader();
    UCHAR buffer[MAX_ATR_SIZE];
    EXPECT_EQ(IFDHPowerICC(Lun(0, 0), IFD_POWER_UP, buffer, nullptr), IFD_COMMUNICATION_ERROR);
    DWORD length = MAX_ATR_SIZE;
    EXPECT_EQ(IFDHPowerICC(Lun(0, 0), 499, buffer, &length), IFD_NOT_SUPPORTED);
    EXPECT_EQ(length, 0u);
    length = MAX_ATR_SIZE;
    EXPECT_EQ(IFDHPowerICC(Lun(3, 0), IFD_POWER_UP, buffer, &length), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(Commands(sim).empty());
    // No ATR buffer: the card is powered and the ATR cached all the same.
    length = MAX_ATR_SIZE;
    EXPECT_EQ(IFDHPowerICC(Lun(0, 0), IFD_POWER_UP, nullptr, &length), IFD_SUCCESS);
    EXPECT_EQ(length, kBuiltInAtr.size());
    EXPECT_EQ(CachedAtr(Lun(0, 0)), kBuiltInAtr);
}

}  // namespace
}  // namespace ryx::pcsctest
