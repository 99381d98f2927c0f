// Commands to the reader itself: the feature list every PC/SC client asks for, the TLV properties it offers (the
// firmware text and the 64 KiB APDUs the reader carries, which tells clients to use extended APDUs), and the
// reader's escape commands,
// which pass only when the reader.conf entry allows them (":escape"): any local PC/SC client may call SCardControl.
#include <algorithm>
#include <cstring>
#include <limits>

#include <ryx.h>

#include "pcsc/driver_call.h"
#include "pcsc/reader_attributes.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

namespace {

constexpr DWORD kEscapeControlCode = SCARD_CTL_CODE(1);

RESPONSECODE Escape(const SlotRef& ref, PUCHAR tx, DWORD txLength, PUCHAR rx, DWORD rxLength, LPDWORD returned) {
    if (!ref.reader->Options().escape) {
        LogError("escape command refused: the reader.conf DEVICENAME '%s' has no ':escape' option",
                 ref.reader->DeviceName().c_str());
        return IFD_ERROR_NOT_SUPPORTED;
    }
    constexpr DWORD kMax = std::numeric_limits<std::uint32_t>::max();
    if (tx == nullptr || txLength == 0 || txLength > kMax || rx == nullptr || rxLength == 0) {
        return IFD_COMMUNICATION_ERROR;
    }
    std::uint32_t replied = 0;
    const std::uint32_t status =
        RYX_Control(ref.reader->Handle(), ref.slot, RYX_CONTROL_ESCAPE, tx, static_cast<std::uint32_t>(txLength), rx,
                    static_cast<std::uint32_t>(std::min(rxLength, kMax)), &replied);
    if (status != RYX_SUCCESS) return MapStatus(status, Operation::kGeneral);
    *returned = replied;
    return IFD_SUCCESS;
}

RESPONSECODE Reply(const std::vector<std::uint8_t>& bytes, PUCHAR rx, DWORD rxLength, LPDWORD returned) {
    if (rx == nullptr || rxLength < bytes.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(rx, bytes.data(), bytes.size());
    *returned = static_cast<DWORD>(bytes.size());
    return IFD_SUCCESS;
}

}  // namespace

// *pdwBytesReturned is 0 after every failure.
RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    return Guarded("IFDHControl", [&]() -> RESPONSECODE {
        if (pdwBytesReturned == nullptr) return IFD_COMMUNICATION_ERROR;
        *pdwBytesReturned = 0;
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHControl", ref)) return IFD_COMMUNICATION_ERROR;
        switch (dwControlCode) {
            case CM_IOCTL_GET_FEATURE_REQUEST:
                return Reply(FeatureList(), RxBuffer, RxLength, pdwBytesReturned);  // no PIN pad, no display
            case kTlvPropertiesControlCode:
                return Reply(TlvProperties(ref.reader->Facts()), RxBuffer, RxLength, pdwBytesReturned);
            case kEscapeControlCode: {
                std::lock_guard lock(ref.state->mutex);
                return Escape(ref, TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
            }
            default:
                return IFD_ERROR_NOT_SUPPORTED;
        }
    });
}
