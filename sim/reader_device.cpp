#include "sim/reader_device.h"

#include <algorithm>

#include "sim/frame.h"

namespace ryx::sim {
namespace {

// The longest command APDU there is: extended case 4 with 65535 data bytes. A chain that grows past it is refused.
constexpr std::size_t kMaxApdu = 4 + 3 + 65535 + 2;
// The receive buffer holds at least this many data bytes, so a too-long XfrBlock block is still read whole and
// answered with a failed command, while a frame beyond it is refused at once.
constexpr std::size_t kMinReceiveLimit = 1024;

constexpr std::uint8_t kFailed = 0x40;  // bmCommandStatus 1

// wLevelParameter values of XfrBlock commands and bChainParameter values of DataBlock replies.
constexpr std::uint16_t kLevelWhole = 0x0000;
constexpr std::uint16_t kLevelBegins = 0x0001;
constexpr std::uint16_t kLevelEnds = 0x0002;
constexpr std::uint16_t kLevelContinues = 0x0003;
constexpr std::uint16_t kLevelMoreResponse = 0x0010;
constexpr std::uint8_t kChainWhole = 0x00;
constexpr std::uint8_t kChainBegins = 0x01;
constexpr std::uint8_t kChainEnds = 0x02;
constexpr std::uint8_t kChainContinues = 0x03;
constexpr std::uint8_t kChainMoreCommand = 0x10;

}  // namespace

std::uint8_t ReplyTypeFor(std::uint8_t commandType) noexcept {
    switch (commandType) {
        case kIccPowerOn:
        case kXfrBlock:
            return kDataBlock;
        case kSetParameters:
            return kParameters;
        case kEscape:
            return kEscapeReply;
        default:
            return kSlotStatus;
    }
}

ReaderDevice::ReaderDevice(const Config& config)
    : model_(config.model), firmware_(config.firmware), blockSize_(config.blockSize), rate_(config.rate) {
    for (std::size_t i = 0; i < kMaxSlots; ++i) slots_[i].card = config.cards[i];
}

void ReaderDevice::SetModel(Model model) {
    model_ = model;
    for (auto& s : slots_) s.ResetChain();
}

std::string ReaderDevice::Firmware() const {
    return firmware_ ? *firmware_ : DefaultFirmware(model_);
}

std::uint32_t ReaderDevice::BlockSize() const noexcept {
    // A block size of 0 would never move a response forward.
    return blockSize_ ? std::max<std::uint32_t>(*blockSize_, 1) : ModelBlockSize(model_);
}

std::size_t ReaderDevice::ReceiveLimit() const noexcept {
    return std::max<std::size_t>(kMinReceiveLimit, BlockSize());
}

void ReaderDevice::InsertCard(std::size_t slot, std::span<const std::uint8_t> atr) {
    InsertCard(slot, SlotCard{true, {atr.begin(), atr.end()}, false, nullptr});
}

void ReaderDevice::InsertCard(std::size_t slot, SlotCard card) {
    if (slot >= kMaxSlots) return;
    Slot& s = slots_[slot];
    s.card = std::move(card);
    s.card.present = true;
    s.powered = false;
    s.builtIn = BuiltInCard();
    s.ResetChain();
}

bool ReaderDevice::SetAtr(std::size_t slot, std::span<const std::uint8_t> atr) {
    if (slot >= kMaxSlots || !slots_[slot].card.present) return false;
    slots_[slot].card.atr.assign(atr.begin(), atr.end());
    return true;
}

SlotCard ReaderDevice::Card(std::size_t slot) const {
    return slot < kMaxSlots ? slots_[slot].card : SlotCard{};
}

void ReaderDevice::PowerOnReset(std::uint32_t rate) {
    rate_ = rate;
    for (Slot& s : slots_) {
        s.powered = false;
        s.ResetChain();
    }
}

void ReaderDevice::RemoveCard(std::size_t slot) {
    if (slot >= kMaxSlots) return;
    Slot& s = slots_[slot];
    s.card = SlotCard{};
    s.powered = false;
    s.ResetChain();
}

void ReaderDevice::SetMute(std::size_t slot, bool mute) {
    if (slot >= kMaxSlots) return;
    Slot& s = slots_[slot];
    s.card.mute = mute;
    if (mute) {
        s.powered = false;
        s.ResetChain();
    }
}

bool ReaderDevice::Powered(std::size_t slot) const {
    return slot < kMaxSlots && slots_[slot].powered;
}

std::uint8_t ReaderDevice::IccStatus(std::size_t slot) const {
    if (slot >= SlotCount() || !slots_[slot].card.present) return 2;
    return slots_[slot].powered ? 0 : 1;
}

std::vector<std::uint8_t> ReaderDevice::Reply(const MessageHeader& command, std::uint8_t type, std::uint8_t bStatus,
                                              std::uint8_t bError, std::uint8_t b9,
                                              std::span<const std::uint8_t> data) const {
    MessageHeader h;
    h.type = type;
    h.slot = command.slot;
    h.seq = command.seq;
    h.b7 = bStatus;
    h.b8 = bError;
    h.b9 = b9;
    return BuildMessage(h, data);
}

std::vector<std::uint8_t> ReaderDevice::Failed(const MessageHeader& command, std::uint8_t bError) const {
    return Reply(command, ReplyTypeFor(command.type), static_cast<std::uint8_t>(kFailed | IccStatus(command.slot)),
                 bError, 0, {});
}

std::vector<std::uint8_t> ReaderDevice::StatusReply(std::span<const std::uint8_t> message, std::uint8_t bStatus,
                                                    std::uint8_t bError) const {
    const MessageHeader h = DecodeHeader(message);
    return Reply(h, ReplyTypeFor(h.type), bStatus, bError, 0, {});
}

ReaderDevice::Outcome ReaderDevice::RefuseSetParameters(std::span<const std::uint8_t> message) {
    const MessageHeader h = DecodeHeader(message);
    Outcome out;
    out.reply = Failed(h, kErrorBadData);
    const auto body = message.subspan(kHeaderSize);
    out.setParameters = SetParametersRecord{h.slot, h.seq, h.b7, {body.begin(), body.end()}, true};
    return out;
}

ReaderDevice::Outcome ReaderDevice::Handle(std::span<const std::uint8_t> message) {
    // The message set, each type once. An unknown type is refused before the slot is looked at: bError names the
    // offending field, and for an unknown type that is the type.
    static constexpr struct {
        std::uint8_t type;
        Outcome (ReaderDevice::*run)(const MessageHeader&, std::span<const std::uint8_t>);
    } kMessages[] = {
        {kIccPowerOn, &ReaderDevice::IccPowerOn},
        {kIccPowerOff, &ReaderDevice::IccPowerOff},
        {kGetSlotStatus, &ReaderDevice::SlotStatus},
        {kSetParameters, &ReaderDevice::SetParameters},
        {kEscape, &ReaderDevice::Escape},
        {kXfrBlock, &ReaderDevice::XfrBlock},
    };
    const MessageHeader h = DecodeHeader(message);
    const auto entry =
        std::find_if(std::begin(kMessages), std::end(kMessages), [&](const auto& m) { return m.type == h.type; });
    Outcome out;
    if (entry == std::end(kMessages)) {
        out.reply = Failed(h, kErrorCommandNotSupported);
    } else if (h.slot >= SlotCount()) {
        out.reply = Failed(h, kErrorBadSlot);
    } else {
        out = (this->*entry->run)(h, message.subspan(kHeaderSize));
    }
    return out;
}

ReaderDevice::Outcome ReaderDevice::IccPowerOn(const MessageHeader& h, std::span<const std::uint8_t>) {
    Slot& slot = slots_[h.slot];
    Outcome out;
    if (!slot.card.present || slot.card.mute) {
        slot.powered = false;
        out.reply = Failed(h, kErrorIccMute);
        return out;
    }
    // A power-on of a powered card is a warm reset: the card starts afresh, its files keep their contents.
    if (slot.card.logic && !slot.card.logic->PowerOn()) {
        slot.powered = false;
        slot.card.mute = true;
        out.reply = Failed(h, kErrorIccMute);
        return out;
    }
    slot.powered = true;
    slot.builtIn.Reset();
    slot.ResetChain();
    out.reply = Reply(h, kDataBlock, 0, 0, kChainWhole, slot.card.atr);
    return out;
}

ReaderDevice::Outcome ReaderDevice::IccPowerOff(const MessageHeader& h, std::span<const std::uint8_t> data) {
    Slot& slot = slots_[h.slot];
    if (slot.powered && slot.card.logic) slot.card.logic->PowerOff();
    slot.powered = false;
    slot.ResetChain();
    return SlotStatus(h, data);
}

ReaderDevice::Outcome ReaderDevice::SlotStatus(const MessageHeader& h, std::span<const std::uint8_t>) {
    Outcome out;
    out.reply = Reply(h, kSlotStatus, IccStatus(h.slot), 0, 0, {});
    return out;
}

ReaderDevice::Outcome ReaderDevice::SetParameters(const MessageHeader& h, std::span<const std::uint8_t> data) {
    Outcome out;
    if (!slots_[h.slot].powered) {
        out.reply = Failed(h, kErrorIccMute);
    } else if (h.b7 > 1) {
        out.reply = Failed(h, kErrorBadProtocolNum);
    } else {
        out.reply = Reply(h, kParameters, 0, 0, h.b7, data);
        out.setParameters = SetParametersRecord{h.slot, h.seq, h.b7, {data.begin(), data.end()}, false};
    }
    return out;
}

ReaderDevice::Outcome ReaderDevice::Escape(const MessageHeader& h, std::span<const std::uint8_t> data) {
    Outcome out;
    const std::uint8_t icc = IccStatus(h.slot);
    if (std::equal(data.begin(), data.end(), std::begin(kFirmwareCommand), std::end(kFirmwareCommand))) {
        const std::string text = Firmware();
        // Five header bytes the host does not read, then the version text.
        std::vector<std::uint8_t> reply = {0xE1, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(text.size())};
        reply.insert(reply.end(), text.begin(), text.end());
        out.reply = Reply(h, kEscapeReply, icc, 0, 0, reply);
        return out;
    }
    if (!data.empty() && data[0] == kBaudCommand) {
        if (data.size() != 2 || data[1] >= kRateTable.size()) {
            out.reply = Failed(h, kErrorBadData);
            return out;
        }
        const std::uint8_t reply[] = {0x90, data[1]};
        out.reply = Reply(h, kEscapeReply, icc, 0, 0, reply);
        out.newRate = kRateTable[data[1]];
        return out;
    }
    // Any other escape command is echoed back: a harmless, checkable answer.
    out.reply = Reply(h, kEscapeReply, icc, 0, 0, data);
    return out;
}

ReaderDevice::Outcome ReaderDevice::XfrBlock(const MessageHeader& h, std::span<const std::uint8_t> data) {
    Outcome out;
    Slot& slot = slots_[h.slot];
    if (!slot.card.present || !slot.powered) {
        // No card, or a card that is not active: the reader reports it mute.
        out.reply = Failed(h, kErrorIccMute);
        return out;
    }
    if (data.size() > BlockSize()) {
        slot.ResetChain();
        out.reply = Failed(h, kErrorBadLength);
        return out;
    }
    const std::uint16_t level = static_cast<std::uint16_t>(h.b8 | h.b9 << 8);
    switch (level) {
        case kLevelWhole:
            slot.ResetChain();
            out.reply = ExecuteApdu(h, slot, data);
            return out;
        case kLevelBegins:
            slot.ResetChain();
            slot.command.assign(data.begin(), data.end());
            slot.receiving = true;
            out.reply = Reply(h, kDataBlock, 0, 0, kChainMoreCommand, {});
            return out;
        case kLevelContinues:
        case kLevelEnds:
            if (!slot.receiving || slot.command.size() + data.size() > kMaxApdu) {
                const std::uint8_t error = slot.receiving ? kErrorBadLength : kErrorBadLevelParameter;
                slot.ResetChain();
                out.reply = Failed(h, error);
                return out;
            }
            slot.command.insert(slot.command.end(), data.begin(), data.end());
            if (level == kLevelContinues) {
                out.reply = Reply(h, kDataBlock, 0, 0, kChainMoreCommand, {});
            } else {
                std::vector<std::uint8_t> apdu = std::move(slot.command);
                out.reply = ExecuteApdu(h, slot, apdu);
            }
            return out;
        case kLevelMoreResponse:
            if (!slot.sending) {
                slot.ResetChain();
                out.reply = Failed(h, kErrorBadLevelParameter);
                return out;
            }
            out.reply = NextResponsePiece(h, slot);
            return out;
        default:
            slot.ResetChain();
            out.reply = Failed(h, kErrorBadLevelParameter);
            return out;
    }
}

std::vector<std::uint8_t> ReaderDevice::ExecuteApdu(const MessageHeader& h, Slot& slot,
                                                    std::span<const std::uint8_t> apdu) {
    const bool logic = !executor_ && slot.card.logic;
    slot.response = executor_ ? executor_(h.slot, apdu)
                    : logic   ? slot.card.logic->Process(apdu)
                              : slot.builtIn.Process(apdu);
    if (logic && slot.response.empty()) {  // the card fell silent
        slot.ResetChain();
        slot.powered = false;
        slot.card.mute = true;
        return Failed(h, kErrorIccMute);
    }
    slot.responseSent = 0;
    slot.sending = false;
    slot.receiving = false;
    slot.command.clear();
    return NextResponsePiece(h, slot);
}

std::vector<std::uint8_t> ReaderDevice::NextResponsePiece(const MessageHeader& h, Slot& slot) {
    const std::size_t block = BlockSize();
    const std::size_t left = slot.response.size() - slot.responseSent;
    const bool first = slot.responseSent == 0;
    const std::size_t n = std::min(left, block);
    std::uint8_t chain;
    if (n == left) {
        chain = first ? kChainWhole : kChainEnds;
    } else {
        chain = first ? kChainBegins : kChainContinues;
    }
    auto piece = std::span(slot.response).subspan(slot.responseSent, n);
    auto reply = Reply(h, kDataBlock, 0, 0, chain, piece);
    slot.responseSent += n;
    slot.sending = slot.responseSent < slot.response.size();
    if (!slot.sending) {
        slot.response.clear();
        slot.responseSent = 0;
    }
    return reply;
}

}  // namespace ryx::sim
