// Names and meanings of the library's status codes, for every message of the command-line mode that shows one.
#pragma once

#include <cstdint>
#include <string>

namespace ryx_test {

/**
 * "NAME (0xXXXXXXXX): meaning", e.g. "RYX_W_REMOVED_CARD (0xA0100069): there is no card in the slot". A system
 * error (RYX_ERROR_SYSTEM_BIT set) is shown with its errno number and the system's text for it; a code the table
 * does not know is "unknown code (0x...)". Pure but for the system's text.
 */
std::string DescribeStatus(uint32_t status);

}  // namespace ryx_test
