// A reader's life inside the driver: from the channel that opened it to the last call that used it.
#include "pcsc/reader.h"

#include <algorithm>

namespace ryx::pcsc {

Reader::Reader(RYX_HANDLE handle, std::string deviceName, DriverOptions options, std::uint32_t slotCount)
    : handle_(handle), deviceName_(std::move(deviceName)), options_(options), channelOpen_(slotCount, false) {
    slots_.reserve(slotCount);
    for (std::uint32_t i = 0; i < slotCount; ++i) slots_.push_back(std::make_unique<SlotState>());
}

Reader::~Reader() {
    (void)RYX_Close(handle_);
}

void Reader::OpenChannel(std::uint32_t slot) {
    std::lock_guard lock(channelMutex_);
    channelOpen_[slot] = true;
}

bool Reader::CloseChannel(std::uint32_t slot) {
    std::lock_guard lock(channelMutex_);
    if (slot < channelOpen_.size()) channelOpen_[slot] = false;
    return std::none_of(channelOpen_.begin(), channelOpen_.end(), [](bool open) { return open; });
}

}  // namespace ryx::pcsc
