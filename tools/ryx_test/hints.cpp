#include "hints.h"

#include <ryx.h>

#include <cstdio>
#include <cstring>

namespace ryx_test {

PortFinding DescribePortProblem(const std::string& port, const PortProblem& problem) {
    switch (problem.kind) {
        case PortProblem::None:
            return {"a serial device, free to use", ""};
        case PortProblem::Missing:
            return {"there is no " + port, "check the name; ryx_test --list shows the serial ports"};
        case PortProblem::PermissionDenied: {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", problem.mode & 07777u);
            if (problem.group.empty()) {
                return {std::string("permission denied (mode ") + mode + ")",
                        "give your user read and write access to the device, e.g. with the udev rule in the README"};
            }
            return {"permission denied: the device belongs to group " + problem.group + " (mode " + mode + ")",
                    "join the group (sudo usermod -aG " + problem.group +
                        " $USER, then log in again), or give the device to your group with the udev rule in the "
                        "README"};
        }
        case PortProblem::NotSerial:
            return {"not a serial device", "name the reader's serial port; ryx_test --list shows them"};
        case PortProblem::Busy:
            return {"in use by another program" + (problem.holders.empty() ? "" : " (" + problem.holders + ")"),
                    "end that program, or wait until it has closed the port"};
        case PortProblem::Other:
            return {std::string("cannot be opened: ") + std::strerror(problem.error),
                    "check the device (dmesg shows what the kernel says about it)"};
    }
    return {};
}

std::string HintForFailure(const std::string& call, uint32_t status, const std::string& port) {
    const bool open = call == "RYX_OpenA";
    switch (status) {
        case RYX_ERROR_GEN_FAILURE:
            return open ? "no reader answered at any rate: check the cable, the reader's power and the port name "
                          "(try ryx_test --diagnose " +
                              port + ")"
                        : "the reader's answer was missing or damaged: check the cable and the reader's power "
                          "(try ryx_test --diagnose " +
                              port + ")";
        case RYX_ERROR_IO_DEVICE:
            return "the port failed: was the adapter unplugged? (dmesg tells)";
        case RYX_W_REMOVED_CARD:
        case RYX_ERROR_NO_MEDIA_IN_DRIVE:
            return "insert a card in the slot (--slot N picks another)";
        case RYX_W_UNRESPONSIVE_CARD:
            return "the card does not answer the reset: check that it is inserted the right way round and all the "
                   "way, or try another card";
        case RYX_ERROR_TIMEOUT:
        case RYX_W_UNPOWERED_CARD:
            return "power the card on first (--power-on); if it is on, the card has stopped answering";
        case RYX_W_UNSUPPORTED_CARD:
            return "the card's ATR cannot be used (ryx_test --diagnose " + port + " decodes it)";
        case RYX_E_PROTO_MISMATCH:
            return "the card offers neither protocol asked for (--protocol any takes either)";
        default:
            return "";
    }
}

}  // namespace ryx_test
