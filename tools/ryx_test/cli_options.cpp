#include "cli_options.h"

#include "actions.h"
#include "hex.h"

#include <ryx.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// The arguments one at a time, "--name=value" split into the option's name and its value.
class Arguments {
public:
    explicit Arguments(const std::vector<std::string>& args) : args_(args) {}

    // Moves to the next argument; false after the last.
    bool Next() {
        if (++index_ >= args_.size()) {
            return false;
        }
        name_ = args_[index_];
        inlineValue_.reset();
        const size_t equals = name_.find('=');
        if (name_.size() > 2 && name_.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            inlineValue_ = name_.substr(equals + 1);
            name_ = name_.substr(0, equals);
        }
        return true;
    }

    const std::string& Name() const { return name_; }
    const std::string& Whole() const { return args_[index_]; }
    bool HasInlineValue() const { return inlineValue_.has_value(); }

    // The value of an option: after '=' or the next argument. False when there is none.
    bool TakeValue(std::string* value) {
        if (inlineValue_) {
            *value = *inlineValue_;
            return true;
        }
        if (index_ + 1 >= args_.size()) {
            return false;
        }
        *value = args_[++index_];
        return true;
    }

private:
    const std::vector<std::string>& args_;
    size_t index_ = static_cast<size_t>(-1);
    std::string name_;
    std::optional<std::string> inlineValue_;
};

// What the arguments asked for, before the mode is settled.
struct Seen {
    bool list = false;
    bool probe = false;
    bool diagnose = false;
    std::vector<std::string> operands;
};

bool IsFlag(const std::string& name) {
    return name == "--list" || name == "--probe" || name == "--tap" || name == "--lenient" || name == "--diagnose" ||
           name == "--json";
}

void SetFlag(const std::string& name, CommandLine& line, Seen& seen) {
    seen.list = seen.list || name == "--list";
    seen.probe = seen.probe || name == "--probe";
    line.tap = line.tap || name == "--tap";
    line.lenient = line.lenient || name == "--lenient";
    seen.diagnose = seen.diagnose || name == "--diagnose";
    line.json = line.json || name == "--json";
}

// An action's option and its argument, added to line.actions. The error when either is wrong.
std::optional<std::string> ParseAction(const ActionEntry& entry, Arguments& arguments, CommandLine& line) {
    const std::string& name = arguments.Name();
    Action action{entry.kind, name, {}, {}, 0, {}};
    if (entry.argument == nullptr) {
        if (arguments.HasInlineValue()) {
            return name + " takes no value";
        }
    } else {
        std::string value;
        if (!arguments.TakeValue(&value)) {
            return name + " needs " + entry.argument;
        }
        if (!ConvertArgument(action, value)) {
            return name + " needs " + entry.argument + ", not \"" + value + "\"";
        }
        action.written += " " + value;
    }
    line.actions.push_back(std::move(action));
    return std::nullopt;
}

std::optional<std::string> ParseSlot(Arguments& arguments, CommandLine& line) {
    std::string value;
    if (!arguments.TakeValue(&value)) {
        return "--slot needs a slot number";
    }
    const std::optional<uint32_t> slot = ParseUnsigned(value);
    if (!slot) {
        return "--slot needs a slot number, not \"" + value + "\"";
    }
    line.slot = *slot;
    return std::nullopt;
}

// One argument of the command-line mode (not --help or --version). The error when it is wrong.
std::optional<std::string> ParseArgument(Arguments& arguments, CommandLine& line, Seen& seen) {
    const std::string& name = arguments.Name();
    if (IsFlag(name)) {
        if (arguments.HasInlineValue()) {
            return name + " takes no value";
        }
        SetFlag(name, line, seen);
        return std::nullopt;
    }
    if (name == "--slot") {
        return ParseSlot(arguments, line);
    }
    if (const ActionEntry* entry = ActionOfOption(name); entry != nullptr) {
        return ParseAction(*entry, arguments, line);
    }
    if (name.size() > 1 && name[0] == '-') {
        return "unknown option " + name;
    }
    seen.operands.push_back(arguments.Whole());
    return std::nullopt;
}

// --list, --diagnose or --probe, with what each allows beside it; nullopt when none of them was given.
std::optional<CommandLine> ListDiagnoseOrProbe(CommandLine line, const Seen& seen) {
    if (seen.list) {
        if (seen.probe || seen.diagnose || line.json || !seen.operands.empty() || !line.actions.empty()) {
            return Bad("--list takes nothing else");
        }
        line.mode = RunMode::List;
        return line;
    }
    if (seen.diagnose) {
        if (seen.probe || line.tap || line.lenient || !line.actions.empty() || seen.operands.size() != 1) {
            return Bad("--diagnose takes one port and nothing else but --json");
        }
        line.mode = RunMode::Diagnose;
        line.port = seen.operands[0];
        return line;
    }
    if (line.json) {
        return Bad("--json goes with --diagnose");
    }
    if (!seen.probe) {
        return std::nullopt;
    }
    if (!line.actions.empty()) {
        return Bad("--probe takes no actions");
    }
    line.mode = RunMode::Probe;
    line.probePorts = seen.operands;
    return line;
}

// The mode the arguments add up to, or what is wrong with them.
CommandLine SettleMode(CommandLine line, const Seen& seen) {
    if (std::optional<CommandLine> other = ListDiagnoseOrProbe(line, seen)) {
        return *std::move(other);
    }
    const std::vector<std::string>& operands = seen.operands;
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
    Seen seen;
    Arguments arguments(args);
    while (arguments.Next()) {
        if (arguments.Name() == "-h" || arguments.Name() == "--help") {
            line.mode = RunMode::Help;
            return line;
        }
        if (arguments.Name() == "--version") {
            line.mode = RunMode::Version;
            return line;
        }
        if (std::optional<std::string> error = ParseArgument(arguments, line, seen)) {
            return Bad(*std::move(error));
        }
    }
    return SettleMode(std::move(line), seen);
}

}  // namespace ryx_test
