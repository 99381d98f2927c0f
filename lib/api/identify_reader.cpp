#include "api/identify_reader.h"

#include <cstring>
#include <new>

#include <ryx.h>

#include "api/baud_rate_table.h"
#include "link/messages.h"

namespace ryx {
namespace {

constexpr std::uint32_t kBothProtocols = RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1;

// cardMode stays 0 here: it is set when a card's ATR is parsed.
constexpr SlotDescriptor kDescriptorSetA[3] = {
    {.protocols = kBothProtocols,
     .defaultClock = 4000,
     .maxClock = 4000,
     .defaultDataRate = 10752,
     .maxDataRate = 344100,
     .maxIfsd = 512},
    {.protocols = kBothProtocols,
     .defaultClock = 4000,
     .maxClock = 4000,
     .defaultDataRate = 10752,
     .maxDataRate = 344100,
     .maxIfsd = 254},
    {.protocols = kBothProtocols,
     .defaultClock = 4000,
     .maxClock = 4000,
     .defaultDataRate = 10752,
     .maxDataRate = 125000,
     .maxIfsd = 254},
};

constexpr SlotDescriptor kDescriptorSetB[3] = {
    {.protocols = kBothProtocols,
     .defaultClock = 5000,
     .maxClock = 13560,
     .defaultDataRate = 105938,
     .maxDataRate = 847500,
     .maxIfsd = 506},
    {.protocols = kBothProtocols,
     .defaultClock = 5000,
     .maxClock = 5000,
     .defaultDataRate = 13441,
     .maxDataRate = 625000,
     .maxIfsd = 506},
    {.protocols = kBothProtocols,
     .defaultClock = 5000,
     .maxClock = 5000,
     .defaultDataRate = 13441,
     .maxDataRate = 625000,
     .maxIfsd = 506},
};

// Order matters: "KT4470RS_V3" must be tried before its prefix "KT4470RS".
constexpr ReaderModel kReaderModelTable[] = {
    {.text = "KT4470RS_V3",
     .bytesCompared = 11,
     .minimumReplyLength = 16,
     .slotCount = 3,
     .maxBlockSize = 261,
     .descriptors = kDescriptorSetA},
    {.text = "KT4470RS",
     .bytesCompared = 8,
     .minimumReplyLength = 13,
     .slotCount = 2,
     .maxBlockSize = 261,
     .descriptors = kDescriptorSetA},
    {.text = "KT6630RS",
     .bytesCompared = 8,
     .minimumReplyLength = 13,
     .slotCount = 3,
     .maxBlockSize = 506,
     .descriptors = kDescriptorSetB},
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
