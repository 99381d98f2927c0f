#include "atr_decode.h"

#include <cstdio>

namespace ryx_test {

namespace {

constexpr uint32_t kFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
constexpr uint32_t kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// Whether the ATR ends where its interface bytes (up to `interfaceEnd`), historical bytes and TCK say, and whether
// TCK is right; a problem found goes to s.problem.
void CheckAtrLength(const uint8_t* atr, size_t length, size_t interfaceEnd, AtrSummary& s) {
    const size_t needed = interfaceEnd + s.historicalCount + (s.tckExpected ? 1 : 0);
    if (needed > length) {
        s.problem = "shorter than its interface and historical bytes announce";
        return;
    }
    if (needed < length) {
        s.problem = "longer than its interface and historical bytes announce";
        return;
    }
    if (s.tckExpected) {
        uint8_t x = 0;
        for (size_t i = 1; i < length; ++i) {
            x ^= atr[i];
        }
        if (x != 0) {
            s.problem = "the check byte TCK is wrong";
        }
    }
}

}  // namespace

AtrSummary DecodeAtr(const uint8_t* atr, size_t length) {
    AtrSummary s;
    if (length < 2) {
        s.problem = "shorter than 2 bytes";
        return s;
    }
    if (atr[0] != 0x3B && atr[0] != 0x3F) {
        s.problem = "TS is neither 3B (direct) nor 3F (inverse)";
        return s;
    }
    s.inverse = atr[0] == 0x3F;
    s.historicalCount = atr[1] & 0x0F;
    size_t at = 2;
    unsigned y = atr[1] >> 4;
    bool firstTd = true;
    for (int group = 1; group <= 4; ++group) {
        for (unsigned bit = 0x1; bit <= 0x4; bit <<= 1) {
            if ((y & bit) != 0) {
                if (group == 1 && bit == 0x1 && at < length) {
                    s.ta1 = atr[at];
                    s.fiIndex = atr[at] >> 4;
                    s.diIndex = atr[at] & 0x0F;
                }
                ++at;
            }
        }
        if ((y & 0x8) == 0) {
            break;
        }
        if (at >= length) {
            ++at;
            break;
        }
        const int t = atr[at] & 0x0F;
        s.t0 = s.t0 || (firstTd && t == 0);
        s.t1 = s.t1 || t == 1;
        s.tckExpected = s.tckExpected || t != 0;
        firstTd = false;
        y = atr[at++] >> 4;
    }
    s.t0 = s.t0 || firstTd;
    s.fi = kFi[s.fiIndex];
    s.di = kDi[s.diIndex];
    CheckAtrLength(atr, length, at, s);
    return s;
}

std::string DescribeAtr(const AtrSummary& atr) {
    if (!atr.problem.empty()) {
        return "malformed: " + atr.problem;
    }
    std::string text = atr.inverse ? "inverse convention, " : "direct convention, ";
    text += atr.t0 && atr.t1 ? "T=0 and T=1" : atr.t1 ? "T=1" : "T=0";
    char fiDi[64];
    std::snprintf(fiDi, sizeof fiDi, ", Fi %u Di %u", atr.fi, atr.di);
    text += fiDi;
    if (atr.ta1 >= 0) {
        std::snprintf(fiDi, sizeof fiDi, " (TA1 %02X)", static_cast<unsigned>(atr.ta1));
        text += fiDi;
    } else {
        text += " (no TA1)";
    }
    if (atr.fi == 0 || atr.di == 0) {
        text += ", reserved Fi/Di";
    }
    text += atr.tckExpected ? ", TCK correct" : ", no TCK (T=0 only)";
    text += ", " + std::to_string(atr.historicalCount) + " historical byte" + (atr.historicalCount == 1 ? "" : "s");
    return text;
}

}  // namespace ryx_test
