// What clients read about a reader: attributes, the feature list and the TLV properties, byte for byte.
#include <gtest/gtest.h>

#include "pcsc/reader_attributes.h"

namespace ryx::pcsc {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An attribute DWORD as a client reads it: 4 bytes, least significant first on the little-endian hosts CI runs on.
Bytes Dword(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

TEST(ReaderAttributes, FirmwareText) {
    const struct {
        const char* firmware;
        const char* model;
        std::uint32_t version;
    } cases[] = {
        {"KT4470RS_V3", "KT4470RS_V3", 0},
        {"KT4470RS 1.07", "KT4470RS", 0x01070000},
        {"KT6630RS v2.5.12 2019", "KT6630RS", 0x0205000C},
        {"KT4470RS build 7", "KT4470RS", 0},
        {"", "", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ModelOf(c.firmware), c.model) << c.firmware;
        EXPECT_EQ(FirmwareVersion(c.firmware), c.version) << c.firmware;
    }
}

TEST(ReaderAttributes, ChannelIdIsASerialLine) {
    EXPECT_EQ(ChannelId("/dev/ttyS0"), 0x00010000u);
    EXPECT_EQ(ChannelId("/dev/ttyUSB12"), 0x0001000Cu);
    EXPECT_EQ(ChannelId("/dev/serial/by-id/usb-FTDI-if00-port0"), 0x00010000u);
    EXPECT_EQ(ChannelId("/tmp/reader"), 0x00010000u);
}

TEST(ReaderAttributes, Values) {
    const ReaderFacts reader{"KT4470RS 1.07", "/dev/ttyUSB3"};
    SlotFacts powered{true, true, SCARD_PROTOCOL_T1};
    const SlotFacts empty{};
    const struct {
        DWORD tag;
        const SlotFacts& slot;
        Bytes value;
    } cases[] = {
        {SCARD_ATTR_VENDOR_NAME, empty, {'r', 'y', 'x'}},
        {SCARD_ATTR_VENDOR_IFD_TYPE, empty, {'K', 'T', '4', '4', '7', '0', 'R', 'S'}},
        {SCARD_ATTR_VENDOR_IFD_VERSION, empty, Dword(0x01070000)},
        {SCARD_ATTR_CHANNEL_ID, empty, Dword(0x00010003)},
        {SCARD_ATTR_MAXINPUT, empty, Dword(65544)},
        {SCARD_ATTR_ICC_PRESENCE, powered, {2}},
        {SCARD_ATTR_ICC_PRESENCE, empty, {0}},
        {SCARD_ATTR_ICC_INTERFACE_STATUS, powered, {1}},
        {SCARD_ATTR_ICC_INTERFACE_STATUS, empty, {0}},
        {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, powered, Dword(SCARD_PROTOCOL_T1)},
        {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, empty, Dword(0)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AttributeValue(c.tag, reader, c.slot), c.value) << std::hex << c.tag;
    }
    EXPECT_EQ(AttributeValue(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, reader, powered), std::nullopt);
}

// Part 10: the feature's control code big-endian; the properties' numbers little-endian.
TEST(ReaderAttributes, FeatureListAndTlvProperties) {
    const std::uint32_t code = kTlvPropertiesControlCode;
    EXPECT_EQ(code, 0x42000000u + 3600 + 0x12);
    EXPECT_EQ(FeatureList(), (Bytes{0x12, 0x04, 0x42, 0x00, 0x0E, 0x22}));
    EXPECT_EQ(TlvProperties({"KT4470RS", "/dev/ttyS0"}),
              (Bytes{0x08, 8, 'K', 'T', '4', '4', '7', '0', 'R', 'S', 0x0A, 0x04, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(TlvProperties({"", ""}), (Bytes{0x08, 0, 0x0A, 0x04, 0x00, 0x00, 0x01, 0x00}));
}

}  // namespace
}  // namespace ryx::pcsc
