// What to do about a failure: the hint lines of the command-line mode and the port findings of --diagnose.
#pragma once

#include <cstdint>
#include <string>

namespace ryx_test {

/** Why a port cannot be used, as found by looking at the device itself (PortProblemOf in port_check.h). */
struct PortProblem {
    enum Kind { None, Missing, PermissionDenied, NotSerial, Busy, Other } kind = None;
    int error = 0;        ///< Other: the errno
    std::string group;    ///< PermissionDenied: the group that owns the device, when known
    unsigned mode = 0;    ///< PermissionDenied: the device's permission bits
    std::string holders;  ///< Busy: the programs holding it open, e.g. "minicom (pid 812)", when the OS tells
};

/** A finding and what to do about it. */
struct PortFinding {
    std::string finding;
    std::string action;
};

/** Says what is wrong with `port` and what to do, e.g. "permission denied: ... group dialout ...". Pure. */
PortFinding DescribePortProblem(const std::string& port, const PortProblem& problem);

/**
 * A hint for a failed call of the command-line mode, e.g. for RYX_OpenA with RYX_ERROR_GEN_FAILURE "no reader
 * answered at any rate: check the cable, the reader's power and the port name (try ryx_test --diagnose PORT)";
 * empty when the code's meaning says it all. Pure.
 */
std::string HintForFailure(const std::string& call, uint32_t status, const std::string& port);

}  // namespace ryx_test
