#include "pure_inputs.h"

#include <algorithm>
#include <cstdio>

namespace ryx::bench {
namespace {

// The first slot of a two-slot reader: clock 4 MHz, 10,752 bit/s at the default speed, at most 344,100 bit/s.
constexpr SlotDescriptor kSlotDescriptor = {3, 0, 4000, 4000, 10752, 344100, 512};

struct AtrShape {
    std::vector<std::uint8_t> bytes;
    bool tck;  // a protocol other than T=0 is offered: the check byte follows
};

SlotRecord Record(const AtrShape& shape) {
    std::vector<std::uint8_t> atr = shape.bytes;
    if (shape.tck) {
        std::uint8_t check = 0;
        for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
        atr.push_back(check);
    }
    SlotRecord record;
    record.descriptor = kSlotDescriptor;
    std::copy(atr.begin(), atr.end(), record.card.atr);
    record.card.atrLength = static_cast<std::uint8_t>(atr.size());
    record.card.negotiateSpeed = 1;
    return record;
}

}  // namespace

std::vector<SlotRecord> BenchAtrRecords() {
    const AtrShape shapes[] = {
        // T=0, TA1 only, six historical bytes.
        {{0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D}, false},
        // T=0, no interface bytes, two historical bytes.
        {{0x3B, 0x02, 0x14, 0x50}, false},
        // T=0, TA1 and TC2 (waiting integer), five historical bytes.
        {{0x3B, 0x95, 0x95, 0x40, 0xFF, 0xAE, 0x01, 0x03, 0x00, 0x00}, false},
        // T=0, TB1 and TC1 only.
        {{0x3B, 0x65, 0x00, 0x00, 0x20, 0x63, 0xCB, 0xA0, 0x00}, false},
        // Inverse convention, T=0, TB1 and TC1.
        {{0x3F, 0x65, 0x25, 0x00, 0x2C, 0x09, 0x69, 0x90, 0x00}, false},
        // T=0 specific mode (TA2), TA1 0x96.
        {{0x3B, 0x92, 0x96, 0x10, 0x80, 0x41, 0x42}, false},
        // T=0 and T=1, T=1 parameters (IFSC, BWI/CWI), global bytes for T=15, eleven historical bytes.
        {{0x3B, 0xDB, 0x96, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x00,
          0x31, 0xC0, 0x64, 0xC7, 0xFC, 0x10, 0x00, 0x01, 0x90, 0x00},
         true},
        // T=1 only, TA1 0x13, IFSC 254, BWI 4 / CWI 5, eight historical bytes.
        {{0x3B, 0xF8, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A, 0x43, 0x4F, 0x50, 0x76, 0x32, 0x34, 0x31}, true},
    };
    std::vector<SlotRecord> records;
    for (const AtrShape& shape : shapes) records.push_back(Record(shape));
    return records;
}

std::vector<std::uint8_t> BenchLargeResponse() {
    std::vector<std::uint8_t> response(65536);
    for (std::size_t i = 0; i < response.size(); ++i) response[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return response;
}

std::string BenchExpectedText(const std::vector<std::uint8_t>& response) {
    std::string text;
    text.reserve(response.size() * 3);
    char pair[4];
    for (std::size_t i = 0; i < response.size(); ++i) {
        if (i != 0) text += ' ';
        if (i % 16 == 15) {
            text += "XX";
            continue;
        }
        std::snprintf(pair, sizeof pair, "%02X", response[i]);
        text += pair;
    }
    return text;
}

std::vector<std::uint8_t> BenchResponseFrame(const std::vector<std::uint8_t>& data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    // Sized first and filled in place: GCC 12 at -O2 warns falsely about a vector insert here.
    std::vector<std::uint8_t> frame(data.size() + 13, 0x00);
    frame[0] = 0x02;
    frame[1] = 0x80;  // RDR_to_PC_DataBlock; slot, sequence, status, error and chain parameter 0
    for (int i = 0; i < 4; ++i) frame[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
    std::copy(data.begin(), data.end(), frame.begin() + 11);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < frame.size() - 2; ++i) check ^= frame[i];
    frame[frame.size() - 2] = check;
    frame[frame.size() - 1] = 0x03;
    return frame;
}

}  // namespace ryx::bench
