// The console under random input: 200 seeded streams of random bytes and lines (menu numbers, numbers of every
// size, hex, garbage, very long lines, NUL bytes, names of script files) fed to the real ryx_test program on a
// simulated reader, each cut off at a random point. Whatever the input, the program must end by itself with exit
// status 0, well within a few seconds, having closed the reader: its last words on the line are the power-off of
// every slot, and its last output lines report the close.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "console_run.h"
#include "sim/simulator.h"

namespace ryx::test {
namespace {

constexpr int kStreams = 200;
constexpr int kBatches = 10;  // each batch is its own test, so that ctest can run batches side by side
constexpr auto kRunBound = std::chrono::seconds(20);  // loose: a run normally takes a small fraction of a second
constexpr std::uint8_t kIccPowerOff = 0x63;

// Streams are made of up to this many pieces (a line, a run of bytes, a path through the menus).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMaxPieces = 2500;
constexpr std::size_t kMaxLongLine = 16 * 1024;
#else
constexpr std::size_t kMaxPieces = 6000;
constexpr std::size_t kMaxLongLine = 64 * 1024;
#endif

// Script files in the program's working directory, named by some lines of a stream.
struct Scripts {
    TempDir dir;
    std::vector<std::string> names;

    Scripts() {
        const auto add = [&](const std::string& name, const std::string& content) {
            dir.Write(name, content);
            names.push_back(name);
        };
        add("echo.txt", "; echo\n80 10 00 00 02 AB CD\nAB CD 90 00\n00 A4 04 00 08 A0 00 00 05 52 59 58 01\n90 00\n");
        add("mismatch.txt", "80 10 00 00 01 5A\n5A 90 01\n");
        add("escape.txt", "E0 00 00 18 00\nXX XX XX XX XX\n01 02 03\n01 02 03\n44 04\n90 04\n");
        add("long.txt", "80 12 00 00 00 02 00\n" + std::string(1024, 'X') + " 90 00\n");
        std::string garbage;
        std::mt19937 random(7);
        for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>(random() & 0xFF));
        add("garbage.bin", garbage);
        add("half pair", "80 10 00 00 01 5A");
    }
};

// One random stream. Lines of known kinds are strung together, then the stream is cut at a random point.
std::string RandomStream(std::uint32_t seed, const std::vector<std::string>& scriptNames) {
    std::mt19937_64 random(seed);
    const auto below = [&](std::uint64_t n) { return static_cast<std::size_t>(random() % n); };
    static const char* const kNumbers[] = {
        "1",           "2",
        "3",           "4",
        "5",           "6",
        "9",           "-1",
        "+1",          "00000000001",
        "9600",        "19200",
        "115200",      "500000",
        "9601",        "100",
        "2147483647",  "2147483648",
        "-2147483648", "-2147483649",
        "4294967295",  "99999999999999999999",
        "+",           "-",
        "1 2 3",       "5 4 3",
    };
    // Lines of a script typed at a prompt. Those that begin with digits are read as numbers there: "90 00" is the
    // choice 90 and then the choice 0, so they count as zeros.
    static const char* const kHex[] = {"E0 00 00 18 00", "XX XX 90 00", "; comment", "A0 00 00 05 52", "FF FF", "x0"};
    static const char* const kHexWithZeros[] = {
        "00 A4 04 00 08 A0 00 00 05 52 59 58 01", "90 00", "80 10 00 00 02 AB CD", "44 04", "0A4", "9x0X"};
    // How often a stream says 0 (back out; at the top, the end of the program): never, now and then, or often. A
    // stream that never does runs until its input ends.
    static const std::uint64_t kZeroOneIn[] = {0, 200, 60, 30, 15};
    const std::uint64_t zeroOneIn = kZeroOneIn[below(std::size(kZeroOneIn))];
    const auto zero = [&] { return zeroOneIn != 0 && below(zeroOneIn) == 0; };
    std::string stream;
    const std::size_t pieces = 1 + below(kMaxPieces);
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        const std::size_t kind = below(100);
        if (kind < 38) {
            // Mostly the menu choices that lead somewhere.
            stream += zero() ? "0" : std::to_string(1 + below(5));
            stream += '\n';
        } else if (kind < 48) {
            static const char* const kZeros[] = {"0", "-0", "+0", "000", "2 0 1", "0 0 0"};
            stream += zero() ? kZeros[below(std::size(kZeros))] : kNumbers[below(std::size(kNumbers))];
            stream += below(4) == 0 ? "\r\n" : "\n";
        } else if (kind < 54) {
            stream += zero() ? kHexWithZeros[below(std::size(kHexWithZeros))] : kHex[below(std::size(kHex))];
            stream += '\n';
        } else if (kind < 62) {
            // Printable garbage.
            const std::size_t n = below(40);
            for (std::size_t i = 0; i < n; ++i) stream += static_cast<char>(' ' + below(95));
            stream += '\n';
        } else if (kind < 68) {
            // Any bytes at all.
            const std::size_t n = below(64);
            for (std::size_t i = 0; i < n; ++i) stream += static_cast<char>(below(256));
        } else if (kind < 71) {
            if (below(3) != 0) continue;
            // A very long line: letters, digits (a number far too large), or spaces.
            const std::size_t n = below(kMaxLongLine);
            const char* const alphabet[] = {"abcXYZ019 ;", "0123456789", " \t"};
            const std::string chars = alphabet[below(3)];
            for (std::size_t i = 0; i < n; ++i) stream += chars[below(chars.size())];
            stream += '\n';
        } else if (kind < 75) {
            // NUL bytes, alone or in a line.
            stream += std::string(1 + below(8), '\0');
            if (below(2) == 0) stream += std::to_string(1 + below(5));
            stream += '\n';
        } else if (kind < 83) {
            stream += '\n';
        } else if (kind < 90) {
            // A script file name, or a name of no file.
            if (below(5) == 0) {
                stream += "no such file " + std::to_string(below(1000));
            } else {
                stream += scriptNames[below(scriptNames.size())];
            }
            stream += '\n';
        } else if (kind < 95) {
            const std::size_t n = 1 + below(6);
            for (std::size_t i = 0; i < n; ++i) stream += " \t\r\n"[below(4)];
        } else {
            // Straight to a card action on slot 0, or a reader action.
            static const char* const kPaths[] = {"2\n1\n1\n\n",      "2\n1\n3\n3\n\n", "2\n1\n4\n\n", "1\n1\n9600\n\n",
                                                 "1\n2\n1\n500\n\n", "3\n1\n1\n",      "2\n2\n5\n"};
            stream += kPaths[below(std::size(kPaths))];
        }
    }
    // The input ends at any point: often mid-line, mid-number or mid-name.
    if (below(4) != 0) stream.resize(below(stream.size() + 1));
    return stream;
}

struct Model {
    sim::Model model;
    std::size_t slots;
};

class RandomInput : public testing::TestWithParam<int> {};

TEST_P(RandomInput, EveryRunEndsWithStatusZeroAndTheReaderClosed) {
    const Scripts scripts;
    const Model models[] = {{sim::Model::KT4470RS, 2}, {sim::Model::KT4470RS_V3, 3}, {sim::Model::KT6630RS, 3}};
    std::chrono::milliseconds slowest{0};
    const int first = GetParam() * (kStreams / kBatches);
    for (int seed = first; seed < first + kStreams / kBatches; ++seed) {
        const std::string input = RandomStream(static_cast<std::uint32_t>(seed), scripts.names);
        const Model& model = models[static_cast<std::size_t>(seed) % std::size(models)];
        sim::Config config;
        config.model = model.model;
        if (seed % 2 == 1) config.cards[1] = sim::SlotCard::BuiltIn();  // sometimes a second card
        sim::Simulator sim(config);
        ASSERT_TRUE(sim.Start());
        const ConsoleRun run = RunConsole(sim.SlavePath(), input, scripts.dir.path(), kRunBound);
        const std::string what = "seed " + std::to_string(seed) + " (" + std::to_string(input.size()) + " bytes)";
        slowest = std::max(slowest, run.elapsed);
        if (std::getenv("RYX_BADINPUT_VERBOSE") != nullptr) {
            std::printf("%s: %lld ms, %zu output bytes, %zu frames\n", what.c_str(),
                        static_cast<long long>(run.elapsed.count()), run.out.size(), sim.ReceivedFrames().size());
        }
        // A failing stream is kept, so that it can be fed to the program by hand.
        struct KeepOnFailure {
            const std::string& input;
            int seed;
            ~KeepOnFailure() {
                if (!testing::Test::HasFailure()) return;
                const char* dir = std::getenv("TMPDIR");
                const std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                                         "/ryx_badinput_seed" + std::to_string(seed) + ".in";
                if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
                    std::fwrite(input.data(), 1, input.size(), f);
                    std::fclose(f);
                    std::printf("the input of seed %d is in %s\n", seed, path.c_str());
                }
            }
        } keep{input, seed};

        ASSERT_FALSE(run.timedOut) << what << ": no end within " << kRunBound.count() << " s; output ends:\n"
                                   << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
        EXPECT_EQ(run.signal, 0) << what;
        EXPECT_EQ(run.status, 0) << what << "\n" << run.err;
        EXPECT_EQ(run.err, "") << what;
        const std::string closing = "Closing the reader (" + sim.SlavePath() + ")...\nRYX_Close: OK\n";
        EXPECT_TRUE(run.out.ends_with(closing)) << what << ": output ends:\n"
                                                << run.out.substr(run.out.size() > 600 ? run.out.size() - 600 : 0);

        // The close powered every slot off, in slot order, and each power-off was taken at the reader's speed.
        const std::vector<sim::FrameRecord> commands = TakenCommands(sim);
        ASSERT_GE(commands.size(), model.slots) << what;
        for (std::size_t slot = 0; slot < model.slots; ++slot) {
            const sim::FrameRecord& f = commands[commands.size() - model.slots + slot];
            ASSERT_TRUE(f.header.has_value()) << what;
            EXPECT_EQ(f.header->type, kIccPowerOff) << what << ", slot " << slot;
            EXPECT_EQ(f.header->slot, slot) << what;
        }
        for (std::size_t slot = 0; slot < model.slots; ++slot) EXPECT_FALSE(sim.Powered(slot)) << what;
        if (HasFailure()) return;  // one failing seed is enough to look at
    }
    RecordProperty("slowest_run_ms", static_cast<int>(slowest.count()));
    EXPECT_LT(slowest, std::chrono::seconds(10)) << "a run took longer than a few seconds";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomInput, testing::Range(0, kBatches), [](const testing::TestParamInfo<int>& param) {
    const int first = param.param * (kStreams / kBatches);
    return "Seeds" + std::to_string(first) + "To" + std::to_string(first + kStreams / kBatches - 1);
});

}  // namespace
}  // namespace ryx::test
