// What the driver tells pcscd about itself and about a slot.
#include "driver_fixture.h"
#include "pcsc/reader_attributes.h"

namespace ryx::pcsctest {
namespace {

class CapabilitiesTest : public DriverTest {};

struct ByteCase {
    DWORD tag;
    int expected;  // -1: more than 1
};

TEST_F(CapabilitiesTest, DriverAndReaderValues) {
    sim::Config three;
    three.model = sim::Model::KT6630RS;
    StartReader({}, 0);
    StartReader(three, 1);
    const struct {
        DWORD lun;
        ByteCase c;
    } cases[] = {
        {Lun(0, 0), {TAG_IFD_SLOTS_NUMBER, 2}},
        {Lun(0, 1), {TAG_IFD_SLOTS_NUMBER, 2}},
        {Lun(1, 0), {TAG_IFD_SLOTS_NUMBER, 3}},
        // More than one reader per loaded driver: pcscd then gives each reader.conf entry a Lun of its own.
        {Lun(0, 0), {TAG_IFD_SIMULTANEOUS_ACCESS, -1}},
        {Lun(0, 0), {TAG_IFD_THREAD_SAFE, 1}},
        {Lun(1, 2), {TAG_IFD_SLOT_THREAD_SAFE, 1}},
    };
    for (const auto& [lun, c] : cases) {
        UCHAR value[8] = {0xEE};
        DWORD length = sizeof value;
        ASSERT_EQ(IFDHGetCapabilities(lun, c.tag, &length, value), IFD_SUCCESS) << std::hex << c.tag;
        EXPECT_EQ(length, 1u) << std::hex << c.tag;
        if (c.expected < 0) {
            EXPECT_GT(value[0], 1) << std::hex << c.tag;
        } else {
            EXPECT_EQ(value[0], c.expected) << std::hex << c.tag;
        }
        length = 0;
        EXPECT_EQ(IFDHGetCapabilities(lun, c.tag, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
    }
}

TEST_F(CapabilitiesTest, AtrFollowsThePowerActions) {
    StartReader();
    for (DWORD tag : {DWORD{TAG_IFD_ATR}, DWORD{SCARD_ATTR_ATR_STRING}}) {
        EXPECT_TRUE(CachedAtr(Lun(0, 0), tag).empty());
        ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
        EXPECT_EQ(CachedAtr(Lun(0, 0), tag), kBuiltInAtr);
        EXPECT_TRUE(CachedAtr(Lun(0, 1), tag).empty());  // per slot

        UCHAR small[8] = {};
        DWORD length = sizeof small;
        EXPECT_EQ(IFDHGetCapabilities(Lun(0, 0), tag, &length, small), IFD_ERROR_INSUFFICIENT_BUFFER);

        ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_DOWN), IFD_SUCCESS);
        EXPECT_TRUE(CachedAtr(Lun(0, 0), tag).empty());
    }
}

TEST_F(CapabilitiesTest, UnknownTagsLunsAndSettings) {
    StartReader();
    UCHAR value[4] = {};
    DWORD length = sizeof value;
    EXPECT_EQ(IFDHGetCapabilities(Lun(0, 0), 0x1234, &length, value), IFD_ERROR_TAG);
    EXPECT_EQ(IFDHGetCapabilities(Lun(0, 0), TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value),
              IFD_ERROR_INSUFFICIENT_BUFFER);  // a function pointer
    EXPECT_EQ(IFDHGetCapabilities(Lun(5, 0), TAG_IFD_SLOTS_NUMBER, &length, value), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHGetCapabilities(Lun(0, 7), TAG_IFD_ATR, &length, value), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHGetCapabilities(Lun(0, 0), TAG_IFD_ATR, nullptr, value), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHSetCapabilities(Lun(0, 0), TAG_IFD_ATR, 1, value), IFD_ERROR_VALUE_READ_ONLY);
    EXPECT_EQ(IFDHSetCapabilities(Lun(0, 0), 0x1234, 1, value), IFD_ERROR_TAG);
}

// SCardGetAttrib: the firmware text read at open, the slot's state as the driver knows it; nothing on the line.
TEST_F(CapabilitiesTest, Attributes) {
    sim::Config config;
    config.firmware = "KT4470RS 3.14";
    sim::Simulator& sim = StartReader(config);
    ASSERT_EQ(Power(Lun(0, 1), IFD_POWER_DOWN), IFD_SUCCESS);
    ASSERT_EQ(Power(Lun(0, 0), IFD_POWER_UP), IFD_SUCCESS);
    // An attribute DWORD: 4 bytes, least significant first on the little-endian hosts the tests run on.
    const auto dword = [](std::uint32_t v) {
        return Bytes{static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16),
                     static_cast<UCHAR>(v >> 24)};
    };
    const struct {
        DWORD lun;
        DWORD tag;
        Bytes value;
    } cases[] = {
        {Lun(0, 0), SCARD_ATTR_VENDOR_IFD_TYPE, B({'K', 'T', '4', '4', '7', '0', 'R', 'S'})},
        {Lun(0, 1), SCARD_ATTR_VENDOR_IFD_VERSION, dword(0x030E0000)},
        {Lun(0, 1), SCARD_ATTR_CHANNEL_ID, dword(pcsc::ChannelId(sim.SlavePath()))},
        {Lun(0, 0), SCARD_ATTR_ICC_INTERFACE_STATUS, B({1})},
        {Lun(0, 1), SCARD_ATTR_ICC_INTERFACE_STATUS, B({0})},
        {Lun(0, 0), SCARD_ATTR_ICC_PRESENCE, B({2})},
        {Lun(0, 1), SCARD_ATTR_ICC_PRESENCE, B({0})},
    };
    sim.ClearRecords();
    for (const auto& c : cases) {
        UCHAR value[64] = {};
        DWORD length = sizeof value;
        ASSERT_EQ(IFDHGetCapabilities(c.lun, c.tag, &length, value), IFD_SUCCESS) << std::hex << c.tag;
        EXPECT_EQ(Bytes(value, value + length), c.value) << std::hex << c.tag;
    }
    // Only the presence questions (the monitor is not running: no IFDHPolling yet) reached the reader.
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kGetSlotStatus, 0}, {kGetSlotStatus, 1}}));
}

}  // namespace
}  // namespace ryx::pcsctest
