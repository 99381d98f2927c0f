// The internal serial-port interface: the only layer of the library that touches the OS port. One implementation
// per platform: serial_posix.cpp (with termios2_linux.cpp) and serial_win32.cpp. Every operation reports success
// as a boolean and, on failure, leaves the cause in the thread-local last-error value (last_error.h) as the
// failing system call set it; nothing on a failure path overwrites it before the caller reads it.
#pragma once

#include <cstdint>

#include "serial/port_settings.h"

namespace ryx {

// The platform's port handle: a file descriptor on POSIX, a HANDLE on Win32.
using SerialHandle = std::intptr_t;
inline constexpr SerialHandle kInvalidSerialHandle = -1;

// Opens an existing port by name (unchanged, no prefix added) for exclusive use and configures it with
// SerialConfigure. Returns kInvalidSerialHandle on failure, the port closed.
[[nodiscard]] SerialHandle SerialOpenA(const char* name, const PortSettings& settings);
// As SerialOpenA with a NUL-terminated UTF-16 name; an ill-formed name fails with 123 touching no device.
[[nodiscard]] SerialHandle SerialOpenW(const char16_t* name, const PortSettings& settings);

// Sets the line from scratch, as BuildLineSettings (line_settings.h) or BuildCommState (comm_state_win32.h) maps
// the settings; what a platform cannot do is refused with 87 before any change to the port, and so is a rate the
// driver rounds to another one.
[[nodiscard]] bool SerialConfigure(SerialHandle port, const PortSettings& settings);

// The same three with the letter codes of DecodeLineCodes (port_settings.h); a code not listed fails with 87.
[[nodiscard]] SerialHandle SerialOpenA(const char* name, std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                       std::uint8_t stopBits, char flow);
[[nodiscard]] SerialHandle SerialOpenW(const char16_t* name, std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                       std::uint8_t stopBits, char flow);
[[nodiscard]] bool SerialConfigure(SerialHandle port, std::uint32_t baudRate, std::uint8_t dataBits, char parity,
                                   std::uint8_t stopBits, char flow);

// Discards both queues and closes the port.
void SerialClose(SerialHandle port);

// Empties both queues without closing.
bool SerialPurge(SerialHandle port);

// Waits in passes of up to 500 ms until some bytes are queued, then takes up to n of them (possibly fewer).
// The time-out is tested between passes: timeoutMs = 0 makes exactly one pass. *bytesRead is 0 on failure.
// A time-out leaves RYX_ERROR_TIMEOUT (1460); a peer that hung up fails at once with RYX_ERROR_IO_DEVICE (1117).
[[nodiscard]] bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                              std::uint32_t timeoutMs);

// As SerialRead, for the answer to a frame just written, which is seldom queued yet: the first pass waits before it
// reads, which spares the read that would find the line empty. On Windows the same as SerialRead.
[[nodiscard]] bool SerialReadAfterWrite(SerialHandle port, std::uint8_t* buffer, std::uint32_t n,
                                        std::uint32_t* bytesRead, std::uint32_t timeoutMs);

// Reads and throws away whatever arrives until nothing has come for quietMs, or until limitMs have passed since
// the call began, whichever is first; unlike SerialRead it keeps to the millisecond, not to 500 ms passes.
// *discarded is the number of bytes thrown away; *wentQuiet is true when the line stayed silent for quietMs, false
// when limitMs ended the drain first (or it failed). Fails only when the port does (a peer that hung up: 1117).
[[nodiscard]] bool SerialDrain(SerialHandle port, std::uint32_t quietMs, std::uint32_t limitMs,
                               std::uint32_t* discarded, bool* wentQuiet);

// Writes all n bytes, waiting as long as it takes; a short write is a failure. *bytesWritten is the count that
// went out, also on failure. A peer that hung up fails with RYX_ERROR_IO_DEVICE (1117).
[[nodiscard]] bool SerialWrite(SerialHandle port, const std::uint8_t* buffer, std::uint32_t n,
                               std::uint32_t* bytesWritten);

// The port's current rate; *baudRate is 0 on failure.
[[nodiscard]] bool SerialGetBaudRate(SerialHandle port, std::uint32_t* baudRate);

// Changes only the rate; does nothing (and succeeds) when the port already runs at it. A rate the driver does not
// take exactly (or 0) fails with RYX_ERROR_INVALID_PARAMETER (87), the port left at its previous rate.
[[nodiscard]] bool SerialSetBaudRate(SerialHandle port, std::uint32_t baudRate);

}  // namespace ryx
