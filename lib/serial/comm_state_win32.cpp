// Maps a port's settings to the Win32 line settings: the one place where the Win32 line is decided.
#include "serial/comm_state_win32.h"

#include <ryx.h>

namespace ryx {

namespace {

std::uint8_t ParityValue(Parity parity) noexcept {
    switch (parity) {
        case Parity::kEven:
            return kEvenParity;
        case Parity::kMark:
            return kMarkParity;
        case Parity::kOdd:
            return kOddParity;
        case Parity::kSpace:
            return kSpaceParity;
        case Parity::kNone:
            break;
    }
    return kNoParity;
}

std::uint8_t StopBitsValue(StopBits stopBits) noexcept {
    switch (stopBits) {
        case StopBits::kTwo:
            return kTwoStopBits;
        case StopBits::kOneAndAHalf:
            return kOne5StopBits;
        case StopBits::kOne:
            break;
    }
    return kOneStopBit;
}

// Only the flow control's own fields; DTR is raised in every case.
void ApplyFlow(FlowControl flow, CommStateFields* f) noexcept {
    switch (flow) {
        case FlowControl::kHardware:
            f->fOutxCtsFlow = true;  // output waits for CTS
            f->fRtsControl = kRtsControlHandshake;
            return;
        case FlowControl::kNone:
            f->fRtsControl = kRtsControlEnable;
            return;
        case FlowControl::kSoftware:
            f->fRtsControl = kRtsControlEnable;
            f->fOutX = true;
            f->fInX = true;
            return;
    }
}

}  // namespace

std::uint32_t BuildCommState(const PortSettings& port, CommStateFields* fields) noexcept {
    if (fields == nullptr) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    CommStateFields f;
    f.parity = ParityValue(port.parity);
    f.stopBits = StopBitsValue(port.stopBits);
    ApplyFlow(port.flow, &f);
    f.baudRate = port.baudRate;
    f.byteSize = port.dataBits;
    f.fBinary = true;                   // Windows supports nothing else
    f.fParity = f.parity != kNoParity;  // checking on for every parity but none
    f.fDtrControl = kDtrControlEnable;
    f.xonChar = kXonChar;
    f.xoffChar = kXoffChar;
    *fields = f;
    return RYX_SUCCESS;
}

std::uint32_t BuildCommState(std::uint32_t baudRate, std::uint8_t dataBits, char parity, std::uint8_t stopBits,
                             char flow, CommStateFields* fields) noexcept {
    PortSettings port;
    if (fields == nullptr || !DecodeLineCodes(baudRate, dataBits, parity, stopBits, flow, &port)) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    return BuildCommState(port, fields);
}

}  // namespace ryx
