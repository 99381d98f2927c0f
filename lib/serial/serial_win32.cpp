// The serial port on Win32: a COM port opened for overlapped I/O, every wait at most one 500 ms slice on an event
// of its own. A failing call's GetLastError value is what the caller gets; cleanup on a failure path (closing
// an event or the port, cancelling an operation) puts that value back before returning.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <cstddef>

#include <ryx.h>

#include "serial/comm_state_win32.h"
#include "serial/serial_port.h"

namespace ryx {

static_assert(kNoParity == NOPARITY && kOddParity == ODDPARITY && kEvenParity == EVENPARITY &&
              kMarkParity == MARKPARITY && kSpaceParity == SPACEPARITY);
static_assert(kOneStopBit == ONESTOPBIT && kOne5StopBits == ONE5STOPBITS && kTwoStopBits == TWOSTOPBITS);
static_assert(kDtrControlEnable == DTR_CONTROL_ENABLE && kRtsControlEnable == RTS_CONTROL_ENABLE &&
              kRtsControlHandshake == RTS_CONTROL_HANDSHAKE);
// kInvalidSerialHandle (-1) is INVALID_HANDLE_VALUE, all bits set, as CreateFile returns it on failure.

namespace {

// One wait for a port event, and one read, last at most this long; the caller's time-out is tested between passes.
constexpr DWORD kSliceMs = 500;
constexpr DWORD kQueueBytes = 512;

bool FailWith(DWORD code) noexcept {
    ::SetLastError(code);
    return false;
}

// The HANDLE behind a port handle; false (ERROR_INVALID_HANDLE stored) for one that cannot be a port, as the POSIX
// port refuses a value that cannot be a descriptor. INVALID_HANDLE_VALUE would otherwise reach the API as the
// current process's pseudo-handle.
bool PortHandle(SerialHandle port, HANDLE* handle) noexcept {
    if (port == kInvalidSerialHandle || port == 0) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    *handle = reinterpret_cast<HANDLE>(port);
    return true;
}

// The HANDLE behind a port handle and the port's current settings; false (the error stored) when either fails.
bool PortState(SerialHandle port, HANDLE* handle, DCB* settings) noexcept {
    if (!PortHandle(port, handle)) {
        return false;
    }
    settings->DCBlength = sizeof *settings;
    return ::GetCommState(*handle, settings) != 0;
}

// Closes a handle without disturbing the last-error value a failure left.
void CloseKeepingError(HANDLE handle) noexcept {
    const DWORD cause = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(cause);
}

// The event of one overlapped operation: manual-reset, not signalled, closed when the operation is over.
class OperationEvent {
public:
    OperationEvent() noexcept : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~OperationEvent() {
        if (event_ != nullptr) CloseKeepingError(event_);
    }
    OperationEvent(const OperationEvent&) = delete;
    OperationEvent& operator=(const OperationEvent&) = delete;

    [[nodiscard]] bool valid() const noexcept { return event_ != nullptr; }
    [[nodiscard]] HANDLE get() const noexcept { return event_; }

private:
    HANDLE event_;
};

// Waits up to ms (INFINITE: without limit) for the operation started with overlapped. An operation still pending
// when the wait ends is cancelled, and its end awaited, so that it can never complete into an OVERLAPPED, a buffer
// or an event that is gone; one that completed meanwhile counts as done. True with *transferred when the
// operation succeeded; otherwise its own error, or ERROR_TIMEOUT when it was cut off.
bool FinishOperation(HANDLE port, OVERLAPPED* overlapped, DWORD ms, DWORD* transferred) noexcept {
    const DWORD waited = ::WaitForSingleObject(overlapped->hEvent, ms);
    if (waited == WAIT_OBJECT_0) {
        return ::GetOverlappedResult(port, overlapped, transferred, FALSE) != 0;
    }
    const DWORD cause = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : ::GetLastError();
    ::CancelIoEx(port, overlapped);  // ERROR_NOT_FOUND when it completed after all
    if (::GetOverlappedResult(port, overlapped, transferred, TRUE)) {
        return true;
    }
    return FailWith(cause);
}

// Runs one read or write that `start` begins with the OVERLAPPED it is given (event: the operation's event), and
// finishes it as FinishOperation does when it is still pending. True with *transferred when it succeeded.
template <typename Start>
bool RunOperation(HANDLE port, HANDLE event, DWORD ms, DWORD* transferred, Start start) noexcept {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    if (start(&overlapped)) {
        return ::GetOverlappedResult(port, &overlapped, transferred, FALSE) != 0;
    }
    return ::GetLastError() == ERROR_IO_PENDING && FinishOperation(port, &overlapped, ms, transferred);
}

// Bytes in the input queue. ClearCommError also clears a pending line error; when it fails the queue counts as
// empty, and the read goes on until its time-out.
DWORD QueuedBytes(HANDLE port) noexcept {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status)) {
        return 0;
    }
    return status.cbInQue;
}

// One wait of at most a slice for a port event (the mask is EV_RXCHAR; the event reported is not examined).
bool WaitPortEvent(HANDLE port, HANDLE event) noexcept {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD mask = 0;
    if (::WaitCommEvent(port, &mask, &overlapped)) {
        return true;
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    DWORD unused = 0;
    return FinishOperation(port, &overlapped, kSliceMs, &unused);
}

enum class PassResult { kRead, kNothing, kFailed };

// One pass of a timed read: waits for input for at most a slice, then reads what is queued, up to n bytes.
PassResult ReadPass(HANDLE port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead) noexcept {
    // Bytes already queued are taken at once: the port signals only characters that arrive while the event mask
    // is set, and these may have come before it was.
    if (QueuedBytes(port) == 0) {
        const OperationEvent event;
        if (!event.valid()) {
            return PassResult::kFailed;
        }
        if (!WaitPortEvent(port, event.get()) || QueuedBytes(port) == 0) {
            return PassResult::kNothing;
        }
    }
    const OperationEvent event;
    if (!event.valid()) {
        return PassResult::kFailed;
    }
    DWORD got = 0;
    const bool done = RunOperation(port, event.get(), kSliceMs, &got, [&](OVERLAPPED* overlapped) {
        return ::ReadFile(port, buffer, n, nullptr, overlapped) != 0;
    });
    if (!done) {
        return PassResult::kNothing;
    }
    *bytesRead = got;
    return PassResult::kRead;
}

// Writes the line settings of SerialConfigure and checks that the driver took the rate as it is: some drivers
// replace a rate they do not support silently, and the line would then run at a speed nobody asked for.
bool SetRate(HANDLE port, DCB* settings, std::uint32_t baudRate) noexcept {
    settings->BaudRate = baudRate;
    if (!::SetCommState(port, settings)) {
        return false;
    }
    DCB check{};
    check.DCBlength = sizeof check;
    if (!::GetCommState(port, &check)) {
        return false;
    }
    return check.BaudRate == baudRate || FailWith(ERROR_INVALID_PARAMETER);
}

// The open's last step: a port that cannot be configured is closed again, its cause kept.
SerialHandle ConfiguredOrClosed(HANDLE port, const PortSettings& settings) noexcept {
    if (port == INVALID_HANDLE_VALUE) {
        return kInvalidSerialHandle;
    }
    const SerialHandle handle = reinterpret_cast<SerialHandle>(port);
    if (!SerialConfigure(handle, settings)) {
        CloseKeepingError(port);
        return kInvalidSerialHandle;
    }
    return handle;
}

}  // namespace

SerialHandle SerialOpenA(const char* name, const PortSettings& settings) {
    if (name == nullptr) {
        FailWith(ERROR_INVALID_PARAMETER);
        return kInvalidSerialHandle;
    }
    const HANDLE port = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    return ConfiguredOrClosed(port, settings);
}

SerialHandle SerialOpenW(const char16_t* name, const PortSettings& settings) {
    static_assert(sizeof(char16_t) == sizeof(wchar_t), "Win32 names are UTF-16");
    if (name == nullptr) {
        FailWith(ERROR_INVALID_PARAMETER);
        return kInvalidSerialHandle;
    }
    // Passed on as it is: Win32 names are sequences of 16-bit units, well-formed or not.
    const HANDLE port = ::CreateFileW(reinterpret_cast<const wchar_t*>(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return ConfiguredOrClosed(port, settings);
}

bool SerialConfigure(SerialHandle port, const PortSettings& line) {
    HANDLE handle = nullptr;
    if (!PortHandle(port, &handle)) {
        return false;
    }
    CommStateFields fields;
    if (const std::uint32_t status = BuildCommState(line, &fields); status != RYX_SUCCESS) {
        return FailWith(status);  // the port is untouched
    }
    // From an all-zero record, never from the port's current settings.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    settings.ByteSize = fields.byteSize;
    settings.Parity = fields.parity;
    settings.StopBits = fields.stopBits;
    settings.fBinary = fields.fBinary;
    settings.fParity = fields.fParity;
    settings.fOutxCtsFlow = fields.fOutxCtsFlow;
    settings.fOutxDsrFlow = fields.fOutxDsrFlow;
    settings.fDtrControl = fields.fDtrControl & 0x3u;  // two-bit fields: DTR_CONTROL_* and RTS_CONTROL_* are 0 to 3
    settings.fRtsControl = fields.fRtsControl & 0x3u;
    settings.fOutX = fields.fOutX;
    settings.fInX = fields.fInX;
    settings.XonChar = fields.xonChar;
    settings.XoffChar = fields.xoffChar;
    if (!SetRate(handle, &settings, fields.baudRate)) {
        return false;
    }
    // A read returns at once with what is queued; a write has no time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(handle, &timeouts)) {
        return false;
    }
    return ::SetupComm(handle, kQueueBytes, kQueueBytes) != 0;
}

void SerialClose(SerialHandle port) {
    HANDLE handle = nullptr;
    if (!PortHandle(port, &handle)) {
        return;
    }
    ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    ::CloseHandle(handle);
}

bool SerialPurge(SerialHandle port) {
    HANDLE handle = nullptr;
    return PortHandle(port, &handle) && ::PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool SerialDrain(SerialHandle port, std::uint32_t quietMs, std::uint32_t limitMs, std::uint32_t* discarded,
                 bool* wentQuiet) {
    if (discarded == nullptr || wentQuiet == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    *discarded = 0;
    *wentQuiet = false;
    HANDLE handle = nullptr;
    if (!PortHandle(port, &handle)) {
        return false;
    }
    constexpr DWORD kLookEveryMs = 5;  // the input queue is looked at this often; arrival needs no finer grain
    const DWORD start = ::GetTickCount();
    DWORD lastArrival = start;
    for (;;) {
        if (const DWORD queued = QueuedBytes(handle); queued != 0) {
            if (!::PurgeComm(handle, PURGE_RXCLEAR)) {
                return false;
            }
            *discarded += queued;
            lastArrival = ::GetTickCount();
        }
        const DWORD now = ::GetTickCount();
        const DWORD quiet = now - lastArrival;
        const DWORD spent = now - start;
        if (quiet >= quietMs || spent >= limitMs) {
            *wentQuiet = quiet >= quietMs;
            return true;
        }
        ::Sleep(std::min<DWORD>({kLookEveryMs, quietMs - quiet, limitMs - spent}));
    }
}

bool SerialRead(SerialHandle port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                std::uint32_t timeoutMs) {
    if (bytesRead == nullptr || (buffer == nullptr && n != 0)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    *bytesRead = 0;
    HANDLE handle = nullptr;
    if (!PortHandle(port, &handle)) {
        return false;
    }
    const DWORD start = ::GetTickCount();
    if (!::SetCommMask(handle, EV_RXCHAR)) {
        return false;
    }
    for (;;) {
        switch (ReadPass(handle, buffer, n, bytesRead)) {
            case PassResult::kRead:
                return true;
            case PassResult::kFailed:
                return false;
            case PassResult::kNothing:
                break;
        }
        if (::GetTickCount() - start >= timeoutMs) {  // unsigned: the tick counter's wrap does no harm
            return FailWith(ERROR_TIMEOUT);
        }
        if (!::SetCommMask(handle, EV_RXCHAR)) {
            return false;
        }
    }
}

bool SerialReadAfterWrite(SerialHandle port, std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesRead,
                          std::uint32_t timeoutMs) {
    return SerialRead(port, buffer, n, bytesRead, timeoutMs);
}

bool SerialWrite(SerialHandle port, const std::uint8_t* buffer, std::uint32_t n, std::uint32_t* bytesWritten) {
    if (bytesWritten == nullptr || (buffer == nullptr && n != 0)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    *bytesWritten = 0;
    HANDLE handle = nullptr;
    if (!PortHandle(port, &handle)) {
        return false;
    }
    const OperationEvent event;
    if (!event.valid()) {
        return false;
    }
    DWORD wrote = 0;
    const bool done = RunOperation(handle, event.get(), INFINITE, &wrote, [&](OVERLAPPED* overlapped) {
        return ::WriteFile(handle, buffer, n, nullptr, overlapped) != 0;
    });
    *bytesWritten = wrote;
    if (!done) {
        return false;
    }
    return wrote == n || FailWith(ERROR_WRITE_FAULT);  // a short write is no success
}

bool SerialGetBaudRate(SerialHandle port, std::uint32_t* baudRate) {
    if (baudRate == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    *baudRate = 0;
    HANDLE handle = nullptr;
    DCB settings{};
    if (!PortState(port, &handle, &settings)) {
        return false;
    }
    *baudRate = settings.BaudRate;
    return true;
}

bool SerialSetBaudRate(SerialHandle port, std::uint32_t baudRate) {
    HANDLE handle = nullptr;
    DCB settings{};
    if (!PortState(port, &handle, &settings)) {
        return false;
    }
    if (settings.BaudRate == baudRate) {
        return true;  // nothing is written: the line is not disturbed
    }
    if (baudRate == 0) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const DWORD previous = settings.BaudRate;
    if (SetRate(handle, &settings, baudRate)) {
        return true;
    }
    // Put the previous rate back, keeping the cause of the failure.
    const DWORD cause = ::GetLastError();
    settings.BaudRate = previous;
    ::SetCommState(handle, &settings);
    return FailWith(cause);
}

}  // namespace ryx
