// What pcscd asks the driver about itself and about a slot, and what clients read through SCardGetAttrib.
#include <cstring>

#include "pcsc/driver_call.h"
#include "pcsc/reader_attributes.h"

using namespace ryx::pcsc;

namespace {

// pcscd gives one driver instance at most as many readers as this (its own limit is 16 reader contexts).
// More than 1 is what makes pcscd give a second reader.conf entry a Lun of its own instead of the first one's.
constexpr unsigned char kSimultaneousReaders = 16;

RESPONSECODE OneByte(PDWORD length, PUCHAR value, unsigned char byte) {
    if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
    value[0] = byte;
    *length = 1;
    return IFD_SUCCESS;
}

RESPONSECODE Bytes(PDWORD length, PUCHAR value, const void* bytes, std::size_t size) {
    if (*length < size) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (size != 0) std::memcpy(value, bytes, size);
    *length = static_cast<DWORD>(size);
    return IFD_SUCCESS;
}

RESPONSECODE SlotCapability(DWORD lun, DWORD tag, PDWORD length, PUCHAR value) {
    SlotRef ref;
    if (!FindSlot(lun, "IFDHGetCapabilities", ref)) return IFD_COMMUNICATION_ERROR;
    switch (tag) {
        case TAG_IFD_SLOTS_NUMBER:
            return OneByte(length, value, static_cast<unsigned char>(ref.reader->SlotCount()));
        case TAG_IFD_ATR:
        case SCARD_ATTR_ATR_STRING: {
            std::lock_guard lock(ref.state->mutex);
            if (*length < ref.state->atrLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
            if (ref.state->atrLength != 0) std::memcpy(value, ref.state->atr.data(), ref.state->atrLength);
            *length = ref.state->atrLength;
            return IFD_SUCCESS;
        }
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
            const PollingFunction function = PollingThread();
            return Bytes(length, value, &function, sizeof function);
        }
        case TAG_IFD_STOP_POLLING_THREAD: {
            const StopPollingFunction function = StopPollingThread();
            return Bytes(length, value, &function, sizeof function);
        }
        default: {
            std::lock_guard lock(ref.state->mutex);
            SlotFacts facts;
            facts.cardPowered = ref.state->atrLength != 0;
            facts.protocol = ref.state->protocol;
            if (tag == SCARD_ATTR_ICC_PRESENCE) facts.cardPresent = SlotPresence(ref, false) == IFD_ICC_PRESENT;
            const auto bytes = AttributeValue(tag, ref.reader->Facts(), facts);
            if (!bytes) return IFD_ERROR_TAG;
            return Bytes(length, value, bytes->data(), bytes->size());
        }
    }
}

}  // namespace

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    return Guarded("IFDHGetCapabilities", [&]() -> RESPONSECODE {
        if (Length == nullptr || Value == nullptr) return IFD_COMMUNICATION_ERROR;
        switch (Tag) {
            case TAG_IFD_SIMULTANEOUS_ACCESS:
                return OneByte(Length, Value, kSimultaneousReaders);
            case TAG_IFD_THREAD_SAFE:
                return OneByte(Length, Value, 1);  // readers run in parallel, each with its own lock
            case TAG_IFD_POLLING_THREAD_KILLABLE:
                return OneByte(Length, Value, 0);  // it is stopped through TAG_IFD_STOP_POLLING_THREAD
            case TAG_IFD_SLOT_THREAD_SAFE:
                // The library serialises the calls on one reader, so calls on its slots may come from any thread at
                // any time; they simply take turns on the line.
                return OneByte(Length, Value, 1);
            default:
                return SlotCapability(Lun, Tag, Length, Value);
        }
    });
}

// Nothing about a slot can be set from outside.
RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    (void)Lun;
    (void)Length;
    (void)Value;
    switch (Tag) {
        case TAG_IFD_ATR:
        case SCARD_ATTR_ATR_STRING:
        case TAG_IFD_SLOTS_NUMBER:
        case TAG_IFD_SIMULTANEOUS_ACCESS:
        case TAG_IFD_THREAD_SAFE:
        case TAG_IFD_SLOT_THREAD_SAFE:
            return IFD_ERROR_VALUE_READ_ONLY;
        default:
            return IFD_ERROR_TAG;
    }
}
