#include "line_frames.h"

#include <algorithm>

#include "tools/common/reader_frames.h"

namespace ryx_test {

namespace {

using ryx::reader_frames::DataLengthAt;
using ryx::reader_frames::IsStatusFrameAt;
using ryx::reader_frames::kEnd;
using ryx::reader_frames::kHeaderLength;
using ryx::reader_frames::kStart;
using ryx::reader_frames::kStatusLength;
using ryx::reader_frames::Xor;

constexpr size_t kFirmwareHeaderLength = 5;  // abData bytes before the version text

// Where the response frame after a status frame starts in `received`, or npos without a status frame.
size_t AfterStatus(const std::vector<uint8_t>& r) {
    for (size_t at = 0; at + kStatusLength <= r.size(); ++at) {
        if (IsStatusFrameAt(r, at)) {
            return at + kStatusLength;
        }
    }
    return std::string::npos;
}

bool IsEcho(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received) {
    return received.size() >= sent.size() && std::equal(sent.begin(), sent.end(), received.begin());
}

// The whole length of the response frame starting at `at`, once its header is in.
std::optional<size_t> ResponseLength(const std::vector<uint8_t>& r, size_t at) {
    if (r.size() < at + 1 + kHeaderLength) {
        return std::nullopt;
    }
    return size_t{DataLengthAt(r, at)} + kHeaderLength + 3;
}

}  // namespace

std::vector<uint8_t> FirmwareQueryFrame(uint8_t seq) {
    return ryx::reader_frames::FirmwareQueryFrame(seq);
}

bool LineReplyComplete(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received) {
    if (IsEcho(sent, received)) {
        return true;
    }
    const size_t at = AfterStatus(received);
    if (at == std::string::npos) {
        return false;
    }
    if (received[at - 3] != 0x00) {
        return true;  // the command was refused: no response follows
    }
    const std::optional<size_t> length = ResponseLength(received, at);
    return length && received.size() >= at + *length;
}

LineReply ClassifyLineReply(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& received) {
    LineReply reply;
    if (received.empty()) {
        return reply;
    }
    if (IsEcho(sent, received)) {
        reply.answer = LineAnswer::Echo;
        return reply;
    }
    const size_t at = AfterStatus(received);
    if (at == std::string::npos) {
        reply.answer = LineAnswer::NoFrame;
        return reply;
    }
    if (received[at - 3] != 0x00) {
        reply.answer = LineAnswer::Frames;  // a reader's refusal is still a valid frame
        return reply;
    }
    const std::optional<size_t> length = ResponseLength(received, at);
    if (!length || received.size() < at + *length || received[at] != kStart || received[at + *length - 1] != kEnd ||
        Xor(std::span(received).subspan(at + 1, *length - 3)) != received[at + *length - 2]) {
        reply.answer = LineAnswer::Damaged;
        return reply;
    }
    reply.answer = LineAnswer::Frames;
    const size_t text = at + 1 + kHeaderLength + kFirmwareHeaderLength;
    const size_t textEnd = at + *length - 2;
    if (received[at + 1] == 0x83 && textEnd > text) {
        reply.firmware.assign(received.begin() + static_cast<long>(text),
                              received.begin() + static_cast<long>(textEnd));
    }
    return reply;
}

std::optional<KnownModel> ModelOfFirmware(std::string_view firmware) {
    constexpr KnownModel kModels[] = {{"KT4470RS_V3", 3, 261}, {"KT4470RS", 2, 261}, {"KT6630RS", 3, 506}};
    for (const KnownModel& model : kModels) {
        if (firmware.substr(0, std::string_view(model.name).size()) == model.name) {
            return model;
        }
    }
    return std::nullopt;
}

}  // namespace ryx_test
