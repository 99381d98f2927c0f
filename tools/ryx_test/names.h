// The words the console prints for an active protocol and for an ICC status.
#pragma once

#include <cstdint>

namespace ryx_test {

/** "T=0" for 1, "T=1" for 2, "Unknown" for every other value (0 and 3 included). */
const char* ProtocolName(uint32_t activeProtocol);

/** "Unknown", "Absent", "Present", "Powered" for 0 to 3; "Unknown" for every other value. */
const char* IccStatusName(uint32_t iccStatus);

}  // namespace ryx_test
