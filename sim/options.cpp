#include "sim/options.h"

#include <algorithm>
#include <charconv>

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

bool ParseHexBytes(std::string text, std::vector<std::uint8_t>* out) {
    std::erase_if(text, [](char c) { return c == ' ' || c == ':' || c == '-'; });
    if (text.empty() || text.size() % 2 != 0) return false;
    out->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t b = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, b, 16);
        if (ec != std::errc() || end != text.data() + i + 2) return false;
        out->push_back(b);
    }
    return true;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
    Options o;
    bool seedGiven = false;
    auto fail = [&](std::string why) -> std::optional<Options> {
        *error = std::move(why);
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--wire-time") {
            o.config.wireTime = true;
        } else if (a == "--trace") {
            o.config.trace = true;
        } else if (a == "--model" || a == "--firmware" || a == "--rate" || a == "--block-size" || a == "--card" ||
                   a == "--no-card" || a == "--mute" || a == "--link" || a == "--run" || a == "--fault" ||
                   a == "--chaos" || a == "--seed") {
            if (!value(&v)) return fail("option " + a + " needs a value");
            if (a == "--model") {
                auto m = ModelFromName(v);
                if (!m) return fail("unknown model '" + v + "' (KT4470RS, KT4470RS_V3 or KT6630RS)");
                o.config.model = *m;
            } else if (a == "--firmware") {
                o.config.firmware = v;
            } else if (a == "--rate") {
                std::uint32_t rate = 0;
                if (!ParseNumber(v, &rate) ||
                    std::find(kRateTable.begin(), kRateTable.end(), rate) == kRateTable.end()) {
                    return fail("rate '" + v +
                                "' is not one of 9600 19200 38400 57600 115200 128000 230400 250000 256000 "
                                "500000");
                }
                o.config.rate = rate;
            } else if (a == "--block-size") {
                std::uint32_t size = 0;
                if (!ParseNumber(v, &size) || size == 0 || size > 65536) return fail("bad block size '" + v + "'");
                o.config.blockSize = size;
            } else if (a == "--card") {
                const auto colon = v.find(':');
                std::size_t slot = 0;
                std::vector<std::uint8_t> atr;
                if (colon == std::string::npos || !ParseSlot(v.substr(0, colon), &slot) ||
                    !ParseHexBytes(v.substr(colon + 1), &atr)) {
                    return fail("bad --card '" + v + "' (SLOT:ATRHEX, slot 0 to 2)");
                }
                o.config.cards[slot] = SlotCard{true, std::move(atr), false};
            } else if (a == "--no-card") {
                std::size_t slot = 0;
                if (!ParseSlot(v, &slot)) return fail("bad slot '" + v + "'");
                o.config.cards[slot] = SlotCard{};
            } else if (a == "--mute") {
                std::size_t slot = 0;
                if (!ParseSlot(v, &slot)) return fail("bad slot '" + v + "'");
                if (!o.config.cards[slot].present) o.config.cards[slot] = SlotCard::BuiltIn();
                o.config.cards[slot].mute = true;
            } else if (a == "--link") {
                o.link = v;
            } else if (a == "--run") {
                o.run = v;
            } else if (a == "--fault") {
                std::string why;
                auto f = ParseFault(v, &why);
                if (!f) return fail(why);
                o.faults.push_back(*f);
            } else if (a == "--chaos") {
                double rate = 0;
                if (!ParseNumber(v, &rate) || rate < 0.0 || rate > 1.0)
                    return fail("bad chaos rate '" + v + "' (0 to 1)");
                o.config.chaosRate = rate;
            } else {
                if (!ParseNumber(v, &o.config.chaosSeed)) return fail("bad seed '" + v + "'");
                seedGiven = true;
            }
        } else {
            return fail("unknown argument '" + a + "' (see --help)");
        }
    }
    if (seedGiven && o.config.chaosRate == 0.0) return fail("--seed needs --chaos");
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
    std::string t;
    t +=
        "Usage: ryx_sim [options]\n"
        "A simulated smart-card reader on a pseudo-terminal. Prints the terminal's path as the first line of\n"
        "standard output, then serves until SIGINT or SIGTERM (or until the --run command ends).\n"
        "\n"
        "Options:\n"
        "  --model NAME         KT4470RS (default; 2 slots, blocks of 261 bytes), KT4470RS_V3 (3 slots, 261)\n"
        "                       or KT6630RS (3 slots, 506)\n"
        "  --firmware TEXT      version text of the firmware reply instead of the model's (e.g. \"KT4470RS 1.07\")\n"
        "  --rate BPS           the reader's line speed (default 9600): 9600 19200 38400 57600 115200 128000\n"
        "                       230400 250000 256000 500000; frames sent at another speed are not answered\n"
        "  --block-size N       largest XfrBlock block instead of the model's\n"
        "  --card SLOT:ATRHEX   a card with this ATR in slot 0, 1 or 2 (repeatable)\n"
        "                       (default: slot 0 holds the built-in card, ATR 3B 16 96 52 59 58 53 49 4D)\n"
        "  --no-card SLOT       empty the slot\n"
        "  --mute SLOT          the slot's card does not answer power-on (bStatus 41, bError FE)\n"
        "  --wire-time          take as long as the bytes would take on the line (10 bits a byte)\n"
        "  --trace              every frame, both directions, to standard error: hex, decoded header, host speed\n"
        "  --fault KIND[:COUNT[:ARG]]\n"
        "                       inject a fault into the next COUNT frames it fits (default 1; repeatable, applied\n"
        "                       in order)\n"
        "  --chaos RATE         random faults: each frame gets one with probability RATE (0 to 1)\n"
        "  --seed N             seed of the random faults (default 1)\n"
        "  --link PATH          make PATH a symbolic link to the terminal (removed at exit)\n"
        "  --run 'COMMAND'      run COMMAND with /bin/sh -c, {port} replaced by the terminal's path, attached to this\n"
        "                       terminal; exit with its status when it ends\n"
        "  --help               this text\n"
        "\n"
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
