// ryx_test: opens the reader named on the command line, shows what it is, and offers menus for every call of
// the library. Exits with status 0 whatever happens; every failure is reported on standard output.
#include "console_input.h"
#include "firmware_version.h"
#include "menus.h"

#include <ryx.h>

#include <cstdio>
#include <optional>
#include <string>

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

void RunConsole(Console& console, int argc, char** argv) {
    std::fputs("RYX API Test Utility Version 1.0.1\n", console.out);
    std::fputs("Copyright (c) 2026 the ryx authors\n", console.out);
    std::fputs("\n", console.out);
    if (argc < 2) {
        std::fputs("Usage: ryx_test [port name]\n", console.out);
        return;
    }
    const char* portName = argv[1];
    std::fprintf(console.out, "Opening the reader (%s)...\n", portName);
    RYX_HANDLE handle = nullptr;
    const uint32_t status = RYX_OpenA(portName, &handle);
    if (status != 0) {
        std::fprintf(console.out, "Error: RYX_Open failed with error 0x%08X\n", status);
        return;
    }
    std::fputs("RYX_Open: OK\n\n", console.out);

    ShowReaderAndRunMenus(console, handle);

    std::fprintf(console.out, "Closing the reader (%s)...\n", portName);
    const uint32_t closeStatus = RYX_Close(handle);
    if (closeStatus == 0) {
        std::fputs("RYX_Close: OK\n", console.out);
    } else {
        std::fprintf(console.out, "Error: RYX_Close failed with error 0x%08X\n", closeStatus);
    }
}

}  // namespace

}  // namespace ryx_test

int main(int argc, char** argv) {
    ryx_test::Console console{stdin, stdout};
    try {
        ryx_test::RunConsole(console, argc, argv);
    } catch (...) {
        // Nothing is expected to throw here; the exit status stays 0 as for every other failure.
        std::fputs("Error: Not enough memory\n", stdout);
    }
    std::fflush(stdout);
    return 0;
}
