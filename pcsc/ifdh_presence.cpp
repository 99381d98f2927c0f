// pcscd's card-presence poll. Without the driver's polling thread pcscd asks several times a second for every
// slot, and each question went to the reader; with it (IFDHPolling, see Reader::Poll) pcscd waits until the
// presence monitor sees a change, and IFDHICCPresence answers from what the monitor saw.
#include <ryx.h>

#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

namespace {

RESPONSECODE AskReader(SlotRef& ref) {
    std::uint32_t icc = RYX_ICC_UNKNOWN;
    const std::uint32_t status = RYX_GetIccStatus(ref.reader->Handle(), ref.slot, &icc);
    RESPONSECODE code = IFD_COMMUNICATION_ERROR;  // also for a state the reader has no name for
    if (status == RYX_SUCCESS) {
        if (icc == RYX_ICC_ABSENT) code = IFD_ICC_NOT_PRESENT;
        if (icc == RYX_ICC_PRESENT || icc == RYX_ICC_POWERED) code = IFD_ICC_PRESENT;
    } else {
        code = MapStatus(status, Operation::kPresence);
    }
    if (code == IFD_ICC_NOT_PRESENT) ref.reader->NotePresence(ref.slot, Presence::kAbsent);
    if (code == IFD_ICC_PRESENT) ref.reader->NotePresence(ref.slot, Presence::kPresent);
    return code;
}

// pcscd's polling thread of a slot (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT): returns when the slot's presence
// changed, when polling is stopped, or after timeout ms.
RESPONSECODE PollSlot(DWORD Lun, int timeout) noexcept {
    return Guarded("IFDHPolling", [&]() -> RESPONSECODE {
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHPolling", ref)) return IFD_COMMUNICATION_ERROR;
        ref.line.unlock();  // the wait must not keep the monitor from replacing the handle
        ref.reader->Poll(ref.slot, timeout);
        return IFD_SUCCESS;
    });
}

// TAG_IFD_STOP_POLLING_THREAD: pcscd ends a slot's polling thread before it closes the slot's channel.
RESPONSECODE StopPollingSlot(DWORD Lun) noexcept {
    return Guarded("IFDHStopPolling", [&]() -> RESPONSECODE {
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHStopPolling", ref)) return IFD_COMMUNICATION_ERROR;
        ref.reader->StopPolling(ref.slot);
        return IFD_SUCCESS;
    });
}

}  // namespace

namespace ryx::pcsc {

RESPONSECODE SlotPresence(SlotRef& ref, bool report) {
    RESPONSECODE code = IFD_COMMUNICATION_ERROR;
    switch (ref.reader->SeenPresence(ref.slot)) {
        case Presence::kAbsent:
            code = IFD_ICC_NOT_PRESENT;
            break;
        case Presence::kPresent:
            code = IFD_ICC_PRESENT;
            break;
        case Presence::kReaderGone:
            // Not IFD_NO_SUCH_DEVICE: pcscd would then drop the reader, and clients would have to find it again.
            code = ref.reader->TakeFirstCheck(ref.slot) ? IFD_ICC_NOT_PRESENT : IFD_COMMUNICATION_ERROR;
            break;
        case Presence::kUnknown:
            code = AskReader(ref);
            break;
    }
    if (code == IFD_ICC_NOT_PRESENT) ref.state->ClearCard();
    if (report) ref.reader->NoteReported(ref.slot);
    return code;
}

PollingFunction PollingThread() noexcept {
    return &PollSlot;
}

StopPollingFunction StopPollingThread() noexcept {
    return &StopPollingSlot;
}

}  // namespace ryx::pcsc

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    return Guarded("IFDHICCPresence", [&]() -> RESPONSECODE {
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHICCPresence", ref)) return IFD_COMMUNICATION_ERROR;
        std::lock_guard lock(ref.state->mutex);
        return SlotPresence(ref, true);
    });
}
