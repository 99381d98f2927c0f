#include "tools/ryx_spy/describe.h"

#include <cstdio>

namespace ryx::spy {

namespace {

constexpr std::size_t kHeader = 10;
constexpr std::size_t kHexShown = 64;  // longer byte runs are cut, with their length given

std::string Hex(std::span<const std::uint8_t> bytes, const char* gap = " ") {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < bytes.size() && i < kHexShown; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        if (!out.empty()) out += gap;
        out += b;
    }
    if (bytes.size() > kHexShown) out += " ...";
    return out;
}

std::string Hex2(unsigned value, int digits) {
    char b[12];
    std::snprintf(b, sizeof b, "0x%0*X", digits, value);
    return b;
}

// One output line, built as text and as JSON at once; only the one asked for is returned.
class Line {
public:
    Line(double time, const char* direction, const char* kind) {
        char t[32];
        std::snprintf(t, sizeof t, "%.6f", time);
        text_ = std::string(t) + " " + direction + " " + kind;
        json_ = std::string("{\"time\":") + t + ",\"dir\":\"" + direction + "\",\"kind\":\"" + kind + "\"";
    }
    // A value shown as "key value" in text; numbers unquoted in JSON.
    Line& Num(const char* key, unsigned long value) {
        text_ += std::string(" ") + key + " " + std::to_string(value);
        json_ += std::string(",\"") + key + "\":" + std::to_string(value);
        return *this;
    }
    // A byte-sized code: 0xNN in text, a number in JSON, with its meaning after it when given.
    Line& Code(const char* key, unsigned value, int digits, const std::string& meaning = {}, bool keyInText = true) {
        text_ += " ";
        if (keyInText) text_ += std::string(key) + " ";
        text_ += Hex2(value, digits);
        if (!meaning.empty()) text_ += " (" + meaning + ")";
        json_ += std::string(",\"") + key + "\":" + std::to_string(value);
        if (!meaning.empty()) json_ += std::string(",\"") + key + "Meaning\":\"" + meaning + "\"";
        return *this;
    }
    // Text: "key value"; JSON: "key":"value" (keyless in text when `key` is empty there).
    Line& Text(const char* key, const std::string& value, bool keyInText = true) {
        text_ += " ";
        if (keyInText) text_ += std::string(key) + " ";
        text_ += value;
        json_ += std::string(",\"") + key + "\":\"" + value + "\"";
        return *this;
    }
    // Bytes: "key HH HH" in text, "key":"HHHH" in JSON (JSON shows every byte).
    Line& Bytes(const char* key, std::span<const std::uint8_t> bytes) {
        text_ += std::string(" ") + key + " " + Hex(bytes);
        std::string all;
        char b[4];
        for (std::uint8_t v : bytes) {
            std::snprintf(b, sizeof b, "%02X", v);
            all += b;
        }
        json_ += std::string(",\"") + key + "\":\"" + all + "\"";
        return *this;
    }
    [[nodiscard]] std::string Get(Format format) const { return format == Format::kJson ? json_ + "}" : text_; }

private:
    std::string text_;
    std::string json_;
};

const char* DirectionName(Direction d) {
    return d == Direction::kToReader ? "host>reader" : "reader>host";
}

// The header of a command APDU: CLA INS P1 P2 and, by its length, Lc and Le (short or extended).
void AddApdu(Line& line, std::span<const std::uint8_t> apdu) {
    if (apdu.size() < 4) {
        line.Bytes("apdu", apdu);
        return;
    }
    line.Code("CLA", apdu[0], 2).Code("INS", apdu[1], 2).Code("P1", apdu[2], 2).Code("P2", apdu[3], 2);
    const std::size_t n = apdu.size();
    if (n == 4) return;
    if (n == 5) {
        line.Num("Le", apdu[4] == 0 ? 256 : apdu[4]);
        return;
    }
    if (apdu[4] != 0) {  // short Lc
        const std::size_t lc = apdu[4];
        line.Num("Lc", lc);
        if (n == 6 + lc) line.Num("Le", apdu[n - 1] == 0 ? 256 : apdu[n - 1]);
        return;
    }
    // Extended: 00 then two bytes.
    if (n == 7) {
        const unsigned le = apdu[5] << 8 | apdu[6];
        line.Num("Le", le == 0 ? 65536 : le);
        return;
    }
    const std::size_t lc = static_cast<std::size_t>(apdu[5] << 8 | apdu[6]);
    line.Num("Lc", lc);
    if (n == 9 + lc) {
        const unsigned le = apdu[n - 2] << 8 | apdu[n - 1];
        line.Num("Le", le == 0 ? 65536 : le);
    }
}

}  // namespace

std::string MessageName(std::uint8_t type) {
    switch (type) {
        case 0x61:
            return "PC_to_RDR_SetParameters";
        case 0x62:
            return "PC_to_RDR_IccPowerOn";
        case 0x63:
            return "PC_to_RDR_IccPowerOff";
        case 0x65:
            return "PC_to_RDR_GetSlotStatus";
        case 0x6B:
            return "PC_to_RDR_Escape";
        case 0x6C:
            return "PC_to_RDR_GetParameters";
        case 0x6D:
            return "PC_to_RDR_ResetParameters";
        case 0x6F:
            return "PC_to_RDR_XfrBlock";
        case 0x80:
            return "RDR_to_PC_DataBlock";
        case 0x81:
            return "RDR_to_PC_SlotStatus";
        case 0x82:
            return "RDR_to_PC_Parameters";
        case 0x83:
            return "RDR_to_PC_Escape";
        default:
            return "unknown type " + Hex2(type, 2);
    }
}

std::string StatusMeaning(std::uint8_t bStatus) {
    static const char* const command[] = {"processed", "failed", "time extension", "reserved command status"};
    static const char* const card[] = {"card active", "card inactive", "no card", "reserved card status"};
    return std::string(command[bStatus >> 6 & 3]) + ", " + card[bStatus & 3];
}

std::string ErrorMeaning(std::uint8_t bError) {
    struct ErrorName {
        std::uint8_t code;
        const char* meaning;
    };
    static constexpr ErrorName kErrors[] = {
        {0xFF, "command aborted"},
        {0xFE, "card mute"},
        {0xFD, "parity error"},
        {0xFC, "overrun"},
        {0xFB, "hardware error"},
        {0xF8, "bad ATR TS"},
        {0xF7, "bad ATR TCK"},
        {0xF6, "protocol not supported"},
        {0xF5, "class not supported"},
        {0xF4, "procedure byte conflict"},
        {0xF3, "deactivated protocol"},
        {0xF2, "busy with auto sequence"},
        {0xF0, "PIN time-out"},
        {0xEF, "PIN cancelled"},
        {0xE0, "slot busy"},
        {0x00, "command not supported"},
    };
    for (const ErrorName& row : kErrors) {
        if (row.code == bError) return row.meaning;
    }
    if (bError < 0x80) return "bad parameter at offset " + std::to_string(bError);
    return "unknown error";
}

std::string Describer::Piece(const ryx::spy::Piece& piece) {
    const auto& f = piece.bytes;
    const char* dir = DirectionName(piece.direction);
    using Kind = ryx::spy::Piece::Kind;
    switch (piece.kind) {
        case Kind::kNoFrame:
            return Line(piece.time, dir, "no-frame").Num("bytes", f.size()).Bytes("data", f).Get(format_);
        case Kind::kIncomplete:
            return Line(piece.time, dir, "incomplete").Num("bytes", f.size()).Bytes("data", f).Get(format_);
        case Kind::kDamaged: {
            const char* why = f.back() != 0x03 ? "wrong end byte" : "wrong check byte";
            return Line(piece.time, dir, "damaged")
                .Text("why", why, false)
                .Num("bytes", f.size())
                .Bytes("data", f)
                .Get(format_);
        }
        case Kind::kRepeatRequest:
            return Line(piece.time, dir, "RepeatRequest").Get(format_);
        case Kind::kStatus: {
            Line line(piece.time, dir, "status");
            const bool wellFormed = f[0] == 0x02 && f[3] == 0x03 && f[1] == f[2];
            if (wellFormed && f[1] == 0) {
                line.Text("result", "accepted", false);
            } else if (wellFormed) {
                line.Text("result", "refused", false).Code("status", f[1], 2, {}, false);
            } else {
                line.Text("result", "damaged", false).Bytes("data", f);
            }
            return line.Get(format_);
        }
        case Kind::kCommand:
        case Kind::kResponse:
            break;
    }
    return Message(piece);
}

std::string Describer::Message(const ryx::spy::Piece& piece) {
    const auto& f = piece.bytes;
    const bool command = piece.kind == ryx::spy::Piece::Kind::kCommand;
    const std::span<const std::uint8_t> message(f.data() + 1, f.size() - 3);
    const std::span<const std::uint8_t> data = message.subspan(kHeader);
    const std::uint8_t type = message[0];
    const std::uint8_t seq = message[6];
    Line line(piece.time, DirectionName(piece.direction), command ? "command" : "response");
    line.Text("type", MessageName(type), false).Num("slot", message[5]).Num("seq", seq).Num("len", data.size());
    if (command) {
        commandOfSeq_[seq] = type;
        if (type == 0x6F) {
            const unsigned level = message[8] | message[9] << 8;
            line.Code("level", level, 4);
            if (level == 0x0000 || level == 0x0001) {
                AddApdu(line, data);
            }
        } else if (type == 0x61) {
            line.Num("protocol", message[7]).Bytes("data", data);
        } else if (!data.empty()) {
            line.Bytes("data", data);
        }
        return line.Get(format_);
    }
    const std::uint8_t bStatus = message[7];
    const std::uint8_t bError = message[8];
    line.Code("bStatus", bStatus, 2, StatusMeaning(bStatus));
    line.Code("bError", bError, 2, (bStatus >> 6) == 1 ? ErrorMeaning(bError) : std::string());
    if (type == 0x80) {
        const std::uint8_t chain = message[9];
        line.Code("chain", chain, 2);
        if (commandOfSeq_[seq] == 0x62) {
            if (!data.empty()) line.Bytes("ATR", data);
        } else if ((chain == 0x00 || chain == 0x02) && data.size() >= 2) {
            line.Bytes("SW", data.subspan(data.size() - 2));
        }
    } else if (!data.empty()) {
        line.Bytes("data", data);
    }
    return line.Get(format_);
}

std::string Describer::Rate(double time, std::uint32_t rate) const {
    return Line(time, "line", "rate").Num("bps", rate).Get(format_);
}

std::string Describer::Chunk(Direction direction, double time, std::span<const std::uint8_t> bytes) const {
    return Line(time, DirectionName(direction), "chunk").Num("bytes", bytes.size()).Bytes("data", bytes).Get(format_);
}

}  // namespace ryx::spy
