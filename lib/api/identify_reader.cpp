#include "api/identify_reader.h"

#include <cstring>
#include <new>

#include <ryx.h>

#include "api/baud_rate_table.h"
#include "link/messages.h"

namespace ryx {
namespace {

constexpr SlotDescriptor kDescriptorSetA[3] = {
    {3, 0, 4000, 4000, 10752, 344100, 512},
    {3, 0, 4000, 4000, 10752, 344100, 254},
    {3, 0, 4000, 4000, 10752, 125000, 254},
};

constexpr SlotDescriptor kDescriptorSetB[3] = {
    {3, 0, 5000, 13560, 105938, 847500, 506},
    {3, 0, 5000, 5000, 13441, 625000, 506},
    {3, 0, 5000, 5000, 13441, 625000, 506},
};

// Order matters: "KT4470RS_V3" must be tried before its prefix "KT4470RS".
constexpr ReaderModel kReaderModelTable[] = {
    {"KT4470RS_V3", 11, 16, 3, 261, kDescriptorSetA},
    {"KT4470RS", 8, 13, 2, 261, kDescriptorSetA},
    {"KT6630RS", 8, 13, 3, 506, kDescriptorSetB},
};

constexpr std::size_t kVersionTextOffset = 5;

// Link settings while the reader is being looked for, and after it was found.
constexpr std::uint32_t kDetectionTimeout = 100;
constexpr std::uint32_t kStatusTimeout = 2000;
constexpr std::uint32_t kResponseTimeout = 10000;

}  // namespace

const ReaderModel* FindReaderModel(std::span<const std::uint8_t> reply) noexcept {
    for (const auto& model : kReaderModelTable) {
        if (reply.size() >= model.minimumReplyLength &&
            std::memcmp(reply.data() + kVersionTextOffset, model.text, model.bytesCompared) == 0) {
            return &model;
        }
    }
    return nullptr;
}

std::uint32_t IdentifyReader(ReaderContext& reader, SerialHandle port) {
    reader.link = Link{};
    reader.link.port = port;
    reader.link.statusTimeout = kDetectionTimeout;
    reader.link.responseTimeout = kDetectionTimeout;
    reader.link.statusRetries = 1;
    reader.link.responseRetries = 1;
    reader.slotCount = 1;
    reader.slots.reset();

    const ReaderModel* model = nullptr;
    std::uint32_t result = RYX_ERROR_GEN_FAILURE;
    {
        std::lock_guard guard(reader.lock);
        PrepareLink(reader.link, 0);
        for (std::size_t i = 0; i < kBaudRateTable.size(); ++i) {
            // The outcome is ignored: a rate the port refuses shows as a failed exchange below.
            if (i != 0) (void)SerialSetBaudRate(port, kBaudRateTable[i]);
            std::uint8_t reply[kFirmwareReplySize];
            std::uint32_t replyLength = sizeof reply;
            result = SendEscape(reader.link, kFirmwareVersionCommand, reply, &replyLength);
            if (result != RYX_SUCCESS) continue;
            model = FindReaderModel({reply, replyLength});
            if (model != nullptr) break;
            result = RYX_ERROR_GEN_FAILURE;
        }
    }
    if (model == nullptr) return result;

    reader.slots.reset(new (std::nothrow) SlotRecord[model->slotCount]());
    if (!reader.slots) return RYX_ERROR_NOT_ENOUGH_MEMORY;
    reader.slotCount = model->slotCount;
    reader.link.maxBlockSize = model->maxBlockSize;
    reader.link.statusTimeout = kStatusTimeout;
    reader.link.responseTimeout = kResponseTimeout;
    for (std::uint32_t i = 0; i < model->slotCount; ++i) reader.slots[i].descriptor = model->descriptors[i];
    return RYX_SUCCESS;
}

}  // namespace ryx
