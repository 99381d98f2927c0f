#include "api/identify_reader.h"

#include <cstring>
#include <string>
#include <new>

#include <ryx.h>

#include "api/baud_rate_table.h"
#include "link/messages.h"

namespace ryx {
namespace {

constexpr std::uint32_t kBothProtocols = RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1;

// What a slot row differs in from the one it is built on; 0 keeps the common value.
struct SlotChanges {
    std::uint32_t defaultClock = 0;
    std::uint32_t maxClock = 0;
    std::uint32_t defaultDataRate = 0;
    std::uint32_t maxDataRate = 0;
    std::uint32_t maxIfsd = 0;
};

constexpr SlotDescriptor Changed(SlotDescriptor row, SlotChanges changes) {
    if (changes.defaultClock != 0) row.defaultClock = changes.defaultClock;
    if (changes.maxClock != 0) row.maxClock = changes.maxClock;
    if (changes.defaultDataRate != 0) row.defaultDataRate = changes.defaultDataRate;
    if (changes.maxDataRate != 0) row.maxDataRate = changes.maxDataRate;
    if (changes.maxIfsd != 0) row.maxIfsd = changes.maxIfsd;
    return row;
}

// cardMode stays 0 here: it is set when a card's ATR is parsed.
// The 4 MHz models' slots.
constexpr SlotDescriptor kCommonRowA = {.protocols = kBothProtocols,
                                        .defaultClock = 4000,
                                        .maxClock = 4000,
                                        .defaultDataRate = 10752,
                                        .maxDataRate = 344100,
                                        .maxIfsd = 254};
// The 5 MHz model's slots.
constexpr SlotDescriptor kCommonRowB = {.protocols = kBothProtocols,
                                        .defaultClock = 5000,
                                        .maxClock = 5000,
                                        .defaultDataRate = 13441,
                                        .maxDataRate = 625000,
                                        .maxIfsd = 506};

constexpr SlotDescriptor kDescriptorSetA[3] = {
    Changed(kCommonRowA, {.maxIfsd = 512}),
    kCommonRowA,
    Changed(kCommonRowA, {.maxDataRate = 125000}),
};

constexpr SlotDescriptor kDescriptorSetB[3] = {
    Changed(kCommonRowB, {.maxClock = 13560, .defaultDataRate = 105938, .maxDataRate = 847500}),
    kCommonRowB,
    kCommonRowB,
};

constexpr std::size_t kVersionTextOffset = 5;

// A model is known by its whole name, which the reply must carry after its first kVersionTextOffset bytes.
constexpr ReaderModel Model(const char* text, std::uint32_t slotCount, std::uint32_t maxBlockSize,
                            const SlotDescriptor* descriptors) {
    const auto length = static_cast<std::uint32_t>(std::char_traits<char>::length(text));
    return {.text = text,
            .bytesCompared = length,
            .minimumReplyLength = static_cast<std::uint32_t>(kVersionTextOffset) + length,
            .slotCount = slotCount,
            .maxBlockSize = maxBlockSize,
            .descriptors = descriptors};
}

// Order matters: "KT4470RS_V3" must be tried before its prefix "KT4470RS".
constexpr ReaderModel kReaderModelTable[] = {
    Model("KT4470RS_V3", 3, 261, kDescriptorSetA),
    Model("KT4470RS", 2, 261, kDescriptorSetA),
    Model("KT6630RS", 3, 506, kDescriptorSetB),
};
static_assert(kReaderModelTable[0].minimumReplyLength == 16 && kReaderModelTable[1].minimumReplyLength == 13);

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
