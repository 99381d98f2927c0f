// Selecting T=0 or T=1 for a powered card. The library picks Fi/Di from the card's ATR and the slot's limits and
// power-cycles the card once when the reader refuses the first choice, so the PTS bytes are not used (pcscd always
// passes zeros).
#include <ryx.h>

#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
    (void)Flags;
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    return Guarded("IFDHSetProtocolParameters", [&]() -> RESPONSECODE {
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHSetProtocolParameters", ref)) return IFD_COMMUNICATION_ERROR;
        const std::uint32_t wanted = static_cast<std::uint32_t>(Protocol & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
        if (wanted == 0) return IFD_PROTOCOL_NOT_SUPPORTED;  // T=15, raw, ...: not the reader's
        std::lock_guard lock(ref.state->mutex);
        std::uint32_t active = 0;
        // SCARD_PROTOCOL_T0/T1 and RYX_PROTOCOL_T0/T1 are the same bits.
        const std::uint32_t status = RYX_SetProtocol(ref.reader->Handle(), ref.slot, wanted, &active);
        ref.state->protocol = status == RYX_SUCCESS ? active : 0;
        // The retry's power-on failed, or the card is gone: the library no longer counts it as powered.
        if (status == RYX_W_UNRESPONSIVE_CARD || status == RYX_W_REMOVED_CARD) ref.state->ClearCard();
        return MapStatus(status, Operation::kProtocol);
    });
}
