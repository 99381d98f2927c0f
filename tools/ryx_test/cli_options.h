// The command line of ryx_test: the console's `ryx_test [port name]`, and the options of the command-line mode.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ryx_test {

/** What the program was asked to do. */
enum class RunMode { Console, Help, Version, List, Probe, Scripted, Diagnose, BadCommandLine };

/** The actions of the command-line mode, in the order of their options. */
enum class ActionKind { PowerOn, PowerOff, Status, Protocol, Apdu, Script, Escape, EscapeScript, Baud, Timeouts };

/** One action and its argument, checked and converted. */
struct Action {
    ActionKind kind;
    std::string written;                 ///< the option and its argument as given, for messages and test-point names
    std::vector<uint8_t> bytes;          ///< Apdu, Escape: the command
    std::string file;                    ///< Script, EscapeScript: the script's path
    uint32_t value = 0;                  ///< Protocol: the mask; Baud: the rate
    std::array<uint32_t, 4> timeouts{};  ///< Timeouts: status ms, status retries, response ms, response retries
};

/** The parsed command line. */
struct CommandLine {
    RunMode mode = RunMode::Console;
    bool hasPort = false;                 ///< Console: a port was named (an empty name is still one)
    std::string port;                     ///< Console, Scripted and Diagnose
    uint32_t slot = 0;                    ///< Scripted: --slot
    bool tap = false;                     ///< Scripted: --tap
    bool lenient = false;                 ///< Scripted: --lenient
    bool json = false;                    ///< Diagnose: --json
    std::vector<Action> actions;          ///< Scripted
    std::vector<std::string> probePorts;  ///< Probe: the ports named, or none for every listed port
    std::string error;                    ///< BadCommandLine: what is wrong, e.g. "--baud needs a number: 'fast'"
};

/**
 * Parses the arguments after the program name. Without any argument that begins with '-' the command line is the
 * console's: the first argument, if any, is the port, and the rest is ignored as it always was. Otherwise the
 * options of the command-line mode apply; "--name=value" is accepted for "--name value". Pure.
 */
CommandLine ParseCommandLine(const std::vector<std::string>& args);

/** The text of --help: every option and the exit statuses. */
extern const char* const kUsageText;

/** Exit statuses of the command-line mode. */
inline constexpr int kExitOk = 0;
inline constexpr int kExitMismatch = 1;
inline constexpr int kExitFailure = 2;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitScriptRefused = 65;

}  // namespace ryx_test
