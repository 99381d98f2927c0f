// pcscd calls the driver from one thread per slot, for every reader at once (the driver says it is thread safe
// and slot thread safe). Under ThreadSanitizer this shows the driver's own state free of races.
#include <thread>

#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

class ConcurrencyTest : public DriverTest {};

TEST_F(ConcurrencyTest, EverySlotOfTwoReadersAtOnce) {
    for (std::uint32_t reader : {0u, 1u}) {
        sim::Simulator& sim = StartReader({}, reader);
        sim.InsertCard(1, kBuiltInAtr);
    }
    constexpr int kRounds = 15;
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (std::uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const DWORD lun = Lun(t / 2, t % 2);
            const Bytes select = B({0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01});
            for (int i = 0; i < kRounds; ++i) {
                UCHAR atr[MAX_ATR_SIZE];
                DWORD length = MAX_ATR_SIZE;
                if (IFDHICCPresence(lun) != IFD_ICC_PRESENT) ++failures[t];
                if (IFDHPowerICC(lun, IFD_POWER_UP, atr, &length) != IFD_SUCCESS) ++failures[t];
                UCHAR cached[64];
                DWORD cachedLength = sizeof cached;
                if (IFDHGetCapabilities(lun, TAG_IFD_ATR, &cachedLength, cached) != IFD_SUCCESS ||
                    cachedLength != kBuiltInAtr.size()) {
                    ++failures[t];
                }
                Bytes command = select;
                UCHAR response[16];
                DWORD responseLength = sizeof response;
                if (IFDHTransmitToICC(lun, {SCARD_PROTOCOL_T0, 0}, command.data(), command.size(), response,
                                      &responseLength, nullptr) != IFD_SUCCESS ||
                    responseLength != 2) {
                    ++failures[t];
                }
                length = MAX_ATR_SIZE;
                if (IFDHPowerICC(lun, IFD_POWER_DOWN, atr, &length) != IFD_SUCCESS) ++failures[t];
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace ryx::pcsctest
