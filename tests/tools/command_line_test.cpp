// The real ryx_test program in its command-line mode against an in-process simulated reader: exit statuses, the
// exact texts on standard output and standard error, what reached the reader, TAP output, --probe, and the close
// after SIGINT/SIGTERM.
#include "sim/simulator.h"
#include "support/child_program.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kIccPowerOff = 0x63;

// ryx_test running in the source tree (scripts are named by their paths there), its standard input a pipe.
class Program : public ryx::test::ChildProgram {
public:
    explicit Program(const std::vector<std::string>& args) : ChildProgram(RYX_TEST_BINARY, args, RYX_SOURCE_DIR) {}
};

class CommandLine : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.Start()); }

    std::vector<ryx::sim::FrameRecord> Commands() const {
        std::vector<ryx::sim::FrameRecord> commands;
        for (const ryx::sim::FrameRecord& f : sim_.ReceivedFrames()) {
            if (f.kind == ryx::sim::FrameRecord::Kind::kCommand && f.header) {
                commands.push_back(f);
            }
        }
        return commands;
    }
    // The slots powered off by the close, in order (the frames after the last command that was not a power-off).
    std::vector<int> ClosingPowerOffs() const {
        std::vector<int> slots;
        for (const ryx::sim::FrameRecord& f : Commands()) {
            if (f.header->type != kIccPowerOff) {
                slots.clear();
            } else {
                slots.push_back(f.header->slot);
            }
        }
        return slots;
    }

    ryx::sim::Simulator sim_;
};

std::string WriteTemp(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

struct StatusCase {
    const char* name;
    std::vector<std::string> args;  // "PORT" stands for the simulator's terminal
    std::function<void(ryx::sim::Simulator&)> prepare;
    int status;
    std::string err;  // exact
};

TEST_F(CommandLine, ExitStatusesAndErrors) {
    const std::string mismatch =
        WriteTemp("mismatch.txt", "00 A4 04 00 08 A0 00 00 05 52 59 58 01\n90 01\n00 B0\n90 00\n");
    const std::string refused = WriteTemp("refused.txt", "# fine\n00 A4 ; select\n90 00\n00 B0\n");
    const StatusCase cases[] = {
        {"all_ok", {"PORT", "--power-on", "--script", "examples/select_read_binary.txt", "--power-off"}, {}, 0, ""},
        {"mismatch",
         {"PORT", "--power-on", "--script", mismatch},
         {},
         1,
         "ryx_test: " + mismatch + ":1: the response differs from the expected one at byte 1\n"},
        {"no_card",
         {"PORT", "--power-on", "--status"},
         [](ryx::sim::Simulator& s) { s.RemoveCard(0); },
         2,
         "ryx_test: RYX_PowerOnIcc: RYX_W_REMOVED_CARD (0xA0100069): there is no card in the slot\n"},
        {"apdu_unpowered",
         {"PORT", "--apdu", "00A4040000"},
         {},
         2,
         "ryx_test: RYX_ExchangeApdu: RYX_ERROR_TIMEOUT (0x000005B4): the card is mute\n"},
        {"bad_slot",
         {"PORT", "--slot", "2", "--status"},
         {},
         2,
         "ryx_test: RYX_GetIccStatus: RYX_ERROR_INVALID_PARAMETER (0x00000057): an argument was refused (a slot past "
         "the reader's count, a rate it does not know, ...)\n"},
        {"missing_script",
         {"PORT", "--script", "/nonexistent/s.txt"},
         {},
         2,
         "ryx_test: /nonexistent/s.txt: cannot read the script: No such file or directory\n"},
        {"bad_command_line",
         {"PORT", "--apdu", "0A4"},
         {},
         64,
         "ryx_test: --apdu needs hex bytes, an even number of digits, not \"0A4\" (ryx_test --help shows the usage)\n"},
        {"refused_script",
         {"PORT", "--power-on", "--script", refused},
         {},
         65,
         refused +
             ":2: the command holds ';', which is not a hex digit (write remarks on lines of their own starting "
             "with ';' or '#')\n" +
             refused + ":4: the command has no expected response line after it\nryx_test: " + refused +
             ": script refused, nothing was sent (fix the lines above, or run it by the console's rules with "
             "--lenient)\n"},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        ryx::sim::Simulator sim;
        ASSERT_TRUE(sim.Start());
        if (c.prepare) {
            c.prepare(sim);
        }
        std::vector<std::string> args = c.args;
        for (std::string& a : args) {
            a = a == "PORT" ? sim.SlavePath() : a;
        }
        Program program(args);
        EXPECT_EQ(program.Finish(), c.status) << program.err;
        EXPECT_EQ(program.err, c.err);
        if (c.status == 65 || c.status == 64) {
            EXPECT_TRUE(sim.ReceivedFrames().empty()) << "a refused command line sent frames";
        }
    }
}

TEST_F(CommandLine, ActionsPrintWhatTheConsolePrints) {
    Program program({sim_.SlavePath(), "--power-on", "--status", "--apdu", "80 12 00 00 02", "--protocol", "t0",
                     "--escape-script", "examples/firmware_version.txt", "--baud", "19200", "--timeouts",
                     "2000,1,10000,1", "--power-off"});
    ASSERT_EQ(program.Finish(), 0) << program.err;
    EXPECT_EQ(program.out,
              "Slot 0: Powering on the ICC...\nATR:\n3B 16 96 52 59 58 53 49 4D\n\n"
              "Slot 0: Getting the ICC status...\nICC Status: Powered\n\n"
              "Slot 0: Exchanging the APDU...\nCommand:\n80 12 00 00 02\nResponse:\n00 01 90 00\n\n"
              "Slot 0: Setting the protocol...\nActive Protocol: T=0\n\n"
              "Slot 0: Sending the escape command...\nOpening examples/firmware_version.txt...\nCommand:\n"
              "E0 00 00 18 00\nResponse:\nE1 00 00 00 0D 4B 54 34 34 37 30 52 53 20 31 2E\n30 37\nExpected:\n"
              "XX XX XX XX XX 4B 54 XX XX XX XX 52 53 20 XX XX \nXX XX \nCompare OK\n\n"
              "Setting the baud rate...\nRYX_SetBaudRate: OK\n\n"
              "Setting the timeouts...\nRYX_SetTimeouts: OK\n\n"
              "Slot 0: Powering off the ICC...\nRYX_PowerOffIcc: OK\n\n");
    EXPECT_EQ(program.err, "");
    EXPECT_EQ(ClosingPowerOffs(), (std::vector<int>{0, 0, 1}));
}

TEST_F(CommandLine, HashRemarksAreCommentsUnlessLenient) {
    const std::string script = WriteTemp("remark.txt", "# EE\n00 A4 04 00 08 A0 00 00 05 52 59 58 01\n90 00\n");
    Program strict({sim_.SlavePath(), "--power-on", "--script", script});
    EXPECT_EQ(strict.Finish(), 0) << strict.err;
    // By the console's rules "# EE" is the command EE, and the select line its expected response.
    Program lenient({sim_.SlavePath(), "--power-on", "--lenient", "--script", script});
    EXPECT_EQ(lenient.Finish(), 1) << lenient.err;
    EXPECT_NE(lenient.out.find("Command:\nEE\n"), std::string::npos) << lenient.out;
}

TEST_F(CommandLine, TapOutput) {
    const std::string script = WriteTemp("tap.txt",
                                         "; two pairs\n00 A4 04 00 08 A0 00 00 05 52 59 58 01\n90 00\n\n"
                                         "00 B0 00 00 10\nXX XX 90 00\n");
    Program program({sim_.SlavePath(), "--tap", "--power-on", "--script", script, "--power-off"});
    EXPECT_EQ(program.Finish(), 1);
    std::vector<std::string> points;
    std::string plan;
    size_t lines = 0;
    const std::regex point("(not )?ok [0-9]+ - .*");
    for (size_t at = 0, end; (end = program.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = program.out.substr(at, end - at);
        if (lines++ == 0) {
            EXPECT_EQ(line, "TAP version 13");
        } else if (std::regex_match(line, point)) {
            points.push_back(line);
        } else if (line.compare(0, 3, "1..") == 0) {
            plan = line;
        } else {
            EXPECT_EQ(line[0], '#') << "neither a test point, a plan nor a diagnostic: " << line;
        }
    }
    EXPECT_EQ(points, (std::vector<std::string>{"ok 1 - --power-on", "ok 2 - " + script + ":2",
                                                "not ok 3 - " + script + ":5"}));
    EXPECT_EQ(plan, "1..3");
}

TEST_F(CommandLine, ProbeAReaderAndPortsWithout) {
    ryx::sim::Simulator silent;  // a port where nothing answers: every line speed is tried
    ASSERT_TRUE(silent.Start());
    silent.SetSilent(true);
    Program program({"--probe", sim_.SlavePath(), "/nonexistent/ryx-port", silent.SlavePath()});
    EXPECT_EQ(program.Finish(), 2);
    EXPECT_EQ(program.out, sim_.SlavePath() + ": model KT4470RS, 2 slots, 9600 bps, firmware \"KT4470RS 1.07\"\n" +
                               "/nonexistent/ryx-port: RYX_OpenA: RYX_ERROR_FILE_NOT_FOUND (0x00000002): there is no "
                               "such serial port\n" +
                               silent.SlavePath() +
                               ": RYX_OpenA: RYX_ERROR_GEN_FAILURE (0x0000001F): no valid frame or reply from the "
                               "reader\n");
    EXPECT_EQ(ClosingPowerOffs(), (std::vector<int>{0, 1}));
    Program one({"--probe", sim_.SlavePath()});
    EXPECT_EQ(one.Finish(), 0);
}

TEST_F(CommandLine, HelpVersionAndList) {
    Program help({"--help"});
    EXPECT_EQ(help.Finish(), 0);
    EXPECT_EQ(help.out.compare(0, 23, "Usage: ryx_test [PORT] "), 0) << help.out;
    EXPECT_NE(help.out.find("  65  a script was refused by the check; nothing was sent\n"), std::string::npos);
    Program version({"--version"});
    EXPECT_EQ(version.Finish(), 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("ryx_test 1\\.0\\.1\nryx library 1\\.0\\.1 \\(.*\\)\n")))
        << version.out;
    Program list({"--list"});
    EXPECT_EQ(list.Finish(), 0);
    EXPECT_TRUE(std::regex_match(list.out, std::regex("(/dev/[^\n]+\n)*"))) << list.out;
}

// A signal in the middle of a library call (the power-on's answer held back) or at a console prompt: the reader is
// closed, every slot powered off, before the program ends.
TEST_F(CommandLine, SignalClosesTheReader) {
    for (int signalNumber : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signalNumber);
        ryx::sim::Simulator sim;
        ASSERT_TRUE(sim.Start());
        sim.QueueFault({ryx::sim::FaultKind::kPass, 1});  // the firmware query of the open
        ryx::sim::Fault delay{ryx::sim::FaultKind::kDelayResponse, 1};
        delay.delay = 3000ms;
        sim.QueueFault(delay);
        Program program({sim.SlavePath(), "--power-on", "--status"});
        ASSERT_TRUE(sim.WaitForFrames(2, 30s));
        program.Signal(signalNumber);
        EXPECT_EQ(program.Finish(), 128 + signalNumber) << program.err;
        std::vector<int> types;
        for (const auto& f : sim.ReceivedFrames()) {
            types.push_back(f.header ? f.header->type : -1);
        }
        // Open, the power-on that was under way, then the close: no status query after the signal.
        EXPECT_EQ(types, (std::vector<int>{0x6B, 0x62, kIccPowerOff, kIccPowerOff}));
        EXPECT_FALSE(sim.Powered(0));
    }

    Program console({sim_.SlavePath()});
    console.Write("2\n0\n1\n");  // Card, slot 0, Power On ICC
    ASSERT_TRUE(console.ReadUntil([&] { return console.out.find("Press [Enter] key") != std::string::npos; }));
    ASSERT_TRUE(sim_.Powered(0));
    console.Signal(SIGINT);
    EXPECT_EQ(console.Finish(), 0);
    EXPECT_NE(console.out.find("RYX_Close: OK\n"), std::string::npos) << console.out;
    EXPECT_EQ(ClosingPowerOffs(), (std::vector<int>{0, 1}));
    EXPECT_FALSE(sim_.Powered(0));
}

}  // namespace

namespace {

// Every example of examples/ passes on every simulated model it is written for, run as the README shows.
TEST(Examples, PassOnEveryModel) {
    struct Case {
        ryx::sim::Model model;
        std::vector<std::string> escapeScripts;
    };
    const Case cases[] = {
        {ryx::sim::Model::KT4470RS, {"examples/firmware_version.txt"}},
        {ryx::sim::Model::KT4470RS_V3, {"examples/firmware_version_v3.txt"}},
        {ryx::sim::Model::KT6630RS, {"examples/firmware_version.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.model));
        ryx::sim::Config config;
        config.model = c.model;
        ryx::sim::Simulator sim(config);
        ASSERT_TRUE(sim.Start());
        std::vector<std::string> args = {sim.SlavePath(), "--power-on",
                                         "--script",      "examples/select_read_binary.txt",
                                         "--script",      "examples/long_response.txt"};
        for (const std::string& script : c.escapeScripts) {
            args.insert(args.end(), {"--escape-script", script});
        }
        Program program(args);
        EXPECT_EQ(program.Finish(), 0) << program.err;
        EXPECT_EQ(program.err, "");
    }
}

}  // namespace
