// Maps a port's settings to termios flags: the one place where the POSIX line is decided.
#include "serial/line_settings.h"

#include <termios.h>

#include <ryx.h>

namespace ryx {

namespace {

void ParityFlags(Parity parity, tcflag_t* control, tcflag_t* input) noexcept {
    switch (parity) {
        case Parity::kNone:
            *control = 0;
            *input = 0;
            return;
        case Parity::kEven:
            *control = PARENB;
            break;
        case Parity::kOdd:
            *control = PARENB | PARODD;
            break;
        case Parity::kMark:  // sticky parity: the parity bit always 1
            *control = PARENB | CMSPAR | PARODD;
            break;
        case Parity::kSpace:  // sticky parity: the parity bit always 0
            *control = PARENB | CMSPAR;
            break;
    }
    // Any parity turns checking of received characters on.
    *input = INPCK;
}

bool StopFlags(StopBits stopBits, tcflag_t* control) noexcept {
    switch (stopBits) {
        case StopBits::kOne:
            *control = 0;
            return true;
        case StopBits::kTwo:
            *control = CSTOPB;
            return true;
        case StopBits::kOneAndAHalf:  // exists only with 5 data bits on a UART
            return false;
    }
    return false;
}

void FlowFlags(FlowControl flow, tcflag_t* control, tcflag_t* input) noexcept {
    *control = 0;
    *input = 0;
    switch (flow) {
        case FlowControl::kHardware:  // output waits for CTS, RTS signals room for input
            *control = CRTSCTS;
            return;
        case FlowControl::kNone:
            return;
        case FlowControl::kSoftware:  // XON/XOFF in both directions
            *input = IXON | IXOFF;
            return;
    }
}

bool SizeFlags(std::uint8_t dataBits, tcflag_t* control) noexcept {
    switch (dataBits) {
        case 5:
            *control = CS5;
            return true;
        case 6:
            *control = CS6;
            return true;
        case 7:
            *control = CS7;
            return true;
        case 8:
            *control = CS8;
            return true;
        default:
            return false;
    }
}

}  // namespace

std::uint32_t BuildLineSettings(const PortSettings& port, LineSettings* settings) noexcept {
    tcflag_t parityControl = 0;
    tcflag_t parityInput = 0;
    tcflag_t stopControl = 0;
    tcflag_t flowControl = 0;
    tcflag_t flowInput = 0;
    tcflag_t sizeControl = 0;
    ParityFlags(port.parity, &parityControl, &parityInput);
    FlowFlags(port.flow, &flowControl, &flowInput);
    if (!StopFlags(port.stopBits, &stopControl) || !SizeFlags(port.dataBits, &sizeControl) ||
        port.baudRate == 0) {  // a rate of 0 would hang the line up instead of timing it
        return RYX_ERROR_INVALID_PARAMETER;
    }
    // Turn off all line-discipline processing: no echo, no canonical lines, no signals, no output or input
    // translation. Only the flags named here are set.
    LineSettings s;
    s.inputFlags = parityInput | flowInput;
    s.outputFlags = 0;
    s.controlFlags = sizeControl | parityControl | stopControl | flowControl | CREAD | CLOCAL;
    s.localFlags = 0;
    // Reads return what is queued without waiting; the serial layer does its own waiting.
    s.minChars = 0;
    s.readTenths = 0;
    s.startChar = 0x11;
    s.stopChar = 0x13;
    s.baudRate = port.baudRate;
    *settings = s;
    return RYX_SUCCESS;
}

std::uint32_t BuildLineSettings(std::uint32_t baudRate, std::uint8_t dataBits, char parity, std::uint8_t stopBits,
                                char flow, LineSettings* settings) noexcept {
    PortSettings port;
    if (!DecodeLineCodes(baudRate, dataBits, parity, stopBits, flow, &port)) {
        return RYX_ERROR_INVALID_PARAMETER;
    }
    return BuildLineSettings(port, settings);
}

}  // namespace ryx
