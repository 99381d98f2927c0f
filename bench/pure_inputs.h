// The inputs of the pure-part benchmarks, shared with their tests: a set of ATRs shaped like those of cards in the
// field, a 64 KiB response with the expected text a script would hold for it, and a 64 KiB response frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "card/slot_record.h"

namespace ryx::bench {

// Slot records holding real-world-shaped ATRs (T=0 and T=1, direct and inverse convention, global interface
// bytes, a specific mode), each with the first slot's descriptor of a two-slot reader and speed negotiation on.
[[nodiscard]] std::vector<SlotRecord> BenchAtrRecords();

// 65,536 response bytes.
[[nodiscard]] std::vector<std::uint8_t> BenchLargeResponse();

// The expected text of a script for response: "XX XX ..." hex pairs separated by spaces, every 16th byte a
// wildcard "XX".
[[nodiscard]] std::string BenchExpectedText(const std::vector<std::uint8_t>& response);

// A valid response frame (02, RDR_to_PC_DataBlock header, data, check byte, 03) carrying data.
[[nodiscard]] std::vector<std::uint8_t> BenchResponseFrame(const std::vector<std::uint8_t>& data);

}  // namespace ryx::bench
