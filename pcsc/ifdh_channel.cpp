// Opening and closing a reader's channels. pcscd opens one channel per slot, each with its own Lun and the same
// DEVICENAME; the first one opens the reader, the others share it, and closing the last one closes the reader.
#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include <ryx.h>

#include "pcsc/device_name.h"
#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

namespace {

// How long taking a channel waits for the reader to answer. A reader that answers at the first rate of the open's
// scan is known by then, with its own slot count; any other is looked for in the background, so that pcscd's start
// is not held up by the scan of every rate (about ten seconds on a silent line, which the line probe before each
// open spares a reader that is off).
constexpr auto kQuickOpen = std::chrono::milliseconds(1500);

// Another channel of a reader that is already open: it must name the same device and a slot the reader has.
RESPONSECODE ShareReader(Reader& open, DWORD lun, const char* deviceName, std::uint32_t slot) {
    if (open.DeviceName() != deviceName) {
        LogError("Lun 0x%lX: reader %u is already open on '%s', not '%s'", static_cast<unsigned long>(lun),
                 ReaderIndex(lun), open.DeviceName().c_str(), deviceName);
        return IFD_COMMUNICATION_ERROR;
    }
    if (slot >= open.SlotCount()) {
        LogError("Lun 0x%lX: the reader on '%s' has %u slots", static_cast<unsigned long>(lun), deviceName,
                 open.SlotCount());
        return IFD_COMMUNICATION_ERROR;
    }
    open.OpenChannel(slot);
    return IFD_SUCCESS;
}

// Takes what the open found within kQuickOpen. IFD_SUCCESS with *reader set to the reader found, or left empty when
// the open failed in a way the monitor retries (it opens again at once, and logs the cause); else the error.
RESPONSECODE AdoptQuickOpen(OpenResult found, DWORD lun, const char* deviceName, const DeviceName& name,
                            std::uint32_t slot, std::shared_ptr<Reader>* reader) {
    if (found.status == RYX_ERROR_FILE_NOT_FOUND) {
        LogError("RYX_Open failed on '%s': %s", name.path.c_str(), DescribeStatus(found.status).c_str());
        return MapStatus(found.status, Operation::kGeneral);
    }
    if (found.status != RYX_SUCCESS) {
        return IFD_SUCCESS;
    }
    if (slot >= found.slotCount) {
        LogError("Lun 0x%lX: the reader on '%s' has %u slots", static_cast<unsigned long>(lun), deviceName,
                 found.slotCount);
        (void)RYX_Close(found.handle);
        return IFD_COMMUNICATION_ERROR;
    }
    try {
        *reader = std::make_shared<Reader>(found.handle, deviceName, name.path, name.options, found.slotCount,
                                           std::move(found.firmware));
    } catch (...) {
        (void)RYX_Close(found.handle);
        throw;
    }
    return IFD_SUCCESS;
}

RESPONSECODE OpenReader(DWORD lun, const char* deviceName) {
    std::string why;
    const auto name = ChooseDeviceName(deviceName, &why);
    if (!name) {
        LogError("reader.conf DEVICENAME '%s': %s", deviceName, why.c_str());
        return IFD_COMMUNICATION_ERROR;
    }
    const std::uint32_t slot = SlotIndex(lun);
    std::lock_guard lock(ChannelMutex());
    if (const auto open = FindReader(lun)) {
        return ShareReader(*open, lun, deviceName, slot);
    }
    if (slot >= kMostSlots) {
        LogError("Lun 0x%lX: a reader on '%s' has at most %u slots", static_cast<unsigned long>(lun), deviceName,
                 kMostSlots);
        return IFD_COMMUNICATION_ERROR;
    }
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto pending = std::async(std::launch::async, [path = name->path, stop] { return LookForReaderOn(path, *stop); });
    std::shared_ptr<Reader> reader;
    if (pending.wait_for(kQuickOpen) == std::future_status::ready) {
        if (const RESPONSECODE rc = AdoptQuickOpen(pending.get(), lun, deviceName, *name, slot, &reader);
            rc != IFD_SUCCESS) {
            return rc;
        }
    }
    if (!reader) {
        LogError("the reader on '%s' does not answer yet: its %u slots count as unavailable until it does",
                 name->path.c_str(), kMostSlots);
        reader = std::make_shared<Reader>(deviceName, name->path, name->options, std::move(pending), std::move(stop));
    }
    reader->OpenChannel(slot);
    InsertReader(ReaderIndex(lun), std::move(reader));
    return IFD_SUCCESS;
}

}  // namespace

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    return Guarded("IFDHCreateChannelByName", [&]() -> RESPONSECODE {
        if (DeviceName == nullptr) return IFD_COMMUNICATION_ERROR;
        return OpenReader(Lun, DeviceName);
    });
}

// A serial reader needs its device path: a reader.conf entry with only a CHANNELID cannot name it.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    LogError("Lun 0x%lX: CHANNELID %lu given without a DEVICENAME; name the serial device in reader.conf",
             static_cast<unsigned long>(Lun), static_cast<unsigned long>(Channel));
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    return Guarded("IFDHCloseChannel", [&]() -> RESPONSECODE {
        std::lock_guard lock(ChannelMutex());
        SlotRef ref;
        if (!FindSlot(Lun, "IFDHCloseChannel", ref)) return IFD_COMMUNICATION_ERROR;
        if (ref.reader->CloseChannel(ref.slot)) {
            // The last channel: the reader leaves the table, and the handle is closed (every slot powered off)
            // as soon as no call uses it any more, normally right here.
            (void)RemoveReader(ReaderIndex(Lun));
            // The line lock first: the Reader's end waits for its monitor, which may be waiting for that lock.
            ref.line.unlock();
            ref.reader.reset();
            return IFD_SUCCESS;
        }
        std::lock_guard slotLock(ref.state->mutex);
        (void)RYX_PowerOffIcc(ref.reader->Handle(), ref.slot);
        ref.state->ClearCard();
        return IFD_SUCCESS;
    });
}
