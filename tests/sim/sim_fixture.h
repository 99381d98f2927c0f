// A started simulator with a raw client on its slave.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "raw_client.h"
#include "sim/simulator.h"

namespace ryx::simtest {

inline const Bytes kAccepted = {0x02, 0x00, 0x00, 0x03};
inline const Bytes kRefused = {0x02, 0x01, 0x01, 0x03};
inline const Bytes kRepeat = {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};

class SimTest : public ::testing::Test {
protected:
    void Start(sim::Config config = {}) {
        sim_ = std::make_unique<sim::Simulator>(std::move(config));
        ASSERT_TRUE(sim_->Start());
        client_ = std::make_unique<RawClient>(sim_->SlavePath(), sim_->Rate());
    }
    void TearDown() override {
        client_.reset();
        sim_.reset();
    }
    // One command message in, the response frame's payload out; the status must be 02 00 00 03.
    Bytes Exchange(const Bytes& message) {
        auto a = client_->Exchange(message);
        EXPECT_EQ(a.status, kAccepted);
        return Payload(a.response);
    }
    Bytes PowerOn(std::uint8_t slot = 0, std::uint8_t seq = 0) { return Exchange(Message(0x62, slot, seq, 0, 0, 0)); }

    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<RawClient> client_;
};

}  // namespace ryx::simtest
