// How every ryx status becomes the IFD handler code that pcscd acts on. The table is the one the README shows.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "pcsc/pcsc_headers.h"

namespace ryx::pcsc {

// Which IFDH function reports the status: a few of them give some codes a meaning of their own.
enum class Operation : std::uint8_t {
    kGeneral,   // IFDHCreateChannelByName, IFDHTransmitToICC, IFDHControl
    kPower,     // IFDHPowerICC (powering down an absent card succeeds, see IFDHPowerICC)
    kPresence,  // IFDHICCPresence (a successful status read is turned into a code by the card state)
    kProtocol,  // IFDHSetProtocolParameters
};

// One row of the table: a ryx status and the IFD code of each operation.
struct StatusMapping {
    std::uint32_t status;
    const char* name;     // the status' name in ryx.h
    const char* meaning;  // what it means, for the log
    RESPONSECODE general;
    RESPONSECODE power;
    RESPONSECODE presence;
    RESPONSECODE protocol;
};

// Every status the ryx API documents, in the order of ryx.h. Any other status (a system error) maps as kOtherStatus.
[[nodiscard]] std::span<const StatusMapping> StatusTable() noexcept;

// The row for statuses not in the table: system errors of the port (RYX_ERROR_SYSTEM_BIT | errno and the like).
extern const StatusMapping kOtherStatus;

/**
 * A status for the log: its number and meaning, as in "0x0000001F (the reader did not answer)". A system error
 * names its errno's text.
 */
[[nodiscard]] std::string DescribeStatus(std::uint32_t status);

/** The IFD code for a ryx status reported by the given operation. Pure. */
[[nodiscard]] RESPONSECODE MapStatus(std::uint32_t status, Operation operation) noexcept;

}  // namespace ryx::pcsc
