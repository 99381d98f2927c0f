// Powering a slot's card up, down, and resetting it; the ATR of each power-up is cached for TAG_IFD_ATR.
#include <cstring>

#include <ryx.h>

#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

namespace {

constexpr std::uint32_t kLibraryAtrSize = RYX_MAX_ATR_SIZE;

RESPONSECODE PowerUp(const SlotRef& ref, PUCHAR atr, PDWORD atrLength) {
    SlotState& state = *ref.state;
    state.ClearCard();
    std::uint8_t received[kLibraryAtrSize];
    std::uint32_t length = sizeof received;
    const std::uint32_t status = RYX_PowerOnIcc(ref.reader->Handle(), ref.slot, received, &length);
    if (status != RYX_SUCCESS) return MapStatus(status, Operation::kPower);
    if (length == 0) {
        // The library counts a card without an ATR as not powered; a card pcscd could not talk to.
        LogError("slot %u: the card answered power-up with no ATR", ref.slot);
        return IFD_ERROR_POWER_ACTION;
    }
    if (length > MAX_ATR_SIZE) {
        // pcscd keeps MAX_ATR_SIZE bytes; a cut ATR would describe another card, so the card is refused.
        LogError("slot %u: the card's ATR has %u bytes, pcscd takes at most %d", ref.slot, length, MAX_ATR_SIZE);
        (void)RYX_PowerOffIcc(ref.reader->Handle(), ref.slot);
        return IFD_ERROR_POWER_ACTION;
    }
    std::memcpy(state.atr.data(), received, length);
    state.atrLength = length;
    if (atr != nullptr) std::memcpy(atr, received, length);
    *atrLength = length;
    return IFD_SUCCESS;
}

RESPONSECODE PowerDown(const SlotRef& ref) {
    ref.state->ClearCard();
    const std::uint32_t status = RYX_PowerOffIcc(ref.reader->Handle(), ref.slot);
    // No card in the slot: nothing is powered, which is what was asked.
    if (status == RYX_W_REMOVED_CARD) return IFD_SUCCESS;
    return MapStatus(status, Operation::kPower);
}

}  // namespace

// Atr must have room for MAX_ATR_SIZE bytes (may be null: only the cache and *AtrLength are written); *AtrLength
// is 0 after every failure and after a power-down.
RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    return Guarded("IFDHPowerICC", [&]() -> RESPONSECODE {
        if (AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
        *AtrLength = 0;
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHPowerICC", ref)) return IFD_COMMUNICATION_ERROR;
        std::lock_guard lock(ref.state->mutex);
        switch (Action) {
            case IFD_POWER_UP:
                return PowerUp(ref, Atr, AtrLength);
            case IFD_POWER_DOWN:
                return PowerDown(ref);
            case IFD_RESET:
                // The reader has no warm reset: a cold one, power off and on again.
                (void)RYX_PowerOffIcc(ref.reader->Handle(), ref.slot);
                return PowerUp(ref, Atr, AtrLength);
            default:
                return IFD_NOT_SUPPORTED;
        }
    });
}
