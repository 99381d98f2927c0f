// The built libifd_ryx.so as pcscd loads it: dlopen, every IFDH function of API v3 bound by name, one reader used.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include "pcsc/pcsc_headers.h"
#include "sim/simulator.h"

namespace {

TEST(DriverLoad, ExportsTheHandlerApiAndWorks) {
    void* driver = ::dlopen(RYX_PCSC_DRIVER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(driver, nullptr) << ::dlerror();
    for (const char* name : {"IFDHCreateChannelByName", "IFDHCreateChannel", "IFDHCloseChannel", "IFDHGetCapabilities",
                             "IFDHSetCapabilities", "IFDHSetProtocolParameters", "IFDHPowerICC", "IFDHTransmitToICC",
                             "IFDHControl", "IFDHICCPresence"}) {
        EXPECT_NE(::dlsym(driver, name), nullptr) << name;
    }
    // The driver's own helpers stay inside it.
    EXPECT_EQ(::dlsym(driver, "_ZN3ryx4pcsc10FindReaderEm"), nullptr);

    auto create = reinterpret_cast<decltype(&IFDHCreateChannelByName)>(::dlsym(driver, "IFDHCreateChannelByName"));
    auto capabilities = reinterpret_cast<decltype(&IFDHGetCapabilities)>(::dlsym(driver, "IFDHGetCapabilities"));
    auto presence = reinterpret_cast<decltype(&IFDHICCPresence)>(::dlsym(driver, "IFDHICCPresence"));
    auto close = reinterpret_cast<decltype(&IFDHCloseChannel)>(::dlsym(driver, "IFDHCloseChannel"));
    ASSERT_TRUE(create && capabilities && presence && close);

    ryx::sim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    std::string name = sim.SlavePath() + ":escape";
    ASSERT_EQ(create(0x00020000, name.data()), IFD_SUCCESS);
    UCHAR slots = 0;
    DWORD length = 1;
    EXPECT_EQ(capabilities(0x00020000, TAG_IFD_SLOTS_NUMBER, &length, &slots), IFD_SUCCESS);
    EXPECT_EQ(slots, 2);
    EXPECT_EQ(presence(0x00020000), IFD_ICC_PRESENT);
    EXPECT_EQ(close(0x00020000), IFD_SUCCESS);
    EXPECT_EQ(::dlclose(driver), 0);
}

}  // namespace
