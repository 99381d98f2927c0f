// The mapping from the open arguments to the Win32 line settings.
#include "serial/comm_state_win32.h"

#include <ryx.h>

namespace ryx {

namespace {

constexpr char Upper(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool ParityValue(char letter, std::uint8_t* parity) noexcept {
    switch (Upper(letter)) {
        case 'E':
            *parity = kEvenParity;
            return true;
        case 'M':
            *parity = kMarkParity;
            return true;
        case 'N':
            *parity = kNoParity;
            return true;
        case 'O':
            *parity = kOddParity;
            return true;
        case 'S':
            *parity = kSpaceParity;
            return true;
        default:
            return false;
    }
}

bool StopBitsValue(std::uint8_t code, std::uint8_t* stopBits) noexcept {
    switch (code) {
        case 1:
            *stopBits = kOneStopBit;
            return true;
        case 2:
            *stopBits = kTwoStopBits;
            return true;
        case 15:
            *stopBits = kOne5StopBits;
            return true;
        default:
            return false;
    }
}

// Only the flow letter's own fields; DTR is raised for every letter.
bool ApplyFlow(char letter, CommStateFields* f) noexcept {
    switch (Upper(letter)) {
        case 'H':
            f->fOutxCtsFlow = true;  // output waits for CTS
            f->fRtsControl = kRtsControlHandshake;
            return true;
        case 'N':
            f->fRtsControl = kRtsControlEnable;
            return true;
        case 'S':
            f->fRtsControl = kRtsControlEnable;
            f->fOutX = true;
            f->fInX = true;
            return true;
        default:
            return false;
    }
}

}  // namespace

std::uint32_t BuildCommState(std::uint32_t baudRate, std::uint8_t dataBits, char parity, std::uint8_t stopBits,
                             char flow, CommStateFields* fields) noexcept {
    if (fields == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    CommStateFields f;
    if (!ParityValue(parity, &f.parity) || !StopBitsValue(stopBits, &f.stopBits) || !ApplyFlow(flow, &f)) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    f.baudRate = baudRate;
    f.byteSize = dataBits;
    f.fBinary = true;                   // Windows supports nothing else
    f.fParity = f.parity != kNoParity;  // checking on for every parity but none
    f.fDtrControl = kDtrControlEnable;
    f.xonChar = kXonChar;
    f.xoffChar = kXoffChar;
    *fields = f;
    return RYX_SUCCESS;
}

}  // namespace ryx
