// What the simulated reader records of its conversation with the host: every frame in both directions and every
// SetParameters message body. Tests assert on these.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/fault.h"

namespace ryx::sim {

// The 10-byte message header of a frame's payload, decoded (all multi-byte fields little-endian on the wire).
struct MessageHeader {
    std::uint8_t type = 0;       // bMessageType
    std::uint32_t dwLength = 0;  // data bytes after the header
    std::uint8_t slot = 0;       // bSlot
    std::uint8_t seq = 0;        // bSeq
    std::uint8_t b7 = 0;         // command: message specific; reply: bStatus
    std::uint8_t b8 = 0;         // command: message specific; reply: bError
    std::uint8_t b9 = 0;         // command: message specific; reply: bChainParameter / bClockStatus / bProtocolNum
};

// One frame as it crossed the line.
struct FrameRecord {
    enum class Kind : std::uint8_t {
        kCommand,        // received: a command frame
        kRepeatRequest,  // received: 02, eleven 00, 03
        kStatus,         // sent: a 4-byte status frame (or what stood in its place under a status fault)
        kResponse,       // sent: a response frame (as sent: damaged or truncated under a fault)
    };
    Kind kind = Kind::kCommand;
    std::vector<std::uint8_t> bytes;      // raw frame bytes, start byte to end byte
    std::optional<MessageHeader> header;  // when the frame carries at least a 10-byte header
    std::uint32_t hostSpeed = 0;          // host's port speed (bit/s) when the frame was received / sent
    std::uint32_t readerRate = 0;         // the reader's own rate at that moment
    bool droppedSpeedMismatch = false;    // received: ignored because hostSpeed != readerRate
    bool refused = false;                 // received: answered with 02 01 01 03 (bad check/end byte, too long)
    bool ignoredSilent = false;           // received: ignored because the reader is switched off
    bool retransmission = false;          // received: the last command frame again, answered but not executed
    std::optional<FaultKind> fault;       // the fault applied to this frame, if any
    // When it was received, or handed to the line (after a delay fault, before chunk gaps and wire-time pacing).
    std::chrono::steady_clock::time_point time{};
};

// One PC_to_RDR_SetParameters message the reader took.
struct SetParametersRecord {
    std::uint8_t slot = 0;
    std::uint8_t seq = 0;
    std::uint8_t protocolNum = 0;    // bProtocolNum
    std::vector<std::uint8_t> body;  // abData
    bool refused = false;            // answered with a failed-command reply
};

// Counters of injected faults, by kind (queued and random ones alike).
struct FaultCounters {
    std::uint64_t byKind[kFaultKindCount] = {};
    std::uint64_t total = 0;
};

}  // namespace ryx::sim
