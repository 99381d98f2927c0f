// One command APDU to a slot's card and its response APDU, short or extended: the library chains the blocks.
#include <algorithm>
#include <limits>

#include <ryx.h>

#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

// *RxLength is 0 after every failure.
RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    return Guarded("IFDHTransmitToICC", [&]() -> RESPONSECODE {
        if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
        const DWORD rxSize = *RxLength;
        *RxLength = 0;
        if (TxBuffer == nullptr || TxLength == 0 || TxLength > std::numeric_limits<std::uint32_t>::max() ||
            RxBuffer == nullptr || rxSize == 0) {
            return IFD_COMMUNICATION_ERROR;
        }
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHTransmitToICC", ref)) return IFD_COMMUNICATION_ERROR;
        std::lock_guard lock(ref.state->mutex);
        std::uint32_t received =
            static_cast<std::uint32_t>(std::min<DWORD>(rxSize, std::numeric_limits<std::uint32_t>::max()));
        const std::uint32_t status = RYX_ExchangeApdu(ref.reader->Handle(), ref.slot, TxBuffer,
                                                      static_cast<std::uint32_t>(TxLength), RxBuffer, &received);
        if (status == RYX_W_REMOVED_CARD) ref.reader->NotePresence(ref.slot, Presence::kAbsent);
        if (status != RYX_SUCCESS) return MapStatus(status, Operation::kGeneral);
        // The card answered: the presence monitor need not ask about it for a while.
        ref.reader->NotePresence(ref.slot, Presence::kPresent, true);
        *RxLength = received;
        if (RecvPci != nullptr) {
            RecvPci->Protocol = ref.state->protocol != 0 ? ref.state->protocol : SendPci.Protocol;
            RecvPci->Length = sizeof(SCARD_IO_HEADER);
        }
        return IFD_SUCCESS;
    });
}
