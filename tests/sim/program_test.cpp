// The ryx_sim program, run as a user runs it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "raw_client.h"
#include "sim_fixture.h"
#include "support/child_program.h"

namespace ryx::simtest {
namespace {

const std::string kSim = RYX_SIM_PROGRAM;

// A child ryx_sim with its standard output and error on pipes.
class Program : public test::ChildProgram {
public:
    explicit Program(const std::vector<std::string>& args) : ChildProgram(kSim, args) {}
};

TEST(Program, RunPassesThePortAndTheExitStatusThrough) {
    // Standard output is the command's alone; the path goes to standard error.
    Program p({"--run", "echo {port}; sh -c \"test -c {port} && exit 7\""});
    const std::string path = p.ReadLine();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(p.Wait(), 7);
    EXPECT_EQ(p.Stdout(), "");
    EXPECT_EQ(p.Stderr(), path + "\n");
    // A command that finds no character device at {port} gets the shell's 1.
    Program q({"--run", "test -c {port}x"});
    EXPECT_EQ(q.Wait(), 1);
}

TEST(Program, ServesOnThePathItPrintsUntilSignalled) {
    for (int sig : {SIGTERM, SIGINT}) {
        Program p({"--model", "KT6630RS", "--rate", "19200", "--fault", "refuse-status"});
        const std::string path = p.ReadLine();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        RawClient client(path, 19200);
        const Bytes firmware = Message(0x6B, 0, 0, 0, 0, 0, Hex("E0 00 00 18 00"));
        EXPECT_EQ(client.Exchange(firmware).status, kRefused);  // the queued fault
        auto a = client.Exchange(firmware);
        ASSERT_EQ(a.status, kAccepted);
        EXPECT_EQ(std::string(a.response.begin() + 16, a.response.end() - 2), "KT6630RS 2.01");
        p.Signal(sig);
        EXPECT_EQ(p.Wait(), 0);
        EXPECT_TRUE(client.WaitForHangup());
        // The pty is gone. The host's end, still open, keeps its number from being handed to another pty meanwhile.
        EXPECT_EQ(::access(path.c_str(), F_OK), -1);
    }
}

TEST(Program, LinkPointsAtThePortAndIsRemovedAtExit) {
    const std::string link = "/tmp/ryx_sim_link_" + std::to_string(::getpid());
    Program p({"--link", link, "--run", "test \"$(readlink " + link + ")\" = {port} && test -c " + link});
    EXPECT_EQ(p.Wait(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
    // A regular file in the way is not replaced.
    FILE* f = std::fopen(link.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    Program q({"--link", link, "--run", "true"});
    EXPECT_EQ(q.Wait(), 1);
    EXPECT_NE(q.Stderr().find("cannot create the link"), std::string::npos);
    ::unlink(link.c_str());
}

TEST(Program, TraceGoesToStandardError) {
    Program p({"--trace", "--card", "1:3B0214 50", "--mute", "0"});
    const std::string path = p.ReadLine();
    {
        RawClient client(path);
        EXPECT_EQ(Payload(client.Exchange(Message(0x62, 1, 3, 0, 0, 0)).response),
                  Hex("80 04 00 00 00 01 03 00 00 00 3B 02 14 50"));
        EXPECT_EQ(Payload(client.Exchange(Message(0x62, 0, 4, 0, 0, 0)).response),
                  Hex("80 00 00 00 00 00 04 41 FE 00"));
    }
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    const std::string err = p.Stderr();
    EXPECT_NE(err.find("ryx_sim: rx 9600 IccPowerOn dwLength=0 bSlot=1 bSeq=0x03"), std::string::npos) << err;
    EXPECT_NE(err.find("ryx_sim: tx 9600 DataBlock dwLength=4 bSlot=1 bSeq=0x03"), std::string::npos) << err;
}

TEST(Program, HelpDocumentsEveryOptionAndTheCard) {
    Program p({"--help"});
    EXPECT_EQ(p.Wait(), 0);
    const std::string help = p.Stdout();
    for (const char* option :
         {"--model", "--firmware",  "--rate",   "--block-size", "--card",      "--no-card",
          "--mute",  "--wire-time", "--trace",  "--fault",      "--chaos",     "--seed",
          "--link",  "--run",       "--help",   "--control",    "--send",      "insert SLOT [ATRHEX|FILE]",
          "return",  "KT4470RS_V3", "KT6630RS", "SELECT",       "READ BINARY", "UPDATE BINARY",
          "ECHO",    "PATTERN",     "6D 00",    "6E 00",        "{port}",      "--reexecute-repeats"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST(Program, BadCommandLineExitsWith64) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--rate", "12345"}, "ryx_sim: rate '12345' is not one of"},
        {{"--bogus"}, "ryx_sim: unknown option '--bogus' (ryx_sim --help lists the options)\n"},
        {{"--seeds", "3"}, "ryx_sim: unknown option '--seeds' (ryx_sim --help lists the options)\n"},
        {{"port"}, "ryx_sim: unexpected argument 'port' (ryx_sim --help lists the options)\n"},
        {{"--fault", "nope:1"}, "ryx_sim: unknown fault kind 'nope'"},
        {{"--model"}, "ryx_sim: option --model needs a value\n"},
    };
    for (const auto& c : cases) {
        Program p(c.args);
        EXPECT_EQ(p.Wait(), 64) << c.args[0];
        EXPECT_EQ(p.Stderr().rfind(c.message, 0), 0u) << c.args[0];
        EXPECT_TRUE(p.Stdout().empty());
    }
}

TEST(Program, UnusableCardDescriptionExitsWith65BeforeServing) {
    const std::string path = "/tmp/ryx_sim_card_" + std::to_string(::getpid()) + ".toml";
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("atr = \"3B 00\"\n[[file]]\npath = \"3F00/0001\"\nread = \"sometimes\"\n", f);
    std::fclose(f);
    Program p({"--card", "1:" + path});
    EXPECT_EQ(p.Wait(), 65);
    EXPECT_EQ(p.Stderr(), path + ":4: 'read' must be \"always\", \"never\" or \"pin XX\", not \"sometimes\"\n");
    EXPECT_TRUE(p.Stdout().empty());  // no terminal was offered
    std::remove(path.c_str());
}

// ---- control while it runs ---------------------------------------------------------------------------------------

// A ryx_sim with --control and --link at paths of its own, started with `extra` options.
struct ControlledSim {
    explicit ControlledSim(std::vector<std::string> extra = {}, const std::string& tag = "")
        : dir("/tmp/ryx_sim_ctl_" + std::to_string(::getpid()) + tag),
          control(dir + ".sock"),
          link(dir + ".link"),
          program(With(std::move(extra), control, link)),
          port(program.ReadLine()),
          client(control) {}
    ~ControlledSim() {
        // Ended as a user ends it, so that it removes its socket and link; left over only if it failed to.
        program.Signal(SIGTERM);
        (void)program.Wait();
        ::unlink(control.c_str());
        ::unlink(link.c_str());
    }
    static std::vector<std::string> With(std::vector<std::string> extra, const std::string& control,
                                         const std::string& link) {
        extra.insert(extra.end(), {"--control", control, "--link", link});
        return extra;
    }
    std::string Slots() {
        const std::string all = client.Send("status");
        return all.substr(all.find('\n') + 1);
    }
    std::string dir;
    std::string control;
    std::string link;
    Program program;
    std::string port;
    test::ControlClient client;
};

std::string ReadLink(const std::string& path) {
    char buf[256];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<std::size_t>(n));
}

const std::string kBuiltIn = "3B169652595853494D";

TEST(Control, CommandsChangeTheCardsAndFailingOnesChangeNothing) {
    ControlledSim sim;
    ASSERT_EQ(sim.client.Send("status"), "reader there model=KT4470RS rate=9600 port=" + sim.port +
                                             " link=" + sim.link + "\nslot 0 card=inactive atr=" + kBuiltIn +
                                             "\nslot 1 card=none\nok\n");
    const std::string fileCard = std::string(RYX_EXAMPLES_DIR) + "/filesystem.toml";
    // The status lines of both slots, and the cards the steps put into them.
    const auto Slots = [](const std::string& zero, const std::string& one) {
        return "slot 0 card=" + zero + "\nslot 1 card=" + one + "\nok\n";
    };
    const std::string k0 = "inactive atr=3B021450";
    const std::string k1 = "inactive atr=3B00";
    const struct {
        std::string command;
        std::string answer;
        std::string slots;  // after it: the status lines of the slots
    } steps[] = {
        {"remove 0", "ok\n", Slots("none", "none")},
        {"remove 0", "error: slot 0 holds no card\n", Slots("none", "none")},
        {"atr 0 3B00", "error: slot 0 holds no card\n", Slots("none", "none")},
        {"insert 0 3B 02 14 50", "ok\n", Slots(k0, "none")},
        {"insert 0", "error: slot 0 already holds a card (remove it first)\n", Slots(k0, "none")},
        {"insert 2", "error: no slot 2 (the KT4470RS has slots 0 to 1)\n", Slots(k0, "none")},
        {"insert one", "error: bad slot 'one' (a number from 0 to 1)\n", Slots(k0, "none")},
        {"insert 1 3B0", "error: bad ATR '3B0' (hex bytes, e.g. 3B021450)\n", Slots(k0, "none")},
        {"insert 1 /nonexistent.toml", "error: /nonexistent.toml: cannot read the card description\n",
         Slots(k0, "none")},
        {"insert 1 " + fileCard, "ok\n", Slots(k0, "inactive atr=3B858131FE455259584653C8")},
        {"remove 1", "ok\n", Slots(k0, "none")},
        {"insert 1", "ok\n", Slots(k0, "inactive atr=" + kBuiltIn)},
        {"atr 1 3B 00", "ok\n", Slots(k0, k1)},
        {"atr 1", "error: usage: atr SLOT ATRHEX\n", Slots(k0, k1)},
        {"remove 1 2", "error: usage: remove SLOT\n", Slots(k0, k1)},
        {"mute 1 yes", "error: mute takes on or off, not 'yes'\n", Slots(k0, k1)},
        {"mute 1 on", "ok\n", Slots(k0, "mute atr=3B00")},
        {"mute 1 off", "ok\n", Slots(k0, k1)},
        {"eject 1", "error: unknown command 'eject' (help lists the commands)\n", Slots(k0, k1)},
        {"return", "error: the reader is already there\n", Slots(k0, k1)},
        {"", "ok\n", Slots(k0, k1)},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(sim.client.Send(step.command), step.answer) << step.command;
        EXPECT_EQ(sim.Slots(), step.slots) << step.command;
    }
    EXPECT_NE(sim.client.Send("help").find("\nvanish "), std::string::npos);
}

TEST(Control, TheReaderAnswersAsTheCommandsLeftIt) {
    ControlledSim sim;
    RawClient host(sim.link);
    const struct {
        const char* command;
        std::uint8_t slot;
        Bytes powerOn;  // the reply to IccPowerOn after the command (bSeq 7)
    } steps[] = {
        {"atr 0 3B 02 14 50", 0, Hex("80 04 00 00 00 00 07 00 00 00 3B 02 14 50")},
        // The card is pulled while powered: the reader answers as for an empty slot.
        {"remove 0", 0, Hex("80 00 00 00 00 00 07 42 FE 00")},
        {"insert 1 3B00", 1, Hex("80 02 00 00 00 01 07 00 00 00 3B 00")},
        {"mute 1 on", 1, Hex("80 00 00 00 00 01 07 41 FE 00")},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(sim.client.Send(step.command), "ok\n") << step.command;
        auto a = host.Exchange(Message(0x62, step.slot, 7, 0, 0, 0));
        EXPECT_EQ(a.status, kAccepted) << step.command;
        EXPECT_EQ(Payload(a.response), step.powerOn) << step.command;
    }
    EXPECT_EQ(Payload(host.Exchange(Message(0x65, 0, 8, 0, 0, 0)).response), Hex("81 00 00 00 00 00 08 02 00 00"));
}

TEST(Control, VanishAndReturnOnTheSameLink) {
    // Gone by the command, or by a vanish fault on the first frame: either way return brings the reader back.
    for (const bool byFault : {false, true}) {
        SCOPED_TRACE(byFault ? "vanish fault" : "vanish command");
        ControlledSim sim(
            byFault ? std::vector<std::string>{"--fault", "pass:1", "--fault", "vanish"} : std::vector<std::string>{},
            byFault ? "f" : "c");
        EXPECT_EQ(ReadLink(sim.link), sim.port);
        RawClient old(sim.link);
        // The reader moves to 19200 and powers its card: it comes back at 9600 with the card unpowered.
        ASSERT_EQ(Payload(old.Exchange(Message(0x6B, 0, 1, 0, 0, 0, Hex("44 01"))).response),
                  Hex("83 02 00 00 00 00 01 01 00 00 90 01"));
        old.SetSpeed(19200);
        if (byFault) {
            old.Write(Frame(Message(0x62, 0, 2, 0, 0, 0)));
        } else {
            ASSERT_EQ(Payload(old.Exchange(Message(0x62, 0, 2, 0, 0, 0)).response).size(), 10u + 9u);
            EXPECT_EQ(sim.client.Send("vanish"), "ok\n");
        }
        EXPECT_TRUE(old.WaitForHangup());
        struct stat st {};
        EXPECT_NE(::lstat(sim.link.c_str(), &st), 0);
        EXPECT_EQ(sim.client.Send("status"), "reader gone model=KT4470RS link=" + sim.link +
                                                 "\nslot 0 card=inactive atr=" + kBuiltIn + "\nslot 1 card=none\nok\n");
        EXPECT_EQ(sim.client.Send("vanish"), "error: the reader is already gone\n");
        EXPECT_EQ(sim.client.Send("insert 1 3B00"), "ok\n");  // cards change while the reader is gone

        const std::string answer = sim.client.Send("return");
        ASSERT_EQ(answer.rfind("port /dev/pts/", 0), 0u) << answer;
        const std::string port = answer.substr(5, answer.find('\n') - 5);
        EXPECT_EQ(answer, "port " + port + "\nok\n");
        EXPECT_EQ(ReadLink(sim.link), port);
        RawClient host(sim.link, 9600);
        EXPECT_EQ(Payload(host.Exchange(Message(0x65, 0, 3, 0, 0, 0)).response), Hex("81 00 00 00 00 00 03 01 00 00"));
        EXPECT_EQ(Payload(host.Exchange(Message(0x62, 1, 4, 0, 0, 0)).response),
                  Hex("80 02 00 00 00 01 04 00 00 00 3B 00"));
        EXPECT_TRUE(old.WaitForHangup());  // the old terminal stays dead
        EXPECT_EQ(sim.client.Send("status"), "reader there model=KT4470RS rate=9600 port=" + port +
                                                 " link=" + sim.link + "\nslot 0 card=inactive atr=" + kBuiltIn +
                                                 "\nslot 1 card=powered atr=3B00\nok\n");
        sim.program.Signal(SIGTERM);
        EXPECT_EQ(sim.program.Wait(), 0);
        EXPECT_NE(::lstat(sim.link.c_str(), &st), 0);
        EXPECT_NE(::lstat(sim.control.c_str(), &st), 0);
    }
}

TEST(Control, SendFromTheCommandLine) {
    ControlledSim sim;
    const std::string missing = sim.dir + ".none";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"--send", "remove 1"}, 1, "", "ryx_sim: remove 1: slot 1 holds no card\n"},
        {{"--send", "insert 1 3B00", "--send", "atr 1 3B01"}, 0, "", ""},
        // The first failure ends the run: the remove after it is not sent.
        {{"--send", "insert 1", "--send", "remove 1"},
         1,
         "",
         "ryx_sim: insert 1: slot 1 already holds a card (remove it first)\n"},
        {{"--send", "status"},
         0,
         "reader there model=KT4470RS rate=9600 port=" + sim.port + " link=" + sim.link +
             "\nslot 0 card=inactive atr=" + kBuiltIn + "\nslot 1 card=inactive atr=3B01\n",
         ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--control", sim.control};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Program p(args);
        EXPECT_EQ(p.Wait(), c.status) << c.args[1];
        EXPECT_EQ(p.Stdout(), c.out) << c.args[1];
        EXPECT_EQ(p.Stderr(), c.err) << c.args[1];
    }
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } refused[] = {
        {{"--control", missing, "--send", "status"},
         69,
         "ryx_sim: cannot reach the simulator at " + missing + ": No such file or directory (is ryx_sim --control " +
             missing + " running?)\n"},
        {{"--send", "status"}, 64, "ryx_sim: --send needs --control PATH\n"},
        {{"--control", sim.control, "--send", "status", "--rate", "19200"},
         64,
         "ryx_sim: --send talks to a running ryx_sim and takes no --rate\n"},
        // A second simulator does not take over a live control socket.
        {{"--control", sim.control},
         1,
         "ryx_sim: cannot listen at " + sim.control + ": another simulator is listening there\n"},
    };
    for (const auto& c : refused) {
        Program p(c.args);
        EXPECT_EQ(p.Wait(), c.status) << c.args[1];
        EXPECT_EQ(p.Stderr(), c.err) << c.args[1];
    }
    EXPECT_EQ(sim.client.Send("status").find("reader there"), 0u);  // the first simulator is unharmed
}

}  // namespace
}  // namespace ryx::simtest
