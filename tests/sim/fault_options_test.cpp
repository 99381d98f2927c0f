// Fault descriptions, the order in which queued and random faults apply, and the ryx_sim command line.
#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim/fault_plan.h"
#include "sim/options.h"

namespace ryx::sim {
namespace {

using simtest::Hex;

TEST(ParseFault, EveryKindByNameWithCountAndArgument) {
    for (std::size_t i = 0; i < kFaultKindCount; ++i) {
        const auto kind = static_cast<FaultKind>(i);
        const auto f = ParseFault(std::string(FaultKindName(kind)) + ":3");
        ASSERT_TRUE(f.has_value()) << FaultKindName(kind);
        EXPECT_EQ(f->kind, kind);
        EXPECT_EQ(f->count, 3u);
    }
    auto f = ParseFault("delay-response:2:750");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->delay, std::chrono::milliseconds(750));
    f = ParseFault("chunk-response:1:3,4,1/7");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->chunks, (std::vector<std::size_t>{3, 4, 1}));
    EXPECT_EQ(f->gap, std::chrono::milliseconds(7));
    f = ParseFault("status-error:1:42FE");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->bStatus, 0x42);
    EXPECT_EQ(f->bError, 0xFE);
    f = ParseFault("garbage:1:0102FF");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->garbage, Hex("01 02 FF"));
    f = ParseFault("damage-response:1:12");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->offset, 12u);
    f = ParseFault("truncate-response");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->count, 1u);
    EXPECT_EQ(f->length, 0u);
}

TEST(ParseFault, RefusesWhatItCannotRead) {
    for (const char* bad : {"", "nonsense", "refuse-status:", "refuse-status:0", "refuse-status:x", "refuse-status:1:5",
                            "delay-response:1:", "status-error:1:4", "status-error:1:42FE00", "garbage:1:ABC",
                            "chunk-response:1:0", "chunk-response:1:3,/2", "Refuse-Status"}) {
        std::string why;
        EXPECT_FALSE(ParseFault(bad, &why).has_value()) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

FrameTraits Command() {
    return {};
}
FrameTraits Repeat(bool answered = true) {
    return {true, false, answered};
}
FrameTraits SetParams() {
    return {false, true, true};
}

TEST(FaultPlan, QueuedFaultsApplyInOrderToTheFramesTheyFit) {
    FaultPlan plan;
    Fault refuse{FaultKind::kRefuseSetParameters};
    refuse.count = 2;
    plan.Queue(refuse);
    plan.Queue(Fault{FaultKind::kDamageResponse});
    plan.Queue(Fault{FaultKind::kPass, 1});
    plan.Queue(Fault{FaultKind::kNoStatus});
    EXPECT_FALSE(plan.Take(Command()).has_value());  // the head waits for a SetParameters
    EXPECT_EQ(plan.Take(SetParams())->kind, FaultKind::kRefuseSetParameters);
    EXPECT_FALSE(plan.Take(Repeat()).has_value());
    EXPECT_EQ(plan.Take(SetParams())->kind, FaultKind::kRefuseSetParameters);
    EXPECT_FALSE(plan.Take(Repeat(false)).has_value());  // nothing to repeat: no response to damage
    EXPECT_EQ(plan.Take(Repeat())->kind, FaultKind::kDamageResponse);
    EXPECT_FALSE(plan.Take(Command()).has_value());  // the pass
    EXPECT_FALSE(plan.Take(Repeat()).has_value());   // a status fault does not fit a RepeatRequest
    EXPECT_EQ(plan.Take(Command())->kind, FaultKind::kNoStatus);
    EXPECT_EQ(plan.Pending(), 0u);
    EXPECT_FALSE(plan.Take(Command()).has_value());
    const auto& c = plan.Counters();
    EXPECT_EQ(c.total, 4u);
    EXPECT_EQ(c.byKind[static_cast<std::size_t>(FaultKind::kRefuseSetParameters)], 2u);
    EXPECT_EQ(c.byKind[static_cast<std::size_t>(FaultKind::kPass)], 0u);
}

TEST(FaultPlan, WhichFramesEachKindFits) {
    EXPECT_TRUE(FaultFits(FaultKind::kVanish, Repeat(false)));
    EXPECT_TRUE(FaultFits(FaultKind::kRefuseStatus, Command()));
    EXPECT_FALSE(FaultFits(FaultKind::kRefuseStatus, Repeat()));
    EXPECT_TRUE(FaultFits(FaultKind::kTruncateResponse, Repeat()));
    EXPECT_FALSE(FaultFits(FaultKind::kWrongSequence, Repeat()));
    EXPECT_FALSE(FaultFits(FaultKind::kRefuseSetParameters, Command()));
}

TEST(FaultPlan, RandomFaultsAreRepeatableBySeedAndNeverVanish) {
    auto run = [](std::uint64_t seed) {
        FaultPlan plan;
        plan.SetChaos(0.3, seed, {FaultKind::kVanish, FaultKind::kRefuseStatus, FaultKind::kDamageResponse});
        std::vector<int> kinds;
        for (int i = 0; i < 2000; ++i) {
            auto f = plan.Take(i % 3 == 0 ? Repeat() : Command());
            kinds.push_back(f ? static_cast<int>(f->kind) : -1);
        }
        return std::make_pair(kinds, plan.Counters().total);
    };
    const auto a = run(42);
    EXPECT_EQ(a, run(42));
    EXPECT_NE(a.first, run(43).first);
    EXPECT_GT(a.second, 450u);  // about 600 expected
    EXPECT_LT(a.second, 750u);
    for (int k : a.first) {
        EXPECT_NE(k, static_cast<int>(FaultKind::kVanish));
    }
    // Queued faults go first; random ones fill in.
    FaultPlan plan;
    plan.SetChaos(1.0, 7);
    plan.Queue(Fault{FaultKind::kWrongSlot});
    EXPECT_EQ(plan.Take(Command())->kind, FaultKind::kWrongSlot);
    EXPECT_TRUE(plan.Take(Command()).has_value());
    plan.SetChaos(0.0, 7);
    EXPECT_FALSE(plan.Take(Command()).has_value());
}

TEST(Options, ParsesEveryOption) {
    std::string why;
    auto o = ParseOptions({"--model",
                           "KT6630RS",
                           "--firmware",
                           "KT6630RS 9.99",
                           "--rate",
                           "115200",
                           "--block-size",
                           "100",
                           "--card",
                           "1:3B 02 14 50",
                           "--no-card",
                           "0",
                           "--mute",
                           "2",
                           "--wire-time",
                           "--trace",
                           "--reexecute-repeats",
                           "--fault",
                           "refuse-status:2",
                           "--fault",
                           "delay-response:1:10",
                           "--chaos",
                           "0.05",
                           "--seed",
                           "9",
                           "--link",
                           "/tmp/x",
                           "--run",
                           "echo {port}",
                           "--control",
                           "/tmp/c"},
                          &why);
    ASSERT_TRUE(o.has_value()) << why;
    EXPECT_EQ(o->config.model, Model::KT6630RS);
    EXPECT_EQ(o->config.firmware, "KT6630RS 9.99");
    EXPECT_EQ(o->config.rate, 115200u);
    EXPECT_EQ(o->config.blockSize, 100u);
    EXPECT_FALSE(o->config.cards[0].present);
    EXPECT_EQ(o->config.cards[1].atr, Hex("3B 02 14 50"));
    EXPECT_TRUE(o->config.cards[2].present);
    EXPECT_TRUE(o->config.cards[2].mute);
    EXPECT_TRUE(o->config.wireTime);
    EXPECT_TRUE(o->config.reexecuteRepeats);
    EXPECT_TRUE(o->config.trace);
    ASSERT_EQ(o->faults.size(), 2u);
    EXPECT_EQ(o->faults[0].count, 2u);
    EXPECT_EQ(o->faults[1].delay, std::chrono::milliseconds(10));
    EXPECT_DOUBLE_EQ(o->config.chaosRate, 0.05);
    EXPECT_EQ(o->config.chaosSeed, 9u);
    EXPECT_EQ(o->link, "/tmp/x");
    EXPECT_EQ(o->run, "echo {port}");
    EXPECT_EQ(o->control, "/tmp/c");
    EXPECT_TRUE(o->send.empty());
    EXPECT_FALSE(o->help);

    o = ParseOptions({}, &why);
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->config.model, Model::KT4470RS);
    EXPECT_EQ(o->config.rate, 9600u);
    EXPECT_FALSE(o->config.reexecuteRepeats);
    EXPECT_TRUE(o->config.cards[0].present);
    EXPECT_FALSE(o->config.cards[1].present);
}

TEST(Options, RefusesABadCommandLine) {
    const std::vector<std::vector<std::string>> bad = {
        {"--model", "KT9999"},
        {"--rate", "9601"},
        {"--rate"},
        {"--block-size", "0"},
        {"--card", "3:3B00"},
        {"--card", "0:3B0"},
        {"--card", "3B00"},
        {"--no-card", "x"},
        {"--mute", "5"},
        {"--fault", "bogus"},
        {"--chaos", "1.5"},
        {"--seed", "3"},
        {"--frobnicate"},
        {"--send", "status"},
        {"--control", "/tmp/c", "--send", "status", "--trace"},
        {"port"},
    };
    for (const auto& args : bad) {
        std::string why;
        EXPECT_FALSE(ParseOptions(args, &why).has_value()) << args[0];
        EXPECT_FALSE(why.empty()) << args[0];
    }
}

TEST(Options, PortSubstitutionAndHelp) {
    EXPECT_EQ(SubstitutePort("a {port} b {port}", "/dev/pts/3"), "a /dev/pts/3 b /dev/pts/3");
    EXPECT_EQ(SubstitutePort("no port", "/dev/pts/3"), "no port");
    EXPECT_EQ(SubstitutePort("{port}{port}", "{port}"), "{port}{port}");
    const std::string help = HelpText();
    for (std::size_t i = 0; i < kFaultKindCount; ++i) {
        EXPECT_NE(help.find(FaultKindName(static_cast<FaultKind>(i))), std::string::npos)
            << FaultKindName(static_cast<FaultKind>(i));
    }
}

}  // namespace
}  // namespace ryx::sim
