// Reading the device path and driver options out of a reader.conf DEVICENAME.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "pcsc/device_name.h"

namespace ryx::pcsc {
namespace {

struct NameCase {
    const char* name;
    bool ok;
    const char* path;
    bool escape;
};

TEST(ParseDeviceName, SplitsPathAndOptions) {
    const NameCase cases[] = {
        {"/dev/ttyS0", true, "/dev/ttyS0", false},
        {"/dev/ttyS0:escape", true, "/dev/ttyS0", true},
        {"/dev/ttyS0:escape,escape", true, "/dev/ttyS0", true},
        // Options follow the last colon: colons of the path stay in it.
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0:escape", true,
         "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", true},
        {"/dev/ttyS0:", false, "", false},
        {"/dev/ttyS0:escape,", false, "", false},
        {"/dev/ttyS0:Escape", false, "", false},
        {"/dev/ttyS0:escape,pinpad", false, "", false},
        {"/dev/serial/by-path/pci-0000:00:14.0", false, "", false},  // "14.0" is not an option
        {":escape", false, "", false},
        {"", false, "", false},
    };
    for (const NameCase& c : cases) {
        std::string why;
        const auto parsed = ParseDeviceName(c.name, &why);
        ASSERT_EQ(parsed.has_value(), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_FALSE(why.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(parsed->path, c.path) << c.name;
        EXPECT_EQ(parsed->options.escape, c.escape) << c.name;
    }
}

TEST(ParseDeviceName, NamesTheUnknownOption) {
    std::string why;
    EXPECT_FALSE(ParseDeviceName("/dev/ttyS0:escape,pinpad", &why));
    EXPECT_EQ(why, "unknown driver option 'pinpad' (known: escape)");
}

// A device whose own name has a colon is found as it is, and can still carry options.
TEST(ChooseDeviceName, TakesAnExistingNameWithColonsWhole) {
    char dir[] = "/tmp/ryx-pcsc-name-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string device = std::string(dir) + "/pci-0000:00:14.0-port0";
    ASSERT_EQ(::symlink("/dev/null", device.c_str()), 0);

    const auto whole = ChooseDeviceName(device);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->path, device);
    EXPECT_FALSE(whole->options.escape);

    const auto withOption = ChooseDeviceName(device + ":escape");
    ASSERT_TRUE(withOption);
    EXPECT_EQ(withOption->path, device);
    EXPECT_TRUE(withOption->options.escape);

    EXPECT_FALSE(
        ChooseDeviceName(std::string(dir) + "/pci-0000:00:15.0-port0"));  // missing: "15.0-port0" is read as an option
    ::unlink(device.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace ryx::pcsc
