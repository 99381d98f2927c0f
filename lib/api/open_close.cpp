// RYX_OpenA, RYX_OpenW and RYX_Close: a reader's life from the port's open to its close.
#include <memory>
#include <new>

#include <ryx.h>

#include "api/export_call.h"
#include "api/power_off_slot.h"
#include "api/identify_reader.h"
#include "link/messages.h"
#include "serial/last_error.h"
#include "serial/serial_port.h"

using namespace ryx;

namespace {

// 9600 bit/s 8N1, no flow control: where every reader starts.
constexpr PortSettings kOpenLine{
    .baudRate = 9600, .dataBits = 8, .parity = Parity::kNone, .stopBits = StopBits::kOne, .flow = FlowControl::kNone};

// Both open functions: they differ only in how the port is opened.
template <typename OpenPort>
std::uint32_t OpenReader(RYX_HANDLE* handle, OpenPort&& openPort) noexcept {
    try {
        const auto reader = std::make_shared<ReaderContext>();  // std::bad_alloc gives 8 below
        const RYX_HANDLE registered = RegistryInsert(reader);
        if (registered == nullptr) return RYX_ERROR_NOT_ENOUGH_MEMORY;

        const SerialHandle port = openPort();
        if (port == kInvalidSerialHandle) {
            const std::uint32_t code = SerialLastError();
            RegistryRemove(registered);
            return code;
        }
        const std::uint32_t result = IdentifyReader(*reader, port);
        if (result != RYX_SUCCESS) {
            SerialClose(port);
            RegistryRemove(registered);
            return result;
        }
        reader->ready.store(true, std::memory_order_release);  // the registry's reference now keeps it
        *handle = registered;
        return RYX_SUCCESS;
    } catch (const std::bad_alloc&) {
        return RYX_ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return RYX_ERROR_GEN_FAILURE;
    }
}

}  // namespace

extern "C" RYX_API uint32_t RYX_CALL RYX_OpenA(const char* portName, RYX_HANDLE* handle) noexcept {
    if (portName == nullptr || handle == nullptr) return RYX_ERROR_INVALID_PARAMETER;
    return OpenReader(handle, [&] { return SerialOpenA(portName, kOpenLine); });
}

extern "C" RYX_API uint32_t RYX_CALL RYX_OpenW(const RYX_WCHAR* portName, RYX_HANDLE* handle) noexcept {
    if (portName == nullptr || handle == nullptr) return RYX_ERROR_INVALID_PARAMETER;
    return OpenReader(handle, [&] { return SerialOpenW(portName, kOpenLine); });
}

extern "C" RYX_API uint32_t RYX_CALL RYX_Close(RYX_HANDLE handle) noexcept {
    const std::shared_ptr<ReaderContext> reader = RegistryFind(handle);
    if (reader == nullptr || !reader->ready.load(std::memory_order_acquire)) return RYX_ERROR_INVALID_HANDLE;
    // Of two closes at once, one wins; from here on every call that looks the handle up is refused.
    if (reader->closing.exchange(true, std::memory_order_acq_rel)) return RYX_ERROR_INVALID_HANDLE;

    // Under the reader's lock: a call in progress ends first, and a call waiting for the lock finds the reader
    // closed when it gets it. The memory goes with the last reference, which may be such a call's.
    std::lock_guard guard(reader->lock);
    // Power every slot off as RYX_PowerOffIcc would; an unplugged reader only makes this slower.
    for (std::uint32_t slot = 0; slot < reader->slotCount; ++slot) {
        try {
            (void)PowerOffSlot(*reader, slot);
        } catch (...) {  // results are ignored, and nothing may cross the C API
        }
    }
    RegistryRemove(handle);
    SerialClose(reader->link.port);
    reader->link.port = kInvalidSerialHandle;
    return RYX_SUCCESS;
}
