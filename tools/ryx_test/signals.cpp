#include "signals.h"

#include "stop_request.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#endif

namespace ryx_test {

#ifdef _WIN32

namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    const int signalNumber = event == CTRL_C_EVENT ? 2 : 15;
    if (StopRequested()) {
        std::_Exit(128 + signalNumber);
    }
    RequestStop(signalNumber);
    // A pending console read ends as at the end of the input.
    CloseHandle(GetStdHandle(STD_INPUT_HANDLE));
    return TRUE;
}

}  // namespace

void WatchForStopSignals() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

#else

namespace {

// Only interrupts a blocking read; the flag is set by the watcher thread.
void OnWakeUp(int) {}

}  // namespace

void WatchForStopSignals() {
    // Standard input unbuffered: after a stop nothing read ahead is left to act on.
    std::setvbuf(stdin, nullptr, _IONBF, 0);

    struct sigaction wake = {};
    wake.sa_handler = OnWakeUp;
    sigemptyset(&wake.sa_mask);
    wake.sa_flags = 0;  // no SA_RESTART: a read that is waiting returns with EINTR
    sigaction(SIGUSR1, &wake, nullptr);

    // Every thread started from here on inherits the blocked set; only the watcher receives the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const pthread_t mainThread = pthread_self();
    std::thread([stopSignals, mainThread]() {
        int signalNumber = 0;
        while (sigwait(&stopSignals, &signalNumber) == 0) {
            if (StopRequested()) {
                _exit(128 + signalNumber);
            }
            RequestStop(signalNumber);
            // Standard input now reads as ended; a read already waiting on the old input is woken by SIGUSR1 and
            // fails, which the console takes as the end of the input too.
            const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (null >= 0) {
                dup2(null, STDIN_FILENO);
                close(null);
            }
            pthread_kill(mainThread, SIGUSR1);
        }
    }).detach();
}

#endif

}  // namespace ryx_test
