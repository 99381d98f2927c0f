// The library against the real ryx_sim program steered through its control socket, as a user's test would steer
// it: a card pulled or changed under an open reader, and a reader unplugged and plugged in again at the same path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <ryx.h>

#include "support/child_program.h"

namespace ryx::test {
namespace {

class SimControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string base = "/tmp/ryx_api_ctl_" + std::to_string(::getpid());
        control_ = base + ".sock";
        link_ = base + ".link";
        sim_ = std::make_unique<ChildProgram>(RYX_SIM_PROGRAM,
                                              std::vector<std::string>{"--control", control_, "--link", link_});
        ASSERT_EQ(sim_->ReadLine().rfind("/dev/pts/", 0), 0u);
        client_ = std::make_unique<ControlClient>(control_);
    }
    void TearDown() override {
        client_.reset();
        sim_.reset();
        ::unlink(control_.c_str());
        ::unlink(link_.c_str());
    }
    std::string control_;
    std::string link_;
    std::unique_ptr<ChildProgram> sim_;
    std::unique_ptr<ControlClient> client_;
};

TEST_F(SimControlTest, CardChangesReachTheLibrary) {
    RYX_HANDLE handle = nullptr;
    ASSERT_EQ(RYX_OpenA(link_.c_str(), &handle), RYX_SUCCESS);
    const struct {
        const char* command;
        std::uint32_t iccCode;
        std::uint32_t iccStatus;
        std::uint32_t powerOnCode;
        std::vector<std::uint8_t> atr;  // after the power-on
    } steps[] = {
        {"", RYX_SUCCESS, RYX_ICC_PRESENT, RYX_SUCCESS, {0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D}},
        {"remove 0", RYX_SUCCESS, RYX_ICC_ABSENT, RYX_W_REMOVED_CARD, {}},
        {"insert 0 3B 02 14 50", RYX_SUCCESS, RYX_ICC_PRESENT, RYX_SUCCESS, {0x3B, 0x02, 0x14, 0x50}},
        {"atr 0 3B00", RYX_SUCCESS, RYX_ICC_POWERED, RYX_SUCCESS, {0x3B, 0x00}},  // a warm reset of the powered card
        {"mute 0 on", RYX_SUCCESS, RYX_ICC_PRESENT, RYX_W_UNRESPONSIVE_CARD, {}},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(client_->Send(step.command), "ok\n") << step.command;
        std::uint32_t status = 99;
        EXPECT_EQ(RYX_GetIccStatus(handle, 0, &status), step.iccCode) << step.command;
        EXPECT_EQ(status, step.iccStatus) << step.command;
        std::vector<std::uint8_t> atr(64);
        std::uint32_t length = 64;
        EXPECT_EQ(RYX_PowerOnIcc(handle, 0, atr.data(), &length), step.powerOnCode) << step.command;
        atr.resize(length);
        EXPECT_EQ(atr, step.atr) << step.command;
    }
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
}

TEST_F(SimControlTest, AnUnpluggedReaderComesBackAtTheSamePath) {
    RYX_HANDLE old = nullptr;
    ASSERT_EQ(RYX_OpenA(link_.c_str(), &old), RYX_SUCCESS);
    ASSERT_EQ(RYX_SetBaudRate(old, 115200), RYX_SUCCESS);
    ASSERT_EQ(client_->Send("vanish"), "ok\n");
    std::uint32_t status = 99;
    EXPECT_NE(RYX_GetIccStatus(old, 0, &status), RYX_SUCCESS);
    RYX_HANDLE handle = nullptr;
    EXPECT_EQ(RYX_OpenA(link_.c_str(), &handle), RYX_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);

    // Back while the old handle still holds the old terminal; the reader answers at its power-on speed.
    ASSERT_EQ(client_->Send("return").rfind("port /dev/pts/", 0), 0u);
    ASSERT_EQ(RYX_OpenA(link_.c_str(), &handle), RYX_SUCCESS);
    std::uint32_t rate = 0;
    EXPECT_EQ(RYX_GetBaudRate(handle, &rate), RYX_SUCCESS);
    EXPECT_EQ(rate, 9600u);
    EXPECT_EQ(RYX_GetIccStatus(handle, 0, &status), RYX_SUCCESS);
    EXPECT_EQ(status, RYX_ICC_PRESENT);
    EXPECT_NE(RYX_GetIccStatus(old, 0, &status), RYX_SUCCESS);  // the old terminal stays dead
    EXPECT_EQ(RYX_Close(old), RYX_SUCCESS);
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
}

}  // namespace
}  // namespace ryx::test
