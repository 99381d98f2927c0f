// What a long life leaves behind: many open/close cycles and long runs of exchanges, successful and failed, must
// leave no file descriptor and no thread behind. Memory is left to the tools: LeakSanitizer in the sanitized
// build, and valgrind over this binary in CI (with RYX_RESOURCE_DIVISOR cutting the counts to fit its pace).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ryx.h>

#include "reliability_support.h"
#include "sim/simulator.h"

namespace ryx::test {
namespace {

constexpr std::size_t kOpenCloseCycles = 1'000;
constexpr std::size_t kExchanges = 10'000;

// The counts divided by RYX_RESOURCE_DIVISOR (default 1), for a run under a slow tool.
std::size_t Scaled(std::size_t count) {
    const char* text = std::getenv("RYX_RESOURCE_DIVISOR");
    const long divisor = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return std::max<std::size_t>(1, count / static_cast<std::size_t>(std::max(divisor, 1L)));
}

const std::vector<std::uint8_t> kAtr(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end());

TEST(Resources, OpenCloseCyclesLeaveNoDescriptorOrThread) {
    sim::Simulator reader;
    ASSERT_TRUE(reader.Start());
    // Counted with the reader running both times, so its own descriptors and thread are in both counts.
    const int descriptors = OpenDescriptors();
    const int threads = Threads();
    const std::size_t cycles = Scaled(kOpenCloseCycles);
    for (std::size_t i = 0; i < cycles; ++i) {
        RYX_HANDLE handle = nullptr;
        ASSERT_EQ(RYX_OpenA(reader.SlavePath().c_str(), &handle), RYX_SUCCESS) << "cycle " << i;
        if (i % 2 == 1) {  // every other cycle also powers the card, so that close has a slot to turn off
            std::uint32_t length = 0;
            ASSERT_EQ(RYX_PowerOnIcc(handle, 0, nullptr, &length), RYX_ERROR_INSUFFICIENT_BUFFER);
        }
        ASSERT_EQ(RYX_Close(handle), RYX_SUCCESS) << "cycle " << i;
    }
    EXPECT_EQ(OpenDescriptors(), descriptors) << "after " << cycles << " open/close cycles";
    EXPECT_EQ(Threads(), threads);
}

TEST(Resources, FailedOpensLeaveNoDescriptor) {
    sim::Simulator reader;
    ASSERT_TRUE(reader.Start());
    RYX_HANDLE held = nullptr;
    ASSERT_EQ(RYX_OpenA(reader.SlavePath().c_str(), &held), RYX_SUCCESS);
    const int descriptors = OpenDescriptors();
    const std::size_t cycles = Scaled(kOpenCloseCycles) / 4 + 1;
    for (std::size_t i = 0; i < cycles; ++i) {
        RYX_HANDLE handle = nullptr;
        EXPECT_EQ(RYX_OpenA("/dev/ryx-no-such-port", &handle), RYX_ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RYX_OpenA(reader.SlavePath().c_str(), &handle), RYX_ERROR_ACCESS_DENIED);  // in use
        EXPECT_EQ(RYX_OpenA("/proc/self/status", &handle), RYX_ERROR_INVALID_PARAMETER);     // not a serial device
        EXPECT_EQ(handle, nullptr);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(RYX_Close(held), RYX_SUCCESS);
}

// One call of the long run, and what it must give.
struct Step {
    const char* what;
    std::optional<sim::FaultKind> fault;  // queued for this call's first frame
    std::uint32_t expected;
};

TEST(Resources, ExchangesSuccessfulAndFailedLeaveNoDescriptorOrThread) {
    sim::Config config;
    config.model = sim::Model::KT6630RS;  // 506-byte blocks
    sim::Simulator reader(config);
    ASSERT_TRUE(reader.Start());
    RYX_HANDLE handle = nullptr;
    ASSERT_EQ(RYX_OpenA(reader.SlavePath().c_str(), &handle), RYX_SUCCESS);
    const LinkTimeouts timeouts{100, 1, 100, 1};
    ASSERT_EQ(RYX_SetTimeouts(handle, &timeouts), RYX_SUCCESS);
    std::uint32_t length = 64;
    std::array<std::uint8_t, 64> atr{};
    ASSERT_EQ(RYX_PowerOnIcc(handle, 0, atr.data(), &length), RYX_SUCCESS);

    const int descriptors = OpenDescriptors();
    const int threads = Threads();
    // Faults the host recovers from, and faults that fail the call, each on the failure paths of every layer; none
    // makes the host wait out a time-out.
    const std::vector<Step> faults = {
        {"refused status", sim::FaultKind::kRefuseStatus, RYX_SUCCESS},
        {"damaged response", sim::FaultKind::kDamageResponse, RYX_SUCCESS},
        {"wrong sequence", sim::FaultKind::kWrongSequence, RYX_ERROR_GEN_FAILURE},
        {"mute card", sim::FaultKind::kStatusError, RYX_ERROR_TIMEOUT},
    };
    std::vector<std::uint8_t> response(65538);
    const std::size_t exchanges = Scaled(kExchanges);
    std::size_t failures = 0;
    for (std::size_t i = 0; i < exchanges; ++i) {
        Apdu apdu;
        switch (i % 8) {
            case 0:
            case 1:
            case 2:
                apdu = EchoApdu(1 + i % 200, static_cast<std::uint8_t>(i));
                break;
            case 3:
                apdu = EchoApdu(500 + i % 20, static_cast<std::uint8_t>(i));  // around the block size
                break;
            case 4:
                apdu = EchoApdu(1500 + i % 100, static_cast<std::uint8_t>(i));  // a command chain
                break;
            case 5:
                apdu = PatternApdu(1000 + i % 3000);  // a response chain
                break;
            default:
                apdu = EchoApdu(16, static_cast<std::uint8_t>(i));
                break;
        }
        const Step* step = nullptr;
        if (i % 10 == 9) {
            step = &faults[(i / 10) % faults.size()];
            sim::Fault f;
            f.kind = *step->fault;
            reader.QueueFault(f);
        }
        std::uint32_t responseLength = static_cast<std::uint32_t>(response.size());
        const std::uint32_t code =
            RYX_ExchangeApdu(handle, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()),
                             response.data(), &responseLength);
        const std::uint32_t expected = step != nullptr ? step->expected : RYX_SUCCESS;
        ASSERT_EQ(code, expected) << "exchange " << i << (step != nullptr ? std::string(", ") + step->what : "");
        if (code == RYX_SUCCESS) {
            ASSERT_EQ(std::vector<std::uint8_t>(response.begin(), response.begin() + responseLength), apdu.response)
                << "exchange " << i;
        } else {
            ++failures;
        }
        if (i % 100 == 50) {  // now and then the other calls, which take their own paths through the layers
            std::uint32_t status = 0;
            ASSERT_EQ(RYX_GetIccStatus(handle, 0, &status), RYX_SUCCESS);
            ASSERT_EQ(status, RYX_ICC_POWERED);
            const std::uint8_t escape[] = {0x01, 0x02, 0x03};
            std::uint8_t reply[16];
            std::uint32_t returned = 0;
            ASSERT_EQ(RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, escape, sizeof escape, reply, sizeof reply, &returned),
                      RYX_SUCCESS);
            ASSERT_EQ(RYX_PowerOffIcc(handle, 0), RYX_SUCCESS);
            length = static_cast<std::uint32_t>(atr.size());
            ASSERT_EQ(RYX_PowerOnIcc(handle, 0, atr.data(), &length), RYX_SUCCESS);
            ASSERT_EQ(std::vector<std::uint8_t>(atr.begin(), atr.begin() + length), kAtr);
        }
    }
    EXPECT_GT(failures, 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors) << "after " << exchanges << " exchanges";
    EXPECT_EQ(Threads(), threads);
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
}

TEST(Resources, AReaderThatVanishedLeavesNothingOnceClosed) {
    // Counted with no reader at all, before it starts and after it is gone: the simulator's own descriptors are in
    // neither count.
    const int descriptors = OpenDescriptors();
    const int threads = Threads();
    const std::size_t cycles = Scaled(kOpenCloseCycles) / 10 + 1;
    for (std::size_t i = 0; i < cycles; ++i) {
        auto reader = std::make_unique<sim::Simulator>();
        ASSERT_TRUE(reader->Start());
        RYX_HANDLE handle = nullptr;
        ASSERT_EQ(RYX_OpenA(reader->SlavePath().c_str(), &handle), RYX_SUCCESS);
        if (i % 2 == 0) {
            sim::Fault vanish;
            vanish.kind = sim::FaultKind::kVanish;
            reader->QueueFault(vanish);
        } else {
            reader->Stop();
        }
        const Apdu apdu = EchoApdu(600, 1);
        std::vector<std::uint8_t> response(1024);
        std::uint32_t responseLength = static_cast<std::uint32_t>(response.size());
        EXPECT_EQ(RYX_ExchangeApdu(handle, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()),
                                   response.data(), &responseLength),
                  RYX_ERROR_GEN_FAILURE);
        EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
        reader.reset();
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_TRUE(ThreadsFallTo(threads)) << Threads() << " threads, " << threads << " before";
}

}  // namespace
}  // namespace ryx::test
