// The real ryx_test program in its command-line mode against an in-process simulated reader: exit statuses, the
// exact texts on standard output and standard error, what reached the reader, TAP output, --probe, and the close
// after SIGINT/SIGTERM.
#include "sim/simulator.h"
#include "support/child_program.h"

#include <gtest/gtest.h>

#include <errno.h>  // program_invocation_short_name
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
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
         "ryx_test: RYX_PowerOnIcc: RYX_W_REMOVED_CARD (0xA0100069): there is no card in the slot\n"
         "ryx_test: hint: insert a card in the slot (--slot N picks another)\n"},
        {"apdu_unpowered",
         {"PORT", "--apdu", "00A4040000"},
         {},
         2,
         "ryx_test: RYX_ExchangeApdu: RYX_ERROR_TIMEOUT (0x000005B4): the card is mute\n"
         "ryx_test: hint: power the card on first (--power-on); if it is on, the card has stopped answering\n"},
        {"not_a_serial_device",
         {"/dev/null", "--status"},
         {},
         2,
         "ryx_test: RYX_OpenA: RYX_ERROR_INVALID_PARAMETER (0x00000057): an argument was refused (a slot past the "
         "reader's count, a rate it does not know, ...) (ryx_test --list shows the serial ports)\n"
         "ryx_test: hint: /dev/null: not a serial device; name the reader's serial port; ryx_test --list shows "
         "them\n"},
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
    Program program({"--probe", sim_.SlavePath(), "/nonexistent/ryx-port", "/dev/null", silent.SlavePath()});
    EXPECT_EQ(program.Finish(), 2);
    EXPECT_EQ(program.out, sim_.SlavePath() + ": model KT4470RS, 2 slots, 9600 bps, firmware \"KT4470RS 1.07\"\n" +
                               "/nonexistent/ryx-port: RYX_OpenA: RYX_ERROR_FILE_NOT_FOUND (0x00000002): there is no "
                               "such serial port\n"
                               "/dev/null: RYX_OpenA: RYX_ERROR_INVALID_PARAMETER (0x00000057): an argument was "
                               "refused (a slot past the reader's count, a rate it does not know, ...)\n"
                               "/dev/null: hint: not a serial device; name the reader's serial port; ryx_test --list "
                               "shows them\n" +
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

namespace {

// The far end of a pty that the test plays instead of a reader: silent, or echoing every byte back at once.
class PtyPeer {
public:
    explicit PtyPeer(bool echo) : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname(master_) == nullptr) {
            throw std::runtime_error("no pty");
        }
        path_ = ptsname(master_);
        if (echo) {
            thread_ = std::thread([this] {
                while (!stop_) {
                    pollfd p = {master_, POLLIN, 0};
                    char buffer[256];
                    ssize_t n = 0;
                    if (poll(&p, 1, 50) > 0 && (n = read(master_, buffer, sizeof buffer)) > 0) {
                        (void)!write(master_, buffer, size_t(n));
                    }
                }
            });
        }
    }
    ~PtyPeer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        close(master_);
    }
    const std::string& Path() const { return path_; }

private:
    int master_;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string LastLine(const std::string& text) {
    const size_t end = text.empty() ? 0 : text.size() - 1;
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

ryx::sim::Config WithoutCards() {
    ryx::sim::Config config;
    config.cards = {};
    return config;
}

// --diagnose against each kind of trouble, all at once: a scan of the rates against a port where nothing answers
// takes seconds. Each verdict line names the cause.
TEST(Diagnose, VerdictsNameTheCause) {
    ryx::sim::Config wrongModel;
    wrongModel.firmware = "XY9000 1.0";
    ryx::sim::Config fast;
    fast.rate = 500000;
    ryx::sim::Simulator working, json, unknown(wrongModel), faulty, quick(fast), empty(WithoutCards()), mute, busy;
    for (ryx::sim::Simulator* sim : {&working, &json, &unknown, &faulty, &quick, &empty, &mute, &busy}) {
        ASSERT_TRUE(sim->Start());
    }
    // The raw line check's query at 9600 bit/s, the open's and the reader check's pass; then two link exchanges
    // get damaged responses.
    faulty.QueueFault({ryx::sim::FaultKind::kPass, 3});
    faulty.QueueFault({ryx::sim::FaultKind::kDamageResponse, 2});
    mute.SetMute(0, true);
    const int held = open(busy.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const std::string self = program_invocation_short_name;
    const std::string holder = self + " (pid " + std::to_string(getpid()) + ")";
    // A child of this process between its fork and its exec holds the port too, for a moment.
    const auto OneHolder = [&](const std::string& text) {
        return std::regex_replace(text, std::regex("(, " + self + " \\(pid [0-9]+\\))+"), "");
    };
    PtyPeer silent(false), silentToo(false), echo(true);

    struct Case {
        const char* name;
        std::string port;  // what --diagnose is given
        int status;
        std::string verdict;  // the last line, a retry count as "N of 20 exchanges (P%)"
    };
    const Case cases[] = {
        {"unknown model", unknown.SlavePath(), 1,
         "verdict: problem: unknown reader model: firmware \"XY9000 1.0\"; the library drives the KT4470RS, "
         "KT4470RS_V3 and KT6630RS; check that this is one of them"},
        {"damaged frames", faulty.SlavePath(), 1,
         "verdict: problem: frames come back damaged or lost at 9600 bit/s (N of 20 exchanges (P%) "
         "needed a retry); check the cable (its length, shielding and ground) and the adapter"},
        {"500000 bit/s", quick.SlavePath(), 0,
         "verdict: ok: the reader works (KT4470RS at 500000 bit/s; each open first tries the 9 slower rates), "
         "fastest clean rate 500000 bit/s"},
        {"no card", empty.SlavePath(), 1,
         "verdict: problem: the reader works, but there is no card in any slot; insert a card and run the check "
         "again"},
        {"mute card", mute.SlavePath(), 1,
         "verdict: problem: the card in slot 0 does not answer the reset (mute card); check that the card is "
         "inserted the right way round and all the way, or try another card"},
        {"silent line", silent.Path(), 1,
         "verdict: problem: no reader answered at any rate; check the cable, the reader's power and the port name "
         "(ryx_test --list shows the ports)"},
        {"echoing line", echo.Path(), 1,
         "verdict: problem: the line echoes our own frames: a loopback plug or a modem, not a reader; connect the "
         "reader to " +
             echo.Path() + " instead"},
        {"not a serial device", "/dev/null", 2,
         "verdict: problem: /dev/null: not a serial device; name the reader's serial port; ryx_test --list shows "
         "them"},
        {"in use", busy.SlavePath(), 2,
         "verdict: problem: " + busy.SlavePath() + ": in use by another program (" + holder +
             "); end that program, or wait until it has closed the port"},
    };
    std::vector<std::unique_ptr<Program>> programs;
    for (const Case& c : cases) {
        programs.push_back(std::make_unique<Program>(std::vector<std::string>{"--diagnose", c.port}));
    }
    Program working_run({"--diagnose", working.SlavePath()});
    Program json_run({"--diagnose", json.SlavePath(), "--json"});
    // The command-line mode names the same causes in its hint lines.
    Program busy_status({busy.SlavePath(), "--status"});
    Program silent_status({silentToo.Path(), "--status"});

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(programs[i]->Finish(), cases[i].status) << programs[i]->out << programs[i]->err;
        EXPECT_EQ(std::regex_replace(OneHolder(LastLine(programs[i]->out)),
                                     std::regex("[0-9]+ of 20 exchanges \\([0-9]+%\\)"), "N of 20 exchanges (P%)"),
                  cases[i].verdict);
        EXPECT_EQ(programs[i]->err, "");
    }
    EXPECT_FALSE(mute.Powered(0));
    EXPECT_EQ(quick.HostSpeed(), 500000u) << "the reader is not back at its rate";

    ASSERT_EQ(working_run.Finish(), 0) << working_run.out;
    const std::string port = working.SlavePath();
    std::string expected = "port " + port + ": ok: a serial device, free to use\n" +
                           "line: ok: valid frames come back at 9600 bit/s\n"
                           "reader: ok: KT4470RS, firmware \"KT4470RS 1.07\", 2 slots, blocks of up to 261 bytes, at "
                           "9600 bit/s\n";
    for (const char* rate :
         {"9600", "19200", "38400", "57600", "115200", "128000", "230400", "250000", "256000", "500000"}) {
        expected += std::string("link at ") + rate + " bit/s: ok: 20 exchanges, none needed a retry, round trip T\n";
    }
    expected += "link: ok: fastest rate without a retry: 500000 bit/s (ryx_test " + port +
                " --baud 500000 sets it); the reader is back at 9600 bit/s\n"
                "slot 0: ok: ATR 3B 16 96 52 59 58 53 49 4D (direct convention, T=0, Fi 512 Di 32 (TA1 96), no TCK "
                "(T=0 only), 6 historical bytes), T=0 selected\n"
                "slot 1: ok: no card\n"
                "slots: ok: 1 card powered on and took a protocol\n"
                "verdict: ok: the reader works (KT4470RS at 9600 bit/s), fastest clean rate 500000 bit/s\n";
    EXPECT_EQ(std::regex_replace(working_run.out, std::regex("round trip [0-9.]+ ms on average"), "round trip T"),
              expected);
    EXPECT_EQ(working.HostSpeed(), 9600u);
    EXPECT_FALSE(working.Powered(0));

    ASSERT_EQ(json_run.Finish(), 0) << json_run.out;
    const std::string first =
        "{\"checks\":[{\"check\":\"port " + json.SlavePath() + "\",\"verdict\":\"ok\",\"finding\":\"a serial device, ";
    EXPECT_EQ(json_run.out.compare(0, first.size(), first), 0) << json_run.out;
    EXPECT_NE(json_run.out.find("\"verdict\":\"ok\",\"cause\":\"the reader works (KT4470RS at 9600 bit/s), fastest "
                                "clean rate 500000 bit/s\",\"exit\":0}\n"),
              std::string::npos)
        << json_run.out;

    EXPECT_EQ(busy_status.Finish(), 2);
    EXPECT_EQ(OneHolder(busy_status.err),
              "ryx_test: RYX_OpenA: RYX_ERROR_ACCESS_DENIED (0x00000005): the port is in use or not permitted "
              "(ryx_test --list shows the serial ports)\nryx_test: hint: " +
                  busy.SlavePath() + ": in use by another program (" + holder +
                  "); end that program, or wait until it has closed the port\n");
    EXPECT_EQ(silent_status.Finish(), 2);
    EXPECT_EQ(silent_status.err,
              "ryx_test: RYX_OpenA: RYX_ERROR_GEN_FAILURE (0x0000001F): no valid frame or reply from the reader "
              "(ryx_test --list shows the serial ports)\nryx_test: hint: no reader answered at any rate: check the "
              "cable, the reader's power and the port name (try ryx_test --diagnose " +
                  silentToo.Path() + ")\n");
    close(held);
}

}  // namespace
