// Replays every file of fuzz/corpus/<name>/ and fuzz/regressions/<name>/ through its fuzz harness. A harness
// aborts on a broken invariant, and the sanitized builds stop on a memory error, so a failing input fails its
// target's test; the input's path is printed just before it runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "support/param_name.h"

extern "C" int RyxFuzzHarness_frame(const std::uint8_t* data, std::size_t size);
extern "C" int RyxFuzzHarness_reply(const std::uint8_t* data, std::size_t size);
extern "C" int RyxFuzzHarness_parse_atr(const std::uint8_t* data, std::size_t size);
extern "C" int RyxFuzzHarness_script(const std::uint8_t* data, std::size_t size);
extern "C" int RyxFuzzHarness_card(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

struct Harness {
    const char* name;
    int (*run)(const std::uint8_t* data, std::size_t size);
};

std::vector<fs::path> InputsOf(const std::string& name) {
    std::vector<fs::path> inputs;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(RYX_FUZZ_DIR) / kind / name;
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

// Names the parameter in test output instead of dumping its bytes.
void PrintTo(const Harness& harness, std::ostream* out) {
    *out << harness.name;
}

class FuzzCorpus : public testing::TestWithParam<Harness> {};

TEST_P(FuzzCorpus, EveryInputPassesTheHarness) {
    const Harness& harness = GetParam();
    const std::vector<fs::path> inputs = InputsOf(harness.name);
    // A target without seeds would pass here while its path or its name is wrong.
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << RYX_FUZZ_DIR << "/corpus/" << harness.name;
    for (const fs::path& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        ASSERT_TRUE(file) << path;
        // An exact-size heap copy, as the fuzzer hands its inputs over.
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s\n", path.c_str());
        EXPECT_EQ(harness.run(bytes.data(), bytes.size()), 0) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus,
                         testing::Values(Harness{"frame", RyxFuzzHarness_frame}, Harness{"reply", RyxFuzzHarness_reply},
                                         Harness{"parse_atr", RyxFuzzHarness_parse_atr},
                                         Harness{"script", RyxFuzzHarness_script},
                                         Harness{"card", RyxFuzzHarness_card}),
                         ryx::test::NameOfCase());

}  // namespace
