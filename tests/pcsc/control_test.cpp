// IFDHControl: the feature list, and reader escape commands only where the reader.conf entry allows them.
#include <initializer_list>

#include "driver_fixture.h"

namespace ryx::pcsctest {
namespace {

constexpr DWORD kEscapeCode = SCARD_CTL_CODE(1);
constexpr DWORD kSentinel = 0xDEAD;

class ControlTest : public DriverTest {
protected:
    RESPONSECODE Control(DWORD lun, DWORD code, Bytes in, Bytes& out, DWORD outSize = 256) {
        out.assign(outSize, 0);
        DWORD returned = kSentinel;
        const RESPONSECODE rc =
            IFDHControl(lun, code, in.empty() ? nullptr : in.data(), in.size(), out.data(), outSize, &returned);
        if (rc != IFD_SUCCESS) {
            EXPECT_EQ(returned, 0u) << "code 0x" << std::hex << code;
        }
        out.resize(returned == kSentinel ? 0 : returned);
        return rc;
    }
};

TEST_F(ControlTest, FeatureListAndTlvPropertiesWithOrWithoutEscape) {
    sim::Config config;
    config.firmware = "KT4470RS 1.07";
    sim::Simulator& plain = StartReader(config, 0);
    StartReader(config, 1, ":escape");
    for (DWORD lun : {Lun(0, 0), Lun(1, 1)}) {
        Bytes out;
        ASSERT_EQ(Control(lun, CM_IOCTL_GET_FEATURE_REQUEST, {}, out), IFD_SUCCESS);
        EXPECT_EQ(out, B({0x12, 0x04, 0x42, 0x00, 0x0E, 0x22}));  // FEATURE_GET_TLV_PROPERTIES, its code
        ASSERT_EQ(Control(lun, 0x42000E22, {}, out), IFD_SUCCESS);
        EXPECT_EQ(out, B({0x08, 13,   'K',  'T',  '4',  '4', '7', '0', 'R', 'S', ' ', '1', '.', '0', '7',  // firmware
                          0x0A, 0x04, 0x00, 0x00, 0x01, 0x00}));  // dwMaxAPDUDataSize 65536, little-endian
        EXPECT_EQ(Control(lun, 0x42000E22, {}, out, 8), IFD_ERROR_INSUFFICIENT_BUFFER);
    }
    EXPECT_TRUE(Commands(plain).empty());
}

TEST_F(ControlTest, EscapeIsRefusedWithoutTheOption) {
    sim::Simulator& sim = StartReader();
    Bytes out;
    EXPECT_EQ(Control(Lun(0, 0), kEscapeCode, B({0x01, 0x02, 0x03}), out), IFD_ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(Commands(sim).empty());
}

TEST_F(ControlTest, EscapeReachesTheReaderWithTheOption) {
    sim::Simulator& sim = StartReader({}, 0, ":escape");
    Bytes out;
    ASSERT_EQ(Control(Lun(0, 1), kEscapeCode, B({0x01, 0x02, 0x03}), out), IFD_SUCCESS);
    EXPECT_EQ(out, B({0x01, 0x02, 0x03}));  // the simulator echoes unknown escapes
    EXPECT_EQ(Commands(sim), (std::vector<Command>{{kEscape, 1}}));
    // The firmware version: 5 header bytes, then the text.
    ASSERT_EQ(Control(Lun(0, 0), kEscapeCode, B({0xE0, 0x00, 0x00, 0x18, 0x00}), out), IFD_SUCCESS);
    const std::string text(out.begin() + 5, out.end());
    EXPECT_EQ(text.rfind("KT4470RS", 0), 0u) << text;
}

TEST_F(ControlTest, EveryFailureReturnsNoBytes) {
    sim::Simulator& sim = StartReader({}, 0, ":escape");
    Bytes out;
    // The line-speed escape stays the library's own.
    EXPECT_EQ(Control(Lun(0, 0), kEscapeCode, B({0x44, 0x04}), out), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(Commands(sim).empty());
    // The reply does not fit.
    EXPECT_EQ(Control(Lun(0, 0), kEscapeCode, B({0x01, 0x02, 0x03}), out, 2), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Control(Lun(0, 0), kEscapeCode, {}, out), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Control(Lun(0, 0), kEscapeCode, B({0x01}), out, 0), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Control(Lun(0, 0), SCARD_CTL_CODE(2), B({0x01}), out), IFD_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Control(Lun(3, 0), CM_IOCTL_GET_FEATURE_REQUEST, {}, out), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHControl(Lun(0, 0), CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, nullptr, 0, nullptr),
              IFD_COMMUNICATION_ERROR);
}

}  // namespace
}  // namespace ryx::pcsctest
