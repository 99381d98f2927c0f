// Opening and closing the serial side of a Link in tests: 9600 8N1 on the given device, then the time-outs and
// retry counts the test wants, so that each fixture states only what differs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "link/link.h"
#include "serial/serial_port.h"

namespace ryx::test {

/// Opens `path` at 9600 8N1 into `link`, prepares it for `slot` and sets both time-outs (ms) and both retry
/// counts. Wrap the call in ASSERT_NO_FATAL_FAILURE: an open that fails ends the test.
inline void OpenTestLink(Link& link, const std::string& path, std::uint8_t slot, std::uint32_t statusTimeout,
                         std::uint32_t responseTimeout, std::uint32_t retries) {
    link.port = SerialOpenA(path.c_str(), 9600, 8, 'N', 1, 'N');
    ASSERT_NE(link.port, kInvalidSerialHandle);
    PrepareLink(link, slot);
    link.statusTimeout = statusTimeout;
    link.responseTimeout = responseTimeout;
    link.statusRetries = retries;
    link.responseRetries = retries;
}

/// Closes the port OpenTestLink opened, if it did.
inline void CloseTestLink(Link& link) {
    if (link.port != kInvalidSerialHandle) {
        SerialClose(link.port);
    }
}

}  // namespace ryx::test
