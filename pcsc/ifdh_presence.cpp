// pcscd's card-presence poll, several times a second for every slot.
#include <ryx.h>

#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    return Guarded("IFDHICCPresence", [&]() -> RESPONSECODE {
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHICCPresence", ref)) return IFD_COMMUNICATION_ERROR;
        std::lock_guard lock(ref.state->mutex);
        std::uint32_t icc = RYX_ICC_UNKNOWN;
        const std::uint32_t status = RYX_GetIccStatus(ref.reader->Handle(), ref.slot, &icc);
        if (status == RYX_SUCCESS) {
            switch (icc) {
                case RYX_ICC_ABSENT:
                    ref.state->ClearCard();
                    return IFD_ICC_NOT_PRESENT;
                case RYX_ICC_PRESENT:
                case RYX_ICC_POWERED:
                    return IFD_ICC_PRESENT;
                default:
                    return IFD_COMMUNICATION_ERROR;  // the reader reported a state it has no name for
            }
        }
        const RESPONSECODE code = MapStatus(status, Operation::kPresence);
        if (code == IFD_ICC_NOT_PRESENT) ref.state->ClearCard();
        return code;
    });
}
