// What the reader does with one command message: the CCID-style message set, the XfrBlock chaining of both
// directions, the escape commands, and the cards in its slots. Pure: no I/O, no locking (the Simulator serialises
// every call), no time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/config.h"
#include "sim/records.h"

namespace ryx::sim {

// Message types.
inline constexpr std::uint8_t kSetParameters = 0x61;
inline constexpr std::uint8_t kIccPowerOn = 0x62;
inline constexpr std::uint8_t kIccPowerOff = 0x63;
inline constexpr std::uint8_t kGetSlotStatus = 0x65;
inline constexpr std::uint8_t kEscape = 0x6B;
inline constexpr std::uint8_t kXfrBlock = 0x6F;
inline constexpr std::uint8_t kDataBlock = 0x80;
inline constexpr std::uint8_t kSlotStatus = 0x81;
inline constexpr std::uint8_t kParameters = 0x82;
inline constexpr std::uint8_t kEscapeReply = 0x83;

// bError values of failed commands: CCID names the offending header field by its offset, or the card's state.
inline constexpr std::uint8_t kErrorCommandNotSupported = 0x00;
inline constexpr std::uint8_t kErrorBadLength = 0x01;
inline constexpr std::uint8_t kErrorBadSlot = 0x05;
inline constexpr std::uint8_t kErrorBadProtocolNum = 0x07;
inline constexpr std::uint8_t kErrorBadLevelParameter = 0x08;
inline constexpr std::uint8_t kErrorBadData = 0x0A;
inline constexpr std::uint8_t kErrorIccMute = 0xFE;

// The firmware-version escape command and the first byte of the line-speed escape (44, rate index).
inline constexpr std::uint8_t kFirmwareCommand[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
inline constexpr std::uint8_t kBaudCommand = 0x44;

// The reply type that answers a command type (0x81 for a type the reader does not know).
[[nodiscard]] std::uint8_t ReplyTypeFor(std::uint8_t commandType) noexcept;

using ApduExecutor = std::function<std::vector<std::uint8_t>(std::uint8_t slot, std::span<const std::uint8_t> apdu)>;

class ReaderDevice {
public:
    explicit ReaderDevice(const Config& config);

    struct Outcome {
        std::vector<std::uint8_t> reply;                   // the reply message (header and data)
        std::optional<std::uint32_t> newRate;              // work at this rate once the reply has been sent
        std::optional<SetParametersRecord> setParameters;  // a SetParameters message was taken
    };

    // Executes one command message (10-byte header + dwLength data bytes) and builds its reply.
    [[nodiscard]] Outcome Handle(std::span<const std::uint8_t> message);
    // Refuses a SetParameters message: failed command, bError 0x0A, recorded as refused.
    [[nodiscard]] Outcome RefuseSetParameters(std::span<const std::uint8_t> message);
    // A reply to `message` of the right type carrying bStatus/bError and no data; nothing is executed.
    [[nodiscard]] std::vector<std::uint8_t> StatusReply(std::span<const std::uint8_t> message, std::uint8_t bStatus,
                                                        std::uint8_t bError) const;

    // The reader.
    void SetModel(Model model);
    void SetFirmware(std::string text) { firmware_ = std::move(text); }
    void SetBlockSize(std::uint32_t size) { blockSize_ = size; }
    void SetRate(std::uint32_t rate) { rate_ = rate; }
    [[nodiscard]] Model model() const noexcept { return model_; }
    [[nodiscard]] std::string Firmware() const;
    [[nodiscard]] std::uint32_t BlockSize() const noexcept;
    [[nodiscard]] std::uint32_t Rate() const noexcept { return rate_; }
    [[nodiscard]] std::size_t SlotCount() const noexcept { return ModelSlotCount(model_); }
    // Largest dwLength the receive buffer takes; a longer frame is refused at the frame level.
    [[nodiscard]] std::size_t ReceiveLimit() const noexcept;

    // The cards (slot < kMaxSlots; slots beyond SlotCount() are kept but not reachable).
    void InsertCard(std::size_t slot, std::span<const std::uint8_t> atr);
    void InsertCard(std::size_t slot, SlotCard card);  // present, unpowered
    void RemoveCard(std::size_t slot);
    // The card in the slot answers power-on with this ATR from now on; false (nothing changed) for an empty slot.
    [[nodiscard]] bool SetAtr(std::size_t slot, std::span<const std::uint8_t> atr);
    void SetMute(std::size_t slot, bool mute);
    [[nodiscard]] SlotCard Card(std::size_t slot) const;  // an empty SlotCard past kMaxSlots
    // The reader powers up: it works at `rate`, every card is unpowered and no chain is in progress. Cards and
    // their file contents stay.
    void PowerOnReset(std::uint32_t rate);
    void SetExecutor(ApduExecutor executor) { executor_ = std::move(executor); }
    [[nodiscard]] bool Powered(std::size_t slot) const;
    [[nodiscard]] std::uint8_t IccStatus(std::size_t slot) const;

private:
    struct Slot {
        SlotCard card;
        bool powered = false;
        BuiltInCard builtIn;
        // XfrBlock chaining: a command being received in blocks, or a response being sent in blocks.
        bool receiving = false;
        std::vector<std::uint8_t> command;
        std::vector<std::uint8_t> response;
        std::size_t responseSent = 0;
        bool sending = false;
        void ResetChain() {
            receiving = sending = false;
            command.clear();
            response.clear();
            responseSent = 0;
        }
    };

    [[nodiscard]] std::vector<std::uint8_t> Reply(const MessageHeader& command, std::uint8_t type, std::uint8_t bStatus,
                                                  std::uint8_t bError, std::uint8_t b9,
                                                  std::span<const std::uint8_t> data) const;
    [[nodiscard]] std::vector<std::uint8_t> Failed(const MessageHeader& command, std::uint8_t bError) const;
    // One per message type, for a slot that exists.
    [[nodiscard]] Outcome IccPowerOn(const MessageHeader& h, std::span<const std::uint8_t> data);
    [[nodiscard]] Outcome IccPowerOff(const MessageHeader& h, std::span<const std::uint8_t> data);
    [[nodiscard]] Outcome SlotStatus(const MessageHeader& h, std::span<const std::uint8_t> data);
    [[nodiscard]] Outcome SetParameters(const MessageHeader& h, std::span<const std::uint8_t> data);
    [[nodiscard]] Outcome XfrBlock(const MessageHeader& h, std::span<const std::uint8_t> data);
    // Hands a whole command APDU to the slot's card and starts sending its response: the first reply.
    [[nodiscard]] std::vector<std::uint8_t> ExecuteApdu(const MessageHeader& h, Slot& slot,
                                                        std::span<const std::uint8_t> apdu);
    [[nodiscard]] std::vector<std::uint8_t> NextResponsePiece(const MessageHeader& h, Slot& slot);
    [[nodiscard]] Outcome Escape(const MessageHeader& h, std::span<const std::uint8_t> data);

    Model model_;
    std::optional<std::string> firmware_;
    std::optional<std::uint32_t> blockSize_;
    std::uint32_t rate_;
    std::array<Slot, kMaxSlots> slots_;
    ApduExecutor executor_;
};

}  // namespace ryx::sim
