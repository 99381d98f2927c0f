#include "sim/options.h"

#include <algorithm>
#include <charconv>

#include "sim/control.h"
#include "sim/hex_text.h"

namespace ryx::sim {
namespace {

template <typename T>
bool ParseNumber(const std::string& text, T* out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseSlot(const std::string& text, std::size_t* slot) {
    return ParseNumber(text, slot) && *slot < kMaxSlots;
}

// One command-line option: its name, the name of its value (nullptr for a switch), its line(s) of --help and what
// it does to the options. The same table parses the command line and writes --help, so the two cannot drift apart.
struct OptionEntry {
    const char* name;
    const char* value;
    const char* help;  // lines after the first are indented under it
    // Stores the value; false with a reason in *why for a bad one.
    bool (*apply)(const std::string& value, Options* o, std::string* why);
};

bool BadSlot(const std::string& v, std::string* why) {
    *why = "bad slot '" + v + "'";
    return false;
}

// The apply of an option whose value is kept as it is written.
template <std::optional<std::string> Options::*field>
bool StoreText(const std::string& v, Options* o, std::string*) {
    o->*field = v;
    return true;
}

const OptionEntry kOptions[] = {
    {"--model", "NAME",
     "KT4470RS (default; 2 slots, blocks of 261 bytes), KT4470RS_V3 (3 slots, 261)\nor KT6630RS (3 slots, 506)",
     [](const std::string& v, Options* o, std::string* why) {
         auto m = ModelFromName(v);
         if (!m) *why = "unknown model '" + v + "' (KT4470RS, KT4470RS_V3 or KT6630RS)";
         if (m) o->config.model = *m;
         return m.has_value();
     }},
    {"--firmware", "TEXT", "version text of the firmware reply instead of the model's (e.g. \"KT4470RS 1.07\")",
     [](const std::string& v, Options* o, std::string*) {
         o->config.firmware = v;
         return true;
     }},
    {"--rate", "BPS",
     "the reader's line speed (default 9600): 9600 19200 38400 57600 115200 128000\n"
     "230400 250000 256000 500000; frames sent at another speed are not answered",
     [](const std::string& v, Options* o, std::string* why) {
         std::uint32_t rate = 0;
         if (!ParseNumber(v, &rate) || std::find(kRateTable.begin(), kRateTable.end(), rate) == kRateTable.end()) {
             *why = "rate '" + v + "' is not one of 9600 19200 38400 57600 115200 128000 230400 250000 256000 500000";
             return false;
         }
         o->config.rate = rate;
         return true;
     }},
    {"--block-size", "N", "largest XfrBlock block instead of the model's",
     [](const std::string& v, Options* o, std::string* why) {
         std::uint32_t size = 0;
         if (!ParseNumber(v, &size) || size == 0 || size > 65536) {
             *why = "bad block size '" + v + "'";
             return false;
         }
         o->config.blockSize = size;
         return true;
     }},
    {"--card", "SLOT:ATRHEX|SLOT:FILE|SLOT:vpcd:[HOST:]PORT",
     "a card in slot 0, 1 or 2 (repeatable): the built-in card with this ATR; the card a\n"
     "description FILE describes (ryx-card(5)), exit status 65 if it cannot be used; or a\n"
     "card program on the vpcd protocol, which connects to ryx_sim listening at HOST\n"
     "(default 127.0.0.1) and PORT (default 35963 + SLOT: \"SLOT:vpcd\")\n"
     "(default: slot 0 holds the built-in card, ATR 3B 16 96 52 59 58 53 49 4D)",
     [](const std::string& v, Options* o, std::string* why) {
         const auto colon = v.find(':');
         std::size_t slot = 0;
         std::vector<std::uint8_t> atr;
         if (colon == std::string::npos || !ParseSlot(v.substr(0, colon), &slot) || colon + 1 == v.size()) {
             *why = "bad --card '" + v + "' (SLOT:ATRHEX, SLOT:FILE or SLOT:vpcd:[HOST:]PORT, slot 0 to 2)";
             return false;
         }
         const std::string rest = v.substr(colon + 1);
         std::erase_if(o->cardFiles, [slot](const auto& f) { return f.first == slot; });
         std::erase_if(o->vpcd, [slot](const auto& c) { return c.slot == slot; });
         if (rest.rfind("vpcd:", 0) == 0 || rest == "vpcd") {
             Options::Vpcd card{slot, "127.0.0.1", static_cast<std::uint16_t>(35963 + slot)};
             std::string where = rest.size() > 5 ? rest.substr(5) : "";
             const auto hostEnd = where.rfind(':');
             if (hostEnd != std::string::npos) {
                 card.host = where.substr(0, hostEnd);
                 where = where.substr(hostEnd + 1);
             }
             if ((!where.empty() && (!ParseNumber(where, &card.port) || card.port == 0)) || card.host.empty()) {
                 *why = "bad --card '" + v + "' (SLOT:vpcd:[HOST:]PORT, a port from 1 to 65535)";
                 return false;
             }
             o->vpcd.push_back(card);
             o->config.cards[slot] = SlotCard{};  // empty until a card program connects
         } else if (LooksLikeHex(rest)) {
             if (!ParseHexBytes(rest, &atr)) {
                 *why = "bad --card '" + v + "': the ATR is not whole hex bytes";
                 return false;
             }
             o->config.cards[slot] = SlotCard{true, std::move(atr), false};
         } else {
             o->cardFiles.emplace_back(slot, rest);
             o->config.cards[slot] = SlotCard{};
         }
         return true;
     }},
    {"--no-card", "SLOT", "empty the slot",
     [](const std::string& v, Options* o, std::string* why) {
         std::size_t slot = 0;
         if (!ParseSlot(v, &slot)) return BadSlot(v, why);
         o->config.cards[slot] = SlotCard{};
         std::erase_if(o->cardFiles, [slot](const auto& f) { return f.first == slot; });
         std::erase_if(o->vpcd, [slot](const auto& c) { return c.slot == slot; });
         return true;
     }},
    {"--mute", "SLOT", "the slot's card does not answer power-on (bStatus 41, bError FE)",
     [](const std::string& v, Options* o, std::string* why) {
         std::size_t slot = 0;
         if (!ParseSlot(v, &slot)) return BadSlot(v, why);
         if (!o->config.cards[slot].present) o->config.cards[slot] = SlotCard::BuiltIn();
         o->config.cards[slot].mute = true;
         return true;
     }},
    {"--wire-time", nullptr, "take as long as the bytes would take on the line (10 bits a byte)",
     [](const std::string&, Options* o, std::string*) {
         o->config.wireTime = true;
         return true;
     }},
    {"--reexecute-repeats", nullptr,
     "execute a command frame that repeats the last one taken again, instead of\nanswering it as a retransmission "
     "with the last response",
     [](const std::string&, Options* o, std::string*) {
         o->config.reexecuteRepeats = true;
         return true;
     }},
    {"--trace", nullptr, "every frame, both directions, to standard error: hex, decoded header, host speed",
     [](const std::string&, Options* o, std::string*) {
         o->config.trace = true;
         return true;
     }},
    {"--fault", "KIND[:COUNT[:ARG]]",
     "inject a fault into the next COUNT frames it fits (default 1; repeatable, applied\nin order)",
     [](const std::string& v, Options* o, std::string* why) {
         auto f = ParseFault(v, why);
         if (f) o->faults.push_back(*f);
         return f.has_value();
     }},
    {"--chaos", "RATE", "random faults: each frame gets one with probability RATE (0 to 1)",
     [](const std::string& v, Options* o, std::string* why) {
         double rate = 0;
         if (!ParseNumber(v, &rate) || rate < 0.0 || rate > 1.0) {
             *why = "bad chaos rate '" + v + "' (0 to 1)";
             return false;
         }
         o->config.chaosRate = rate;
         return true;
     }},
    {"--seed", "N", "seed of the random faults (default 1)",
     [](const std::string& v, Options* o, std::string* why) {
         if (!ParseNumber(v, &o->config.chaosSeed)) {
             *why = "bad seed '" + v + "'";
             return false;
         }
         o->seedGiven = true;
         return true;
     }},
    {"--link", "PATH", "make PATH a symbolic link to the terminal (removed at exit and while the reader is gone)",
     StoreText<&Options::link>},
    {"--control", "PATH",
     "listen for control commands on a Unix socket at PATH (removed at exit): one command\n"
     "a line, each answered \"ok\" or \"error: WHY\" (see Control commands below)",
     StoreText<&Options::control>},
    {"--send", "'COMMAND'",
     "with --control PATH only: send COMMAND to the ryx_sim listening there and exit\n"
     "(repeatable; 0 when all answered ok, 1 on an error, 69 when none listens)",
     [](const std::string& v, Options* o, std::string*) {
         o->send.push_back(v);
         return true;
     }},
    {"--run", "'COMMAND'",
     "run COMMAND with /bin/sh -c, {port} replaced by the terminal's path, attached to this\n"
     "terminal; exit with its status when it ends (the path is printed on standard error:\n"
     "standard output is the command's)",
     StoreText<&Options::run>},
    {"--help", nullptr, "this text",
     [](const std::string&, Options* o, std::string*) {
         o->help = true;
         return true;
     }},
};

const OptionEntry* FindOption(const std::string& name) {
    if (name == "-h") return FindOption("--help");
    for (const OptionEntry& entry : kOptions) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

// The options part of --help: the text starts at column 23; a longer usage gets its text on the next line.
std::string OptionsHelp() {
    constexpr std::size_t kColumn = 23;
    std::string t;
    for (const OptionEntry& entry : kOptions) {
        std::string usage =
            std::string("  ") + entry.name + (entry.value != nullptr ? std::string(" ") + entry.value : "");
        t += usage;
        if (usage.size() + 1 > kColumn) {
            t += '\n';
            usage.clear();
        }
        t += std::string(kColumn - usage.size(), ' ');
        for (const char* c = entry.help; *c != '\0'; ++c) {
            t += *c;
            if (*c == '\n') t += std::string(kColumn, ' ');
        }
        t += '\n';
    }
    return t;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
    Options o;
    std::string readerOption;  // the last option that sets up a reader (none go with --send)
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const OptionEntry* entry = FindOption(a);
        if (entry == nullptr) {
            *error = (a.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") + a +
                     "' (ryx_sim --help lists the options)";
            return std::nullopt;
        }
        std::string value;
        if (entry->value != nullptr) {
            if (i + 1 >= args.size()) {
                *error = "option " + a + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (!entry->apply(value, &o, error)) return std::nullopt;
        if (a != "--control" && a != "--send" && a != "--help" && a != "-h") readerOption = a;
    }
    if (!o.send.empty() && (!o.control || !readerOption.empty())) {
        *error = o.control ? "--send talks to a running ryx_sim and takes no " + readerOption
                           : std::string("--send needs --control PATH");
        return std::nullopt;
    }
    if (o.seedGiven && o.config.chaosRate == 0.0) {
        *error = "--seed needs --chaos";
        return std::nullopt;
    }
    return o;
}

std::string SubstitutePort(std::string command, const std::string& port) {
    const std::string key = "{port}";
    for (std::size_t at = command.find(key); at != std::string::npos; at = command.find(key, at + port.size())) {
        command.replace(at, key.size(), port);
    }
    return command;
}

std::string HelpText() {
    const std::string control = ControlHelp();
    std::string t;
    t += "Usage: ryx_sim [options]\n"
         "       ryx_sim --control PATH --send 'COMMAND' [--send 'COMMAND' ...]\n"
         "A simulated smart-card reader on a pseudo-terminal. Prints the terminal's path as the first line of\n"
         "standard output, then serves until SIGINT or SIGTERM (or until the --run command ends).\n"
         "\n"
         "Options:\n";
    t += OptionsHelp();
    t += "\n"
         "Control commands (--control; SLOT is 0, 1 or 2, ATRHEX hex bytes, spaces allowed):\n";
    for (std::size_t at = 0, end; at < control.size(); at = end + 1) {
        end = control.find('\n', at);
        t += "  " + control.substr(at, end - at + 1);
    }
    t += "\n"
         "Fault kinds (ARG in brackets):\n"
         "  pass                   let frames through untouched (to aim the next fault)\n"
         "  refuse-status          status 02 01 01 03, the frame is not taken\n"
         "  no-status              no answer at all\n"
         "  bad-status-start       status 05 00 00 03        bad-status-end    status 02 00 00 05\n"
         "  bad-status-check       status 02 00 01 03        garbage[:HEX]     bytes instead of the status\n"
         "  delay-status[:MS]      status and response late  delay-response[:MS]  response late (default 500)\n"
         "  damage-response[:OFF]  flip bit 0 of the response byte at OFF (default 7, bSeq)\n"
         "  truncate-response[:N]  send only N bytes of the response (default half)\n"
         "  chunk-response[:5,8[/GAPMS]]  response in pieces of these sizes, 2 ms apart\n"
         "  wrong-type  wrong-slot  wrong-seq   reply with another type / bSlot / bSeq\n"
         "  status-error[:SSEE]    reply with bStatus SS, bError EE (default 41FE)\n"
         "  refuse-set-parameters  SetParameters answered as a failed command (bError 0A)\n"
         "  vanish                 the reader disappears: the terminal is closed\n"
         "\n"
         "Messages: IccPowerOn (ATR), IccPowerOff, GetSlotStatus, SetParameters (body echoed in the reply),\n"
         "XfrBlock with chaining both ways, Escape: E0 00 00 18 00 gives 5 header bytes and the firmware text,\n"
         "44 NN switches to rate index NN after answering 90 NN, anything else is echoed back.\n"
         "\n"
         "The built-in card (CLA 00 unless said):\n"
         "  A4 SELECT        P1 00: by file identifier, Lc 2: 3F00 (MF), 0101, 0102, 0103\n"
         "                   P1 04: by name: A0 00 00 05 52 59 58 01 (or its first 5 bytes or more)\n"
         "  B0 READ BINARY   offset P1 P2 in the selected file, Le bytes (62 82 when the file ends first)\n"
         "  D6 UPDATE BINARY offset P1 P2, Lc bytes (file 0103 only)\n"
         "  CLA 80, 10 ECHO  returns the command data + 90 00\n"
         "  CLA 80, 12 PATTERN  returns Le bytes 00 01 .. FF 00 01 .. + 90 00 (extended Le up to 65536)\n"
         "  Files: 0101 \"RYX SIM CARD 1.0\" (16 bytes, read-only); 0102 512 bytes, byte i = i mod 256 (read-only);\n"
         "         0103 64 bytes of 00 (read/write).\n"
         "  Errors: 6D 00 unknown instruction, 6E 00 unknown class, 67 00 wrong length, 6A 82 file not found,\n"
         "          6A 86 wrong P1/P2, 69 86 no file selected, 69 82 read-only file, 6B 00 offset past the end,\n"
         "          6A 84 data past the end of the file.\n";
    return t;
}

}  // namespace ryx::sim
