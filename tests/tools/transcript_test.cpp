// Transcripts of the real ryx_test program, run against the real simulator (ryx_sim --run) with prepared standard
// input, compared with the golden files golden/<case>.in (input) and golden/<case>.out (expected output).
//
// ryx_test names the terminal in its messages (and the simulator prints its path on standard error); the path is
// replaced by "PORT" so the transcripts do not depend on which pseudo-terminal was free. With RYX_UPDATE_GOLDEN=1 in
// the environment a case writes what it got to its .out file instead; read the difference before committing it.
#include "support/child_program.h"
#include "support/param_name.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

struct TranscriptCase {
    const char* name;
    bool withSimulator;             // false: ryx_test runs alone
    std::vector<std::string> args;  // the simulator's options, or ryx_test's arguments when it runs alone
};

std::ostream& operator<<(std::ostream& os, const TranscriptCase& c) {
    return os << c.name;
}

const TranscriptCase kCases[] = {
    {"no_argument", false, {}},
    {"open_failure", false, {"/nonexistent/ryx-port"}},
    {"startup", true, {}},
    {"startup_three_slots", true, {"--model", "KT6630RS", "--rate", "115200"}},
    {"firmware_query_failure", true, {"--fault", "pass:1", "--fault", "status-error:1:41FE"}},
    {"reader_unplugged", true, {"--fault", "pass:2", "--fault", "vanish"}},
    {"not_a_number", true, {}},
    {"menu_choice_9", true, {}},
    {"reader_menu", true, {}},
    {"baud_rate_change", true, {}},
    {"baud_rate_not_a_number", true, {}},
    {"timeouts_menu", true, {}},
    {"timeouts_edits", true, {}},
    {"timeouts_not_a_number", true, {}},
    {"card_menu", true, {}},
    {"slot_reask", true, {}},
    {"power_on_atr", true, {}},
    {"protocol_selection", true, {}},
    {"protocol_menu_exit", true, {}},
    {"icc_status", true, {}},
    {"peripheral_menu", true, {}},
    {"script_compare_ok", true, {}},
    {"script_long_response", true, {}},
    {"script_escape", true, {}},
    {"script_mismatch", true, {}},
    {"script_sender_error", true, {}},
    {"script_file_prompt", true, {}},
    {"end_of_input_menu", true, {}},
    {"end_of_input_slot", true, {}},
    {"end_of_input_pause", true, {}},
    {"end_of_input_filename", true, {}},
};

using ryx::test::Outcome;
using ryx::test::ReadFile;
using ryx::test::RunProgram;
using ryx::test::ShellQuote;

std::string Normalise(const std::string& text) {
    static const std::regex kPty("/dev/pts/[0-9]+");
    return std::regex_replace(text, kPty, "PORT");
}

class Transcript : public testing::TestWithParam<TranscriptCase> {};

TEST_P(Transcript, MatchesGoldenFile) {
    const TranscriptCase& c = GetParam();
    const std::string base = std::string(RYX_GOLDEN_DIR) + "/" + c.name;
    std::vector<std::string> argv;
    if (c.withSimulator) {
        argv.push_back(RYX_SIM_BINARY);
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back("--run");
        argv.push_back(ShellQuote(RYX_TEST_BINARY) + " {port}");
    } else {
        argv.push_back(RYX_TEST_BINARY);
        argv.insert(argv.end(), c.args.begin(), c.args.end());
    }
    const Outcome run = RunProgram(argv, ReadFile(base + ".in"), RYX_SOURCE_DIR, std::chrono::seconds(120));
    ASSERT_FALSE(run.timedOut) << "the run did not end within 120 s; output so far:\n" << run.out << run.err;
    // ryx_test always exits with 0, and ryx_sim --run passes its status on.
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Normalise(run.err), c.withSimulator ? "PORT\n" : "");
    const std::string actual = Normalise(run.out);

    const char* update = std::getenv("RYX_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(base + ".out", std::ios::binary) << actual;
        GTEST_SKIP() << "wrote " << base << ".out";
    }
    EXPECT_EQ(actual, ReadFile(base + ".out"));
}

// ryx_sim --run leaves standard output to the command: a TAP reader on the pipe sees TAP from the first line.
TEST(SimulatorRun, TapFromTheFirstLine) {
    const Outcome run = RunProgram({RYX_SIM_BINARY, "--run", ShellQuote(RYX_TEST_BINARY) + " {port} --tap --power-on"},
                                   "", RYX_SOURCE_DIR, std::chrono::seconds(120));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "TAP version 13");
    EXPECT_EQ(Normalise(run.err), "PORT\n");
}

INSTANTIATE_TEST_SUITE_P(Tools, Transcript, testing::ValuesIn(kCases), ryx::test::NameOfCase());

}  // namespace
