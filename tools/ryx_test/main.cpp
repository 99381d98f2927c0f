// ryx_test: without options, opens the reader named on the command line, shows what it is, and offers menus for
// every call of the library (exit status 0 whatever happens; every failure is reported on standard output). With
// options, lists serial ports, probes them, or runs actions against a reader with exit statuses for CI.
#include "cli_options.h"
#include "console_input.h"
#include "diagnose.h"
#include "firmware_version.h"
#include "menus.h"
#include "ports.h"
#include "scripted.h"
#include "signals.h"
#include "stop_request.h"

#include <ryx.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#endif

namespace ryx_test {

namespace {

// Steps after a successful open; the caller closes the reader whichever way this ends.
void ShowReaderAndRunMenus(Console& console, RYX_HANDLE handle) {
    std::fputs("Getting the number of slots...\n", console.out);
    uint32_t slotCount = 0;
    uint32_t status = RYX_GetNumSlots(handle, &slotCount);
    if (status != 0) {
        std::fprintf(console.out, "Error: RYX_GetNumSlots failed with error 0x%08X\n", status);
        return;
    }
    std::fprintf(console.out, "Slots: %d\n\n", static_cast<int>(slotCount));

    std::fputs("Getting the baud rate...\n", console.out);
    uint32_t baudRate = 0;
    status = RYX_GetBaudRate(handle, &baudRate);
    if (status != 0) {
        std::fprintf(console.out, "Error: RYX_GetBaudRate failed with error 0x%08X\n", status);
        return;
    }
    std::fprintf(console.out, "Baud Rate: %d bps\n\n", static_cast<int>(baudRate));

    std::fputs("Getting the firmware version...\n", console.out);
    const std::optional<std::string> version = QueryFirmwareVersion(handle, console.out);
    if (!version) {
        return;
    }
    std::fprintf(console.out, "Firmware Version: %s\n\n", version->c_str());
    // Exit and the end of the input both lead to the close.
    (void)ModulesMenu(console, handle);
}

// `portName` is nullptr when the command line named no port.
void RunConsole(Console& console, const std::string* portName) {
    std::fputs("RYX API Test Utility Version 1.0.1\n", console.out);
    std::fputs("Copyright (c) 2026 the ryx authors\n", console.out);
    std::fputs("\n", console.out);
    if (portName == nullptr) {
        std::fputs("Usage: ryx_test [port name]\n", console.out);
        return;
    }
    std::fprintf(console.out, "Opening the reader (%s)...\n", portName->c_str());
    RYX_HANDLE handle = nullptr;
    const uint32_t status = RYX_OpenA(portName->c_str(), &handle);
    if (status != 0) {
        std::fprintf(console.out, "Error: RYX_Open failed with error 0x%08X\n", status);
        return;
    }
    std::fputs("RYX_Open: OK\n\n", console.out);

    ShowReaderAndRunMenus(console, handle);

    std::fprintf(console.out, "Closing the reader (%s)...\n", portName->c_str());
    const uint32_t closeStatus = RYX_Close(handle);
    if (closeStatus == 0) {
        std::fputs("RYX_Close: OK\n", console.out);
    } else {
        std::fprintf(console.out, "Error: RYX_Close failed with error 0x%08X\n", closeStatus);
    }
}

// The library's file as loaded, which names its version on systems that put it in the file name.
std::string LibraryFile() {
#ifdef _WIN32
    HMODULE module = nullptr;
    char path[MAX_PATH] = {};
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&RYX_Close), &module) &&
        GetModuleFileNameA(module, path, sizeof path) != 0) {
        return path;
    }
    return "ryx.dll";
#else
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&RYX_Close), &info) == 0 || info.dli_fname == nullptr) {
        return "libryx.so";
    }
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
#endif
}

void PrintVersion() {
    std::printf("ryx_test %s\n", RYX_TEST_VERSION);
    const std::string file = LibraryFile();
    const size_t so = file.rfind(".so.");
    const std::string version = so == std::string::npos ? "version not in its file name" : file.substr(so + 4);
    std::printf("ryx library %s (%s)\n", version.c_str(), file.c_str());
}

int Run(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    switch (line.mode) {
        case RunMode::Console: {
            if (line.hasPort) {
                WatchForStopSignals();
            }
            Console console{stdin, stdout};
            RunConsole(console, line.hasPort ? &line.port : nullptr);
            return 0;
        }
        case RunMode::Help:
            std::fputs(kUsageText, stdout);
            return kExitOk;
        case RunMode::Version:
            PrintVersion();
            return kExitOk;
        case RunMode::List:
            PrintSerialPorts(stdout);
            return kExitOk;
        case RunMode::Probe:
            WatchForStopSignals();
            return ProbePorts(line.probePorts, stdout);
        case RunMode::Scripted:
            WatchForStopSignals();
            return RunScripted(line, stdout, stderr);
        case RunMode::Diagnose:
            WatchForStopSignals();
            return RunDiagnosis(line.port, line.json, stdout);
        case RunMode::BadCommandLine:
            std::fprintf(stderr, "ryx_test: %s (ryx_test --help shows the usage)\n", line.error.c_str());
            return kExitUsage;
    }
    return kExitUsage;
}

}  // namespace

}  // namespace ryx_test

int main(int argc, char** argv) {
    int status = 0;
    try {
        status = ryx_test::Run(argc, argv);
    } catch (...) {
        // Nothing is expected to throw here; the console's exit status stays 0 as for every other failure.
        std::fputs("Error: Not enough memory\n", stdout);
    }
    std::fflush(stdout);
    return status;
}
