#include "sim/trace.h"

#include <cstdio>

namespace ryx::sim {
namespace {

std::string Hex(std::uint8_t b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

bool IsReply(std::uint8_t type) {
    return type >= 0x80;
}

}  // namespace

std::string MessageTypeName(std::uint8_t type) {
    switch (type) {
        case 0x61:
            return "SetParameters";
        case 0x62:
            return "IccPowerOn";
        case 0x63:
            return "IccPowerOff";
        case 0x65:
            return "GetSlotStatus";
        case 0x6B:
            return "Escape";
        case 0x6F:
            return "XfrBlock";
        case 0x80:
            return "DataBlock";
        case 0x81:
            return "SlotStatus";
        case 0x82:
            return "Parameters";
        case 0x83:
            return "EscapeReply";
        default:
            return "type 0x" + Hex(type);
    }
}

std::string FormatTrace(const FrameRecord& r) {
    const bool sent = r.kind == FrameRecord::Kind::kStatus || r.kind == FrameRecord::Kind::kResponse;
    std::string line = sent ? "tx " : "rx ";
    line += std::to_string(r.hostSpeed);
    switch (r.kind) {
        case FrameRecord::Kind::kRepeatRequest:
            line += " RepeatRequest";
            break;
        case FrameRecord::Kind::kStatus:
            line += r.bytes.size() == 4 ? " status " + Hex(r.bytes[1]) : " status";
            break;
        case FrameRecord::Kind::kCommand:
        case FrameRecord::Kind::kResponse:
            if (r.header) {
                const MessageHeader& h = *r.header;
                line += " " + MessageTypeName(h.type) + " dwLength=" + std::to_string(h.dwLength) +
                        " bSlot=" + std::to_string(h.slot) + " bSeq=0x" + Hex(h.seq);
                if (IsReply(h.type)) {
                    line += " bStatus=" + Hex(h.b7) + " bError=" + Hex(h.b8) + " b9=" + Hex(h.b9);
                } else {
                    line += " 07-09=" + Hex(h.b7) + " " + Hex(h.b8) + " " + Hex(h.b9);
                }
            } else {
                line += sent ? " response" : " frame";
            }
            break;
    }
    if (r.droppedSpeedMismatch) line += " (dropped: reader at " + std::to_string(r.readerRate) + ")";
    if (r.refused) line += " (refused)";
    if (r.ignoredSilent) line += " (ignored: reader off)";
    if (r.retransmission) line += " (repeated: answered again, not executed)";
    if (r.fault) line += " (fault " + std::string(FaultKindName(*r.fault)) + ")";
    line += " |";
    for (std::uint8_t b : r.bytes) line += " " + Hex(b);
    return line;
}

}  // namespace ryx::sim
