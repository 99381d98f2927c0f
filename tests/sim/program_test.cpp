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

namespace ryx::simtest {
namespace {

const std::string kSim = RYX_SIM_PROGRAM;

// A child ryx_sim with its standard output and error on pipes.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(kSim.c_str()));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(kSim.c_str(), argv.data());
            _exit(126);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    // One line of standard output without its newline, waiting at most `bound`.
    std::string ReadLine(std::chrono::milliseconds bound = 10s) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        char c;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            if (::read(out_, &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        return line;
    }
    // Everything on one of the pipes until it closes.
    static std::string Drain(int fd) {
        std::string all;
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
        return all;
    }
    std::string Stdout() { return Drain(out_); }
    std::string Stderr() { return Drain(err_); }
    // Waits for the process to end, at most `bound`; its exit status, or -1 on time-out / death by signal.
    int Wait(std::chrono::milliseconds bound = 30s) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(bound.count()));
            ::close(pidfd);
            if (ready <= 0) return -1;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Signal(int sig) { ::kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
};

TEST(Program, RunPassesThePortAndTheExitStatusThrough) {
    Program p({"--run", "sh -c \"test -c {port} && exit 7\""});
    const std::string path = p.ReadLine();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(p.Wait(), 7);
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
        {
            RawClient client(path, 19200);
            const Bytes firmware = Message(0x6B, 0, 0, 0, 0, 0, Hex("E0 00 00 18 00"));
            EXPECT_EQ(client.Exchange(firmware).status, kRefused);  // the queued fault
            auto a = client.Exchange(firmware);
            ASSERT_EQ(a.status, kAccepted);
            EXPECT_EQ(std::string(a.response.begin() + 16, a.response.end() - 2), "KT6630RS 2.01");
        }
        p.Signal(sig);
        EXPECT_EQ(p.Wait(), 0);
        EXPECT_EQ(::access(path.c_str(), F_OK), -1);  // the pty is gone
    }
}

TEST(Program, LinkPointsAtThePortAndIsRemovedAtExit) {
    const std::string link = "/tmp/ryx_sim_link_" + std::to_string(::getpid());
    Program p({"--link", link, "--run", "test \"$(readlink " + link + ")\" = {port} && test -c " + link});
    const std::string path = p.ReadLine();
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
         {"--model",     "--firmware",  "--rate",   "--block-size", "--card",      "--no-card",     "--mute",
          "--wire-time", "--trace",     "--fault",  "--chaos",      "--seed",      "--link",        "--run",
          "--help",      "KT4470RS_V3", "KT6630RS", "SELECT",       "READ BINARY", "UPDATE BINARY", "ECHO",
          "PATTERN",     "6D 00",       "6E 00",    "{port}"}) {
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

}  // namespace
}  // namespace ryx::simtest
