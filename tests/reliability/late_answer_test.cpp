// Late answers meet the next frame: the reader answers the repeat request that ended a failed call only while the
// next call waits for its status, or answers a command frame after the host has sent it again. Every call that
// succeeds must return its own command's response, with a reader that answers a repeated frame as a
// retransmission (its command then runs once) and with one that executes it again.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <mutex>
#include <vector>

#include <ryx.h>

#include "api/reader_context.h"
#include "api/registry.h"
#include "reliability_support.h"
#include "sim/simulator.h"
#include "support/param_name.h"

namespace ryx::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

enum class Late { kRepeatAnsweredDuringTheNextStatus, kAnswerAfterTheCommandWentAgain };

struct Case {
    const char* name;
    Late late;
    bool reexecute;
};

class LateAnswer : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        sim::Config config;
        config.reexecuteRepeats = GetParam().reexecute;
        sim_ = std::make_unique<sim::Simulator>(config);
        ASSERT_TRUE(sim_->Start());
        sim_->SetApduHandler([this](std::uint8_t, std::span<const std::uint8_t> apdu) {
            std::lock_guard lock(mutex_);
            ++executed_[Bytes(apdu.begin(), apdu.end())];
            return EchoApdu(apdu.size() - 5, apdu[5]).response;
        });
        ASSERT_EQ(RYX_OpenA(sim_->SlavePath().c_str(), &handle_), RYX_SUCCESS);
        std::uint32_t length = 0;
        ASSERT_EQ(RYX_PowerOnIcc(handle_, 0, nullptr, &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(RYX_Close(handle_), RYX_SUCCESS);
        }
    }

    // Sends the APDU; returns its code and checks a success against the card's exact response.
    std::uint32_t Exchange(const Apdu& apdu) {
        std::array<std::uint8_t, 512> response;
        std::uint32_t length = response.size();
        const std::uint32_t code = RYX_ExchangeApdu(
            handle_, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()), response.data(), &length);
        if (code == RYX_SUCCESS) {
            EXPECT_EQ(Bytes(response.begin(), response.begin() + length), apdu.response);
        }
        return code;
    }
    int Executed(const Apdu& apdu) {
        std::lock_guard lock(mutex_);
        return executed_[apdu.command];
    }
    // Copies of the APDU's command frame the reader received.
    int Received(const Apdu& apdu) {
        int copies = 0;
        for (const auto& f : sim_->ReceivedFrames()) {
            if (f.kind == sim::FrameRecord::Kind::kCommand && f.bytes.size() == apdu.command.size() + 13 &&
                std::equal(apdu.command.begin(), apdu.command.end(), f.bytes.begin() + 11)) {
                ++copies;
            }
        }
        return copies;
    }

    std::unique_ptr<sim::Simulator> sim_;
    RYX_HANDLE handle_ = nullptr;
    std::mutex mutex_;
    std::map<Bytes, int> executed_;
};

TEST_P(LateAnswer, TheNextCallGetsItsOwnResponse) {
    const Case& c = GetParam();
    const Apdu first = EchoApdu(40, 0x10);
    const Apdu second = EchoApdu(60, 0x80);
    // Calls that succeed at once never wait for a quiet line.
    ASSERT_EQ(Exchange(EchoApdu(250, 0x01)), RYX_SUCCESS);
    ASSERT_EQ(RegistryFind(handle_)->link.counters.drains, 0u);
    sim_->ClearRecords();
    if (c.late == Late::kRepeatAnsweredDuringTheNextStatus) {
        // The first call's response is cut short and its only attempt fails; the answer to its repeat request
        // comes long after the next call's drain has found the line quiet, right in front of that call's status.
        const LinkTimeouts t{10'000, 1, 100, 0};
        ASSERT_EQ(RYX_SetTimeouts(handle_, &t), RYX_SUCCESS);
        sim::Fault truncate;
        truncate.kind = sim::FaultKind::kTruncateResponse;
        sim::Fault late;
        late.kind = sim::FaultKind::kDelayResponse;
        late.delay = 3s;
        sim_->QueueFault(truncate);
        sim_->QueueFault(late);
        EXPECT_EQ(Exchange(first), RYX_ERROR_GEN_FAILURE);
    } else {
        // The status of the first copy comes during the wait for the second's: the host sends the frame again after
        // 2 s, the reader answers the first copy after 3 s, and then (as the kind of reader does) the second.
        const LinkTimeouts t{2'000, 1, 10'000, 1};
        ASSERT_EQ(RYX_SetTimeouts(handle_, &t), RYX_SUCCESS);
        sim::Fault slow;
        slow.kind = sim::FaultKind::kDelayStatus;
        slow.delay = 3s;
        sim_->QueueFault(slow);
        EXPECT_EQ(Exchange(first), RYX_SUCCESS);
    }
    EXPECT_EQ(Exchange(second), RYX_SUCCESS);
    // The line is quiet once the last answer is out: every copy received has been answered.
    EXPECT_EQ(Exchange(EchoApdu(8, 0x33)), RYX_SUCCESS);

    EXPECT_EQ(Executed(second), c.reexecute ? Received(second) : 1);
    EXPECT_EQ(Executed(first), c.reexecute ? Received(first) : 1);
    if (c.late == Late::kAnswerAfterTheCommandWentAgain) {
        EXPECT_EQ(Received(first), 2);
    }
    EXPECT_GE(RegistryFind(handle_)->link.counters.lateAnswers, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, LateAnswer,
    ::testing::Values(Case{"RepeatAnsweredDuringTheNextStatus", Late::kRepeatAnsweredDuringTheNextStatus, false},
                      Case{"RepeatAnsweredDuringTheNextStatusReexecuted", Late::kRepeatAnsweredDuringTheNextStatus,
                           true},
                      Case{"AnswerAfterTheCommandWentAgain", Late::kAnswerAfterTheCommandWentAgain, false},
                      Case{"AnswerAfterTheCommandWentAgainReexecuted", Late::kAnswerAfterTheCommandWentAgain, true}),
    NameOfCase());

}  // namespace
}  // namespace ryx::test
