// The words printed for protocols and ICC states, out-of-range values included.
#include "names.h"

#include <gtest/gtest.h>

#include <string>

namespace ryx_test {
namespace {

TEST(Names, ProtocolAndIccStatus) {
    EXPECT_EQ(std::string(ProtocolName(0)), "Unknown");
    EXPECT_EQ(std::string(ProtocolName(1)), "T=0");
    EXPECT_EQ(std::string(ProtocolName(2)), "T=1");
    EXPECT_EQ(std::string(ProtocolName(3)), "Unknown");
    EXPECT_EQ(std::string(ProtocolName(0xFFFFFFFFu)), "Unknown");

    EXPECT_EQ(std::string(IccStatusName(0)), "Unknown");
    EXPECT_EQ(std::string(IccStatusName(1)), "Absent");
    EXPECT_EQ(std::string(IccStatusName(2)), "Present");
    EXPECT_EQ(std::string(IccStatusName(3)), "Powered");
    EXPECT_EQ(std::string(IccStatusName(4)), "Unknown");
    EXPECT_EQ(std::string(IccStatusName(7)), "Unknown");
    EXPECT_EQ(std::string(IccStatusName(0xFFFFFFFFu)), "Unknown");
}

}  // namespace
}  // namespace ryx_test
