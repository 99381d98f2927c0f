// ryx_sim: a simulated reader on a pseudo-terminal, for trying a host program without hardware.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sim/control.h"
#include "sim/described_card.h"
#include "sim/options.h"
#include "sim/simulator.h"
#include "sim/vpcd_card.h"

namespace {

constexpr int kExitUsage = 64;      // a bad command line, as sysexits.h has it
constexpr int kExitDataError = 65;  // a card description that cannot be used

void OnChild(int) {}

int RunCommand(const std::string& command, const sigset_t& waited, const sigset_t& original) {
    const pid_t child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "ryx_sim: cannot start the command: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        ::sigprocmask(SIG_SETMASK, &original, nullptr);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&waited, &info) < 0) continue;
        if (info.si_signo == SIGCHLD) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) {
                if (WIFEXITED(status)) return WEXITSTATUS(status);
                if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            }
        } else if (info.si_signo == SIGTERM || info.si_code == SI_USER) {
            // A SIGINT from the terminal reaches the command by itself; one sent to us alone is passed on.
            ::kill(child, info.si_signo);
        }
    }
}

// The cards of --card SLOT:FILE put in config; false once one cannot be used (its reason is on standard error).
bool LoadCardFiles(const ryx::sim::Options& options, ryx::sim::Config* config) {
    using namespace ryx::sim;
    std::string error;
    for (const auto& [slot, path] : options.cardFiles) {
        auto card = LoadCardFile(path, &error);
        if (!card) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        config->cards[slot] = std::move(*card);
    }
    if (static_cast<std::size_t>(std::count_if(
            options.config.cards.begin() + static_cast<std::ptrdiff_t>(ModelSlotCount(options.config.model)),
            options.config.cards.end(), [](const SlotCard& c) { return c.present; })) != 0) {
        std::fprintf(stderr, "ryx_sim: warning: the %s has %zu slots; cards beyond them are not reachable\n",
                     std::string(ModelName(options.config.model)).c_str(), ModelSlotCount(options.config.model));
    }
    return true;
}

// Blocks SIGINT, SIGTERM and SIGCHLD (the signals main() and RunCommand wait for) in *waited; the mask before
// goes to *original.
void BlockWaitedSignals(sigset_t* waited, sigset_t* original) {
    struct sigaction child {};
    child.sa_handler = OnChild;
    ::sigaction(SIGCHLD, &child, nullptr);
    sigemptyset(waited);
    sigaddset(waited, SIGINT);
    sigaddset(waited, SIGTERM);
    sigaddset(waited, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, waited, original);
}

// A listening VpcdSlot in *slots for each --card SLOT:vpcd:...; false once one cannot listen (the reason is on
// standard error).
bool StartVpcdSlots(ryx::sim::Simulator& simulator, const ryx::sim::Options& options,
                    std::vector<std::unique_ptr<ryx::sim::VpcdSlot>>* slots) {
    std::string error;
    for (const ryx::sim::Options::Vpcd& v : options.vpcd) {
        slots->push_back(std::make_unique<ryx::sim::VpcdSlot>(simulator, v.slot));
        if (!slots->back()->Start(v.host, v.port, &error)) {
            std::fprintf(stderr, "ryx_sim: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

void WaitForInterrupt(const sigset_t& waited) {
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&waited, &info) < 0) continue;
        if (info.si_signo == SIGINT || info.si_signo == SIGTERM) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ryx::sim;
    std::string error;
    const auto options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::fprintf(stderr, "ryx_sim: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (!options->send.empty()) return SendControlCommands(*options->control, options->send);
    Config config = options->config;
    if (!LoadCardFiles(*options, &config)) return kExitDataError;

    // Block the signals we wait for before the reader's thread exists, so that only sigwaitinfo() sees them.
    sigset_t waited;
    sigset_t original;
    BlockWaitedSignals(&waited, &original);

    Simulator simulator(config);
    for (const Fault& fault : options->faults) simulator.QueueFault(fault);
    if (!simulator.Start()) {
        std::fprintf(stderr, "ryx_sim: cannot create the pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string port = simulator.SlavePath();
    if (options->link && !simulator.SetLink(*options->link)) {
        std::fprintf(stderr, "ryx_sim: cannot create the link %s: %s\n", options->link->c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<std::unique_ptr<VpcdSlot>> vpcd;
    if (!StartVpcdSlots(simulator, *options, &vpcd)) return 1;
    // Started before the port is printed: a script that has read the first line can send commands at once. With --run
    // the command owns standard output (a TAP report, say, is read from it), so the path goes to standard error.
    ControlServer control(simulator);
    if (options->control && !control.Start(*options->control, &error)) {
        std::fprintf(stderr, "ryx_sim: %s\n", error.c_str());
        return 1;
    }
    std::FILE* portOut = options->run ? stderr : stdout;
    std::fprintf(portOut, "%s\n", port.c_str());
    std::fflush(portOut);

    int status = 0;
    if (options->run) {
        status = RunCommand(SubstitutePort(*options->run, port), waited, original);
    } else {
        WaitForInterrupt(waited);
    }
    control.Stop();
    vpcd.clear();
    simulator.Stop();  // removes the link
    return status;
}
