// Reading an ATR for a person: its convention, protocols, Fi/Di and check byte, as the slot check reports them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ryx_test {

/** What an ATR says, read by the grammar of ISO/IEC 7816-3 as the library reads it. */
struct AtrSummary {
    std::string problem;  ///< empty for a well-formed ATR, else why it is not, e.g. "the check byte TCK is wrong"
    bool inverse = false;
    bool t0 = false;  ///< offered: no TD1, or TD1 indicates T=0
    bool t1 = false;  ///< offered: some TD indicates T=1
    bool tckExpected = false;
    int ta1 = -1;     ///< TA1, -1 when it is absent
    int fiIndex = 1;  ///< from TA1, 1 when it is absent
    int diIndex = 1;
    uint32_t fi = 372;  ///< 0 for an index the standard reserves
    uint32_t di = 1;
    size_t historicalCount = 0;
};

/** Reads `length` ATR bytes. Pure. */
AtrSummary DecodeAtr(const uint8_t* atr, size_t length);

/**
 * One line for a person, e.g. "direct convention, T=0, Fi 512 Di 32 (TA1 96), no TCK (T=0 only), 6 historical
 * bytes", or the problem of a malformed ATR. Pure.
 */
std::string DescribeAtr(const AtrSummary& atr);

}  // namespace ryx_test
