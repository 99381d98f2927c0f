// A reader that goes away in the middle of a call: unplugged while it should answer (the simulator closes its pty
// instead), or switched off (the simulator stopped or destroyed) while the host waits for a status or for the rest
// of a response, in a single exchange and inside command and response chains. The call fails with a code instead
// of waiting out its time-outs, no thread stays blocked, later calls fail the same way at once, RYX_Close still
// succeeds, and nothing of the reader is left in the process.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <ryx.h>

#include "reliability_support.h"
#include "sim/simulator.h"
#include "support/param_name.h"

namespace ryx::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kBlockSize = 261;  // KT4470RS
// A reader that hangs up is noticed at once; this is far below the default time-outs (a single silent message
// may take 2 x 2000 + 2 x 10000 ms), so a call that waits them out fails the bound.
constexpr auto kHangUpBound = std::chrono::seconds(5);
// Longer than any bound here: the reader is gone before it would answer.
constexpr auto kForever = milliseconds(60'000);

enum class Gone : std::uint8_t {
    kUnplugged,  // a queued vanish fault: the reader closes the pty instead of answering a frame
    kStopped,    // Simulator::Stop() while the host waits
    kDestroyed,  // the Simulator object destroyed while the host waits
};

enum class Shape : std::uint8_t { kShort, kCommandChain, kResponseChain };

struct VanishCase {
    const char* name;
    Gone gone;
    Shape shape;
    std::vector<sim::Fault> faults;  // queued before the call
    std::size_t receivedBeforeGone;  // kStopped / kDestroyed: go once the reader has received this many frames ...
    std::size_t sentBeforeGone;      // ... and sent this many
};

// Printed by name: the bytes of the struct (its padding included) are nothing to print.
void PrintTo(const VanishCase& c, std::ostream* out) {
    *out << c.name;
}

sim::Fault Pass(unsigned count) {
    sim::Fault f;
    f.kind = sim::FaultKind::kPass;
    f.count = count;
    return f;
}

sim::Fault Of(sim::FaultKind kind) {
    sim::Fault f;
    f.kind = kind;
    f.delay = kForever;
    return f;
}

sim::Fault FirstPieceOnly() {
    sim::Fault f;
    f.kind = sim::FaultKind::kChunkResponse;
    f.chunks = {20};
    f.gap = kForever;
    return f;
}

Apdu ApduOf(Shape shape) {
    switch (shape) {
        case Shape::kShort:
            return EchoApdu(8, 0x31);
        case Shape::kCommandChain:
            return EchoApdu(3 * kBlockSize, 0x32);  // four blocks
        case Shape::kResponseChain:
            return PatternApdu(4 * kBlockSize);  // five pieces
    }
    return {};
}

// Runs f on a thread of its own and waits for it at most bound; the thread is joined in any case.
struct Outcome {
    std::uint32_t code = 0;
    bool inTime = false;
};

template <typename F>
Outcome RunOnThread(F f, const std::function<void()>& meanwhile, std::chrono::milliseconds bound) {
    std::packaged_task<std::uint32_t()> task(std::move(f));
    std::future<std::uint32_t> result = task.get_future();
    std::thread thread(std::move(task));
    const auto start = Clock::now();
    meanwhile();
    Outcome o;
    o.inTime = result.wait_until(start + bound) == std::future_status::ready;
    thread.join();  // late or not: a call that outlasts the bound still ends with the link time-outs
    o.code = result.get();
    return o;
}

class ReaderGone : public ::testing::TestWithParam<VanishCase> {};

TEST_P(ReaderGone, TheCallFailsAtOnceAndTheHandleClosesCleanly) {
    const VanishCase& c = GetParam();
    const int descriptorsBefore = OpenDescriptors();
    const int threadsBefore = Threads();

    auto reader = std::make_unique<sim::Simulator>();
    ASSERT_TRUE(reader->Start());
    RYX_HANDLE handle = nullptr;
    ASSERT_EQ(RYX_OpenA(reader->SlavePath().c_str(), &handle), RYX_SUCCESS);
    std::uint32_t atrLength = 64;
    std::uint8_t atr[64];
    ASSERT_EQ(RYX_PowerOnIcc(handle, 0, atr, &atrLength), RYX_SUCCESS);
    reader->ClearRecords();
    for (const auto& f : c.faults) reader->QueueFault(f);

    const Apdu apdu = ApduOf(c.shape);
    std::vector<std::uint8_t> response(65538, 0xEE);
    std::uint32_t responseLength = static_cast<std::uint32_t>(response.size());
    const Outcome o = RunOnThread(
        [&] {
            return RYX_ExchangeApdu(handle, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()),
                                    response.data(), &responseLength);
        },
        [&] {
            if (c.gone == Gone::kUnplugged) return;
            // The host is now waiting for the reader: for the status of a frame, or for the rest of a response.
            EXPECT_TRUE(reader->WaitForFrames(c.receivedBeforeGone, milliseconds(10'000)));
            EXPECT_TRUE(reader->WaitForSentFrames(c.sentBeforeGone, milliseconds(10'000)));
            if (c.faults.back().kind == sim::FaultKind::kChunkResponse) {
                // Its record is made just before the first piece goes out: give the piece a moment to reach the
                // line. This pause is part of the stimulus, not a wait the outcome depends on: should the reader go
                // first, the host was still waiting for the response frame, and the same outcome is due.
                std::this_thread::sleep_for(milliseconds(50));
            }
            if (c.gone == Gone::kStopped) {
                reader->Stop();
            } else {
                reader.reset();
            }
        },
        kHangUpBound);
    EXPECT_TRUE(o.inTime) << "the call went on waiting for a reader that had gone";
    EXPECT_EQ(o.code, RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(responseLength, response.size()) << "a failed exchange reports no response length";
    EXPECT_EQ(response[0], 0xEE) << "a failed exchange writes no response";
    if (reader) {
        EXPECT_FALSE(reader->Running());
        EXPECT_EQ(reader->PendingFaults(), 0u) << "the reader went away before the fault meant to remove it";
    }

    // The handle still works as far as it can without a reader: every call that needs one fails at once.
    const Outcome later = RunOnThread(
        [&] {
            std::uint32_t failures = 0;
            std::uint32_t length = static_cast<std::uint32_t>(response.size());
            failures +=
                RYX_ExchangeApdu(handle, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()),
                                 response.data(), &length) == RYX_ERROR_GEN_FAILURE;
            std::uint32_t atrRoom = sizeof atr;
            failures += RYX_PowerOnIcc(handle, 0, atr, &atrRoom) == RYX_ERROR_GEN_FAILURE && atrRoom == 0;
            std::uint32_t status = 0xEE;
            failures += RYX_GetIccStatus(handle, 0, &status) == RYX_ERROR_GEN_FAILURE && status == RYX_ICC_UNKNOWN;
            const std::uint8_t escape[] = {0x01, 0x02};
            std::uint8_t reply[8];
            std::uint32_t returned = 0xEE;
            failures += RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, escape, sizeof escape, reply, sizeof reply,
                                    &returned) == RYX_ERROR_GEN_FAILURE &&
                        returned == 0;
            failures += RYX_PowerOffIcc(handle, 1) == RYX_ERROR_GEN_FAILURE;
            std::uint32_t slots = 0;
            failures += RYX_GetNumSlots(handle, &slots) == RYX_SUCCESS && slots == 2;  // needs no reader
            return failures;
        },
        [] {}, kHangUpBound);
    EXPECT_TRUE(later.inTime);
    EXPECT_EQ(later.code, 6u) << "each of six calls fails as it should (card calls with 31 and their out-values)";

    const Outcome closed = RunOnThread([&] { return RYX_Close(handle); }, [] {}, kHangUpBound);
    EXPECT_TRUE(closed.inTime);
    EXPECT_EQ(closed.code, RYX_SUCCESS);
    EXPECT_EQ(RYX_Close(handle), RYX_ERROR_INVALID_HANDLE);
    std::uint32_t length = static_cast<std::uint32_t>(response.size());
    EXPECT_EQ(RYX_ExchangeApdu(handle, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()),
                               response.data(), &length),
              RYX_ERROR_INVALID_HANDLE);

    reader.reset();
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    EXPECT_TRUE(ThreadsFallTo(threadsBefore)) << Threads() << " threads, " << threadsBefore << " before";
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, ReaderGone,
    ::testing::Values(
        // Unplugged at the frame it should answer.
        VanishCase{"UnpluggedAtAShortExchange", Gone::kUnplugged, Shape::kShort, {Of(sim::FaultKind::kVanish)}, 0, 0},
        VanishCase{"UnpluggedAtTheSecondCommandBlock",
                   Gone::kUnplugged,
                   Shape::kCommandChain,
                   {Pass(1), Of(sim::FaultKind::kVanish)},
                   0,
                   0},
        VanishCase{"UnpluggedAtTheLastCommandBlock",
                   Gone::kUnplugged,
                   Shape::kCommandChain,
                   {Pass(3), Of(sim::FaultKind::kVanish)},
                   0,
                   0},
        VanishCase{"UnpluggedAtTheThirdResponsePiece",
                   Gone::kUnplugged,
                   Shape::kResponseChain,
                   {Pass(2), Of(sim::FaultKind::kVanish)},
                   0,
                   0},
        VanishCase{"UnpluggedAtARepeatRequest",
                   Gone::kUnplugged,
                   Shape::kShort,
                   {Of(sim::FaultKind::kDamageResponse), Of(sim::FaultKind::kVanish)},
                   0,
                   0},
        // Switched off while the host waits for a status frame (the status is held back) ...
        VanishCase{"StoppedWhileTheHostWaitsForAStatus",
                   Gone::kStopped,
                   Shape::kShort,
                   {Of(sim::FaultKind::kDelayStatus)},
                   1,
                   0},
        VanishCase{"StoppedInsideACommandChain",
                   Gone::kStopped,
                   Shape::kCommandChain,
                   {Pass(2), Of(sim::FaultKind::kDelayStatus)},
                   3,
                   4},
        // ... for a response frame after its status ...
        VanishCase{"StoppedWhileTheHostWaitsForAResponse",
                   Gone::kStopped,
                   Shape::kShort,
                   {Of(sim::FaultKind::kDelayResponse)},
                   1,
                   1},
        VanishCase{"StoppedInsideAResponseChain",
                   Gone::kStopped,
                   Shape::kResponseChain,
                   {Pass(2), Of(sim::FaultKind::kDelayResponse)},
                   3,
                   5},
        // ... or for the rest of a response frame of which a first piece arrived.
        VanishCase{"StoppedHalfWayThroughAResponseFrame", Gone::kStopped, Shape::kShort, {FirstPieceOnly()}, 1, 2},
        VanishCase{"StoppedHalfWayThroughAResponsePiece",
                   Gone::kStopped,
                   Shape::kResponseChain,
                   {Pass(1), FirstPieceOnly()},
                   2,
                   4},
        VanishCase{"DestroyedWhileTheHostWaitsForAResponse",
                   Gone::kDestroyed,
                   Shape::kShort,
                   {Of(sim::FaultKind::kDelayResponse)},
                   1,
                   1},
        VanishCase{"DestroyedInsideACommandChain",
                   Gone::kDestroyed,
                   Shape::kCommandChain,
                   {Pass(1), Of(sim::FaultKind::kDelayStatus)},
                   2,
                   2}),
    NameOfCase());

}  // namespace
}  // namespace ryx::test
