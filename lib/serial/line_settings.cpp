// Translates the open arguments (rate, data bits, parity, stop bits and flow letters) into termios flags.
#include "serial/line_settings.h"

#include <termios.h>

#include <ryx.h>

namespace ryx {

namespace {

constexpr char Upper(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Parity bits for a letter; false for a letter the line does not know.
bool ParityFlags(char parity, tcflag_t* control, tcflag_t* input) noexcept {
    switch (Upper(parity)) {
        case 'N':
            *control = 0;
            *input = 0;
            return true;
        case 'E':
            *control = PARENB;
            break;
        case 'O':
            *control = PARENB | PARODD;
            break;
        case 'M':  // sticky parity: the parity bit always 1
            *control = PARENB | CMSPAR | PARODD;
            break;
        case 'S':  // sticky parity: the parity bit always 0
            *control = PARENB | CMSPAR;
            break;
        default:
            return false;
    }
    // Any parity letter turns checking of received characters on.
    *input = INPCK;
    return true;
}

bool StopFlags(std::uint8_t stopBits, tcflag_t* control) noexcept {
    switch (stopBits) {
        case 1:
            *control = 0;
            return true;
        case 2:
            *control = CSTOPB;
            return true;
        default:  // 15 included: one and a half stop bits exist only with 5 data bits on a UART
            return false;
    }
}

bool FlowFlags(char flow, tcflag_t* control, tcflag_t* input) noexcept {
    switch (Upper(flow)) {
        case 'H':  // output waits for CTS, RTS signals room for input
            *control = CRTSCTS;
            *input = 0;
            return true;
        case 'N':
            *control = 0;
            *input = 0;
            return true;
        case 'S':  // XON/XOFF in both directions
            *control = 0;
            *input = IXON | IXOFF;
            return true;
        default:
            return false;
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

std::uint32_t BuildLineSettings(std::uint32_t baudRate, std::uint8_t dataBits, char parity, std::uint8_t stopBits,
                                char flow, LineSettings* settings) noexcept {
    tcflag_t parityControl = 0;
    tcflag_t parityInput = 0;
    tcflag_t stopControl = 0;
    tcflag_t flowControl = 0;
    tcflag_t flowInput = 0;
    tcflag_t sizeControl = 0;
    if (!ParityFlags(parity, &parityControl, &parityInput) || !StopFlags(stopBits, &stopControl) ||
        !FlowFlags(flow, &flowControl, &flowInput) || !SizeFlags(dataBits, &sizeControl) ||
        baudRate == 0) {  // a rate of 0 would hang the line up instead of timing it
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
    s.baudRate = baudRate;
    *settings = s;
    return RYX_SUCCESS;
}

}  // namespace ryx
