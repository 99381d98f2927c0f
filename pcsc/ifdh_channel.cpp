// Opening and closing a reader's channels. pcscd opens one channel per slot, each with its own Lun and the same
// DEVICENAME; the first one opens the reader, the others share it, and closing the last one closes the reader.
#include <string>

#include <ryx.h>

#include "pcsc/device_name.h"
#include "pcsc/driver_call.h"
#include "pcsc/status_map.h"

using namespace ryx::pcsc;

namespace {

// The firmware version text, read with the same escape command the library identifies the reader with; empty when
// the reader does not give it (the attributes that show it are then empty too).
std::string ReadFirmware(RYX_HANDLE handle) {
    const std::uint8_t command[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
    std::uint8_t reply[64];
    std::uint32_t length = 0;
    constexpr std::uint32_t kHeader = 5;  // reply bytes before the text
    if (RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, command, sizeof command, reply, sizeof reply, &length) !=
            RYX_SUCCESS ||
        length <= kHeader) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(reply + kHeader), length - kHeader);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

RESPONSECODE OpenReader(DWORD lun, const char* deviceName) {
    std::string why;
    const auto name = ChooseDeviceName(deviceName, &why);
    if (!name) {
        LogError("reader.conf DEVICENAME '%s': %s", deviceName, why.c_str());
        return IFD_COMMUNICATION_ERROR;
    }
    const std::uint32_t index = ReaderIndex(lun);
    const std::uint32_t slot = SlotIndex(lun);
    std::lock_guard lock(ChannelMutex());

    if (const auto open = FindReader(lun)) {
        if (open->DeviceName() != deviceName) {
            LogError("Lun 0x%lX: reader %u is already open on '%s', not '%s'", static_cast<unsigned long>(lun), index,
                     open->DeviceName().c_str(), deviceName);
            return IFD_COMMUNICATION_ERROR;
        }
        if (slot >= open->SlotCount()) {
            LogError("Lun 0x%lX: the reader on '%s' has %u slots", static_cast<unsigned long>(lun), deviceName,
                     open->SlotCount());
            return IFD_COMMUNICATION_ERROR;
        }
        open->OpenChannel(slot);
        return IFD_SUCCESS;
    }

    RYX_HANDLE handle = nullptr;
    const std::uint32_t status = RYX_OpenA(name->path.c_str(), &handle);
    if (status != RYX_SUCCESS) {
        LogError("cannot open the reader on '%s': ryx status 0x%08X", name->path.c_str(), status);
        return MapStatus(status, Operation::kGeneral);
    }
    std::uint32_t slotCount = 0;
    if (RYX_GetNumSlots(handle, &slotCount) != RYX_SUCCESS || slotCount == 0 || slot >= slotCount) {
        LogError("Lun 0x%lX: the reader on '%s' has %u slots", static_cast<unsigned long>(lun), deviceName, slotCount);
        (void)RYX_Close(handle);
        return IFD_COMMUNICATION_ERROR;
    }
    std::shared_ptr<Reader> reader;
    try {
        reader =
            std::make_shared<Reader>(handle, deviceName, name->path, name->options, slotCount, ReadFirmware(handle));
    } catch (...) {
        (void)RYX_Close(handle);
        throw;
    }
    reader->OpenChannel(slot);
    InsertReader(index, std::move(reader));
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
