#include "cli_options.h"

#include "actions.h"
#include "hex.h"

#include <ryx.h>

#include <optional>
#include <string_view>

namespace ryx_test {

const char* const kUsageText =
    "Usage: ryx_test [PORT]                      the interactive console (menus on standard input)\n"
    "       ryx_test PORT [--slot N] [--tap] [--lenient] ACTION...\n"
    "       ryx_test --list\n"
    "       ryx_test --probe [PORT...]\n"
    "       ryx_test --diagnose PORT [--json]\n"
    "       ryx_test --help | --version\n"
    "\n"
    "Exercises a smart-card reader on a serial port through the ryx library. Without options it runs the\n"
    "interactive console. With actions it opens the reader on PORT, runs the actions in the order given, each\n"
    "printing what the console prints for it, and closes the reader (every slot powered off) in every case.\n"
    "\n"
    "Actions (on slot N, 0 unless --slot says otherwise; the run stops at the first that fails):\n"
    "  --power-on               power the card on and show its ATR\n"
    "  --power-off              power the card off\n"
    "  --status                 show the card's status (Absent, Present, Powered)\n"
    "  --protocol P[,default-speed]\n"
    "                           select the protocol: t0, t1 or any (T=0 or T=1); default-speed keeps the\n"
    "                           card's default speed\n"
    "  --apdu HEX               send one APDU, e.g. --apdu 00A4040008A000000552595801 (spaces allowed)\n"
    "  --script FILE            run an APDU script: command lines, each followed by its expected response\n"
    "  --escape HEX             send one escape command to the reader\n"
    "  --escape-script FILE     run a script of escape commands\n"
    "  --baud RATE              change the line speed (9600 ... 500000 bit/s)\n"
    "  --timeouts S,SR,R,RR     set the status time-out (ms), status retries, response time-out (ms) and\n"
    "                           response retries\n"
    "\n"
    "Options:\n"
    "  --slot N                 the slot of the card actions (default 0)\n"
    "  --tap                    report as TAP version 13: one test point per action and per script pair\n"
    "                           (\"ok 3 - FILE:LINE\"); the printed dumps become '#' lines\n"
    "  --lenient                run scripts by the console's rules instead of checking them first\n"
    "  --list                   list the machine's serial ports (/dev/serial/by-id names with their devices,\n"
    "                           then the ttyS, ttyUSB and ttyACM devices)\n"
    "  --probe [PORT...]        open each port (every listed port without one) in parallel and show the\n"
    "                           reader's model, slots, line speed and firmware, or the error\n"
    "  --diagnose PORT          check the port, the line, the reader, the link at each faster rate and every\n"
    "                           slot, one line a check (ok, problem or skipped, and what to do), then a verdict\n"
    "                           line naming the cause; the reader is left at its rate, every card powered off\n"
    "  --json                   with --diagnose: the same results as one JSON object\n"
    "  -h, --help               show this help and exit\n"
    "  --version                show the program's and the library's version and exit\n"
    "\n"
    "Scripts: a line starting with ';' or '#' is a remark. Before anything is sent, a script is refused\n"
    "(\"FILE:LINE: what is wrong\") when a command line holds anything but hex digits, a command token has\n"
    "an odd number of digits, an expected line holds anything but hex digits and the wildcard X, or a command\n"
    "has no expected line. --lenient skips this check and reads scripts as the console does, where only ';'\n"
    "starts a remark and other characters are skipped.\n"
    "\n"
    "On SIGINT or SIGTERM the reader is closed (every slot powered off) before the program ends; a second\n"
    "signal ends it at once.\n"
    "\n"
    "Exit status:\n"
    "  0   every call succeeded and every response matched (the console always exits with 0)\n"
    "  1   a response did not match its expected pattern\n"
    "  2   a library call failed, a file could not be read, or --probe found no reader\n"
    "  64  the command line is wrong\n"
    "  65  a script was refused by the check; nothing was sent\n"
    "  130, 143  ended by SIGINT, SIGTERM (after closing the reader)\n"
    "  --diagnose: 0 everything works, 1 a problem was found, 2 the port could not be opened\n"
    "\n"
    "A failed call is reported with its code and meaning on standard error, followed by a \"ryx_test: hint:\"\n"
    "line where the cause is known.\n";

namespace {

std::optional<uint32_t> ParseUnsigned(std::string_view text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// Hex digits with optional spaces between the bytes; an odd digit count or any other character is refused.
std::optional<std::vector<uint8_t>> ParseHexArgument(std::string_view text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' && high < 0) {
            continue;
        }
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty()) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<uint32_t> ParseProtocol(std::string_view text) {
    uint32_t flags = 0;
    const size_t comma = text.find(',');
    if (comma != std::string_view::npos) {
        if (text.substr(comma + 1) != "default-speed") {
            return std::nullopt;
        }
        flags = RYX_PROTOCOL_DEFAULT_SPEED;
        text = text.substr(0, comma);
    }
    if (text == "t0") {
        return flags | RYX_PROTOCOL_T0;
    }
    if (text == "t1") {
        return flags | RYX_PROTOCOL_T1;
    }
    if (text == "any") {
        return flags | RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1;
    }
    return std::nullopt;
}

std::optional<std::array<uint32_t, 4>> ParseTimeouts(std::string_view text) {
    std::array<uint32_t, 4> values{};
    for (size_t i = 0; i < values.size(); ++i) {
        const size_t comma = text.find(',');
        if ((comma == std::string_view::npos) != (i == values.size() - 1)) {
            return std::nullopt;
        }
        const std::optional<uint32_t> value = ParseUnsigned(text.substr(0, comma));
        if (!value) {
            return std::nullopt;
        }
        values[i] = *value;
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return values;
}

CommandLine Bad(std::string error) {
    CommandLine line;
    line.mode = RunMode::BadCommandLine;
    line.error = std::move(error);
    return line;
}

// Converts the argument of an action; false when it is not of the kind the option takes.
bool ConvertArgument(Action& action, std::string_view argument) {
    switch (action.kind) {
        case ActionKind::Protocol: {
            const std::optional<uint32_t> mask = ParseProtocol(argument);
            action.value = mask.value_or(0);
            return mask.has_value();
        }
        case ActionKind::Apdu:
        case ActionKind::Escape: {
            std::optional<std::vector<uint8_t>> bytes = ParseHexArgument(argument);
            action.bytes = bytes.value_or(std::vector<uint8_t>());
            return bytes.has_value();
        }
        case ActionKind::Script:
        case ActionKind::EscapeScript:
            action.file = std::string(argument);
            return !argument.empty();
        case ActionKind::Baud: {
            const std::optional<uint32_t> rate = ParseUnsigned(argument);
            action.value = rate.value_or(0);
            return rate.has_value();
        }
        case ActionKind::Timeouts: {
            const std::optional<std::array<uint32_t, 4>> values = ParseTimeouts(argument);
            action.timeouts = values.value_or(std::array<uint32_t, 4>{});
            return values.has_value();
        }
        default:
            return true;
    }
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    bool anyOption = false;
    for (const std::string& arg : args) {
        anyOption = anyOption || (!arg.empty() && arg[0] == '-');
    }
    if (!anyOption) {
        line.hasPort = !args.empty();
        line.port = line.hasPort ? args[0] : std::string();
        return line;
    }

    bool list = false;
    bool probe = false;
    bool diagnose = false;
    std::vector<std::string> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (name.size() > 2 && name.compare(0, 2, "--") == 0 && name.find('=') != std::string::npos) {
            inlineValue = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
        }
        // The value of an option: after '=' or the next argument.
        const auto takeValue = [&](std::string* value) {
            if (inlineValue) {
                *value = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            *value = args[++i];
            return true;
        };
        const auto noValue = [&]() { return !inlineValue.has_value(); };

        if (name == "-h" || name == "--help") {
            line.mode = RunMode::Help;
            return line;
        }
        if (name == "--version") {
            line.mode = RunMode::Version;
            return line;
        }
        if (name == "--list" || name == "--probe" || name == "--tap" || name == "--lenient" || name == "--diagnose" ||
            name == "--json") {
            if (!noValue()) {
                return Bad(name + " takes no value");
            }
            list = list || name == "--list";
            probe = probe || name == "--probe";
            line.tap = line.tap || name == "--tap";
            line.lenient = line.lenient || name == "--lenient";
            diagnose = diagnose || name == "--diagnose";
            line.json = line.json || name == "--json";
            continue;
        }
        if (name == "--slot") {
            std::string value;
            if (!takeValue(&value)) {
                return Bad("--slot needs a slot number");
            }
            const std::optional<uint32_t> slot = ParseUnsigned(value);
            if (!slot) {
                return Bad("--slot needs a slot number, not \"" + value + "\"");
            }
            line.slot = *slot;
            continue;
        }
        const ActionSpec* option = SpecOfOption(name);
        if (option != nullptr) {
            Action action{option->kind, name, {}, {}, 0, {}};
            if (option->argument == nullptr) {
                if (!noValue()) {
                    return Bad(name + " takes no value");
                }
            } else {
                std::string value;
                if (!takeValue(&value)) {
                    return Bad(name + " needs " + option->argument);
                }
                if (!ConvertArgument(action, value)) {
                    return Bad(name + " needs " + option->argument + ", not \"" + value + "\"");
                }
                action.written += " " + value;
            }
            line.actions.push_back(std::move(action));
            continue;
        }
        if (name.size() > 1 && name[0] == '-') {
            return Bad("unknown option " + name);
        }
        operands.push_back(args[i]);
    }

    if (list) {
        if (probe || diagnose || line.json || !operands.empty() || !line.actions.empty()) {
            return Bad("--list takes nothing else");
        }
        line.mode = RunMode::List;
        return line;
    }
    if (diagnose) {
        if (probe || line.tap || line.lenient || !line.actions.empty() || operands.size() != 1) {
            return Bad("--diagnose takes one port and nothing else but --json");
        }
        line.mode = RunMode::Diagnose;
        line.port = operands[0];
        return line;
    }
    if (line.json) {
        return Bad("--json goes with --diagnose");
    }
    if (probe) {
        if (!line.actions.empty()) {
            return Bad("--probe takes no actions");
        }
        line.mode = RunMode::Probe;
        line.probePorts = operands;
        return line;
    }
    if (operands.empty()) {
        return Bad("no port given");
    }
    if (operands.size() > 1) {
        return Bad("one port only, not \"" + operands[0] + "\" and \"" + operands[1] + "\"");
    }
    if (line.actions.empty()) {
        return Bad("no action given for " + operands[0]);
    }
    line.mode = RunMode::Scripted;
    line.hasPort = true;
    line.port = operands[0];
    return line;
}

}  // namespace ryx_test
