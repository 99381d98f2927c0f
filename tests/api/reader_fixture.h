// A simulated reader on a pty and the library opened on it, for tests of the exported API.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <ryx.h>

#include "sim/simulator.h"

namespace ryx::test {

// Starts a simulator with config and opens it through RYX_OpenA. The handle is closed at the end of the test.
class ReaderTest : public ::testing::Test {
protected:
    void StartReader(sim::Config config = {}) {
        sim_ = std::make_unique<sim::Simulator>(std::move(config));
        ASSERT_TRUE(sim_->Start());
        ASSERT_EQ(RYX_OpenA(sim_->SlavePath().c_str(), &handle_), RYX_SUCCESS);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(RYX_Close(handle_), RYX_SUCCESS);
        }
        handle_ = nullptr;
        sim_.reset();
    }
    // Short link time-outs, so that failure cases end quickly.
    void UseShortTimeouts(std::uint32_t retries = 1) {
        const LinkTimeouts t{100, retries, 100, retries};
        ASSERT_EQ(RYX_SetTimeouts(handle_, &t), RYX_SUCCESS);
    }
    // The command frames the reader received since the last ClearRecords(), header decoded.
    std::vector<sim::FrameRecord> Commands() const {
        std::vector<sim::FrameRecord> out;
        for (auto& f : sim_->ReceivedFrames()) {
            if (f.kind == sim::FrameRecord::Kind::kCommand && !f.droppedSpeedMismatch) out.push_back(f);
        }
        return out;
    }
    std::vector<std::uint8_t> PowerOn(std::uint32_t slot = 0) {
        std::vector<std::uint8_t> atr(64);
        std::uint32_t length = 64;
        EXPECT_EQ(RYX_PowerOnIcc(handle_, slot, atr.data(), &length), RYX_SUCCESS);
        atr.resize(length);
        return atr;
    }

    std::unique_ptr<sim::Simulator> sim_;
    RYX_HANDLE handle_ = nullptr;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

}  // namespace ryx::test
