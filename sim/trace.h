// One line of trace per frame, for a person debugging a host program against the simulator.
#pragma once

#include <string>

#include "sim/records.h"

namespace ryx::sim {

// The name of a message type ("XfrBlock", "DataBlock", ...; "type 0x12" for one the reader does not know).
[[nodiscard]] std::string MessageTypeName(std::uint8_t type);

// "rx 9600 XfrBlock dwLength=5 bSlot=0 bSeq=0x10 07-09=00 00 00 | 02 6F ... 03" and the like: direction, host speed,
// decoded header, what became of the frame, then every byte in hex. No newline at the end.
[[nodiscard]] std::string FormatTrace(const FrameRecord& record);

}  // namespace ryx::sim
