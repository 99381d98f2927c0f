// ryx_test.exe under wine, run against ryx_sim through COM5 with the console transcripts of the Linux build: the
// same golden files (tests/tools/golden/<case>.in and .out), every case there, compared after CR LF became LF and
// the port names became the ones the Linux transcripts show.
//
// Left out: reader_unplugged, whose reader vanishes mid-session. Closing the pty while wineserver holds it as its
// controlling terminal hangs wineserver up; on Windows the library sees the port fail like on Linux.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "wine_support.h"

namespace ryx::wine {
namespace {

constexpr const char* kPort = "COM5";
// Nothing is mapped here, so an open fails as a missing port does on Linux.
constexpr const char* kMissingPort = "COM8";

// The simulator's options of the cases that need more than the default reader, as in the Linux transcript test
// (tests/tools/transcript_test.cpp); every other case runs against the default reader.
const std::map<std::string, std::vector<std::string>> kSimulatorOptions = {
    {"startup_three_slots", {"--model", "KT6630RS", "--rate", "115200"}},
    {"firmware_query_failure", {"--fault", "pass:1", "--fault", "status-error:1:41FE"}},
};

std::vector<std::string> GoldenCases() {
    std::vector<std::string> cases;
    if (DIR* dir = opendir(RYX_GOLDEN_DIR)) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".in") == 0) {
                cases.push_back(name.substr(0, name.size() - 3));
            }
        }
        closedir(dir);
    }
    std::sort(cases.begin(), cases.end());
    cases.erase(std::remove(cases.begin(), cases.end(), "reader_unplugged"), cases.end());
    return cases;
}

// The Windows transcript in the Linux form: LF line ends, "PORT" for the reader's port, the Linux test's missing
// path for the missing port.
std::string Normalise(std::string text, const std::string& missingPortOnLinux) {
    text = std::regex_replace(text, std::regex("\r\n"), "\n");
    text = std::regex_replace(text, std::regex("/dev/pts/[0-9]+"), "PORT");
    text = std::regex_replace(text, std::regex(std::string("\\(") + kPort + "\\)"), "(PORT)");
    return std::regex_replace(text, std::regex(std::string("\\(") + kMissingPort + "\\)"),
                              "(" + missingPortOnLinux + ")");
}

class WineTranscript : public testing::TestWithParam<std::string> {};

TEST_P(WineTranscript, MatchesTheLinuxGoldenFile) {
    const std::string name = GetParam();
    const std::string base = std::string(RYX_GOLDEN_DIR) + "/" + name;
    const std::string program = ShellQuote(RYX_WINE) + " " + ShellQuote(WindowsBinDir() + "/ryx_test.exe");
    const std::string waitForServer = ShellQuote(RYX_WINESERVER) + " -w";
    std::vector<std::string> argv;
    if (name == "no_argument" || name == "open_failure") {
        // No reader: ryx_test runs alone.
        const std::string argument = name == "open_failure" ? std::string(" ") + kMissingPort : std::string();
        argv = {"/bin/sh", "-c", program + argument + "; s=$?; " + waitForServer + "; exit $s"};
    } else {
        argv.push_back(RYX_SIM_BINARY);
        if (auto it = kSimulatorOptions.find(name); it != kSimulatorOptions.end()) {
            argv.insert(argv.end(), it->second.begin(), it->second.end());
        }
        argv.push_back("--link");
        argv.push_back(Prefix() + "/dosdevices/com5");
        argv.push_back("--run");
        // wineserver must be gone before ryx_sim closes the pty.
        argv.push_back(program + " " + kPort + "; s=$?; " + waitForServer + "; exit $s");
    }
    const Outcome run = RunProgram(argv, ReadFile(base + ".in"), RYX_SOURCE_DIR, std::chrono::seconds(180));
    ASSERT_FALSE(run.timedOut) << "the run did not end within 180 s; output so far:\n" << run.out << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Normalise(run.err, ""), argv[0] == RYX_SIM_BINARY ? "PORT\n" : "");  // the simulator's path
    EXPECT_EQ(Normalise(run.out, "/nonexistent/ryx-port"), ReadFile(base + ".out"));
}

INSTANTIATE_TEST_SUITE_P(Golden, WineTranscript, testing::ValuesIn(GoldenCases()),
                         [](const testing::TestParamInfo<std::string>& param) { return param.param; });

}  // namespace
}  // namespace ryx::wine
