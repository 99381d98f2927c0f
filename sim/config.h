// How a simulated reader is set up: its model, line speed, cards and output options.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card_logic.h"

namespace ryx::sim {

// The reader models. KT4470RS: 2 slots, blocks of 261 bytes; KT4470RS_V3: 3 slots, 261; KT6630RS: 3 slots, 506.
enum class Model : std::uint8_t { KT4470RS, KT4470RS_V3, KT6630RS };

inline constexpr std::size_t kMaxSlots = 3;

// The line speeds the reader knows, by index (the baud-change escape 44 carries the index).
inline constexpr std::array<std::uint32_t, 10> kRateTable = {9600,   19200,  38400,  57600,  115200,
                                                             128000, 230400, 250000, 256000, 500000};

// The built-in card's ATR: direct convention, TA1 0x96, T=0 only, historical bytes "RYXSIM".
inline constexpr std::array<std::uint8_t, 9> kDefaultAtr = {0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D};

// "KT4470RS", "KT4470RS_V3", "KT6630RS"; ModelFromName is the inverse (exact match), nullopt otherwise.
[[nodiscard]] std::string_view ModelName(Model model) noexcept;
[[nodiscard]] std::optional<Model> ModelFromName(std::string_view name) noexcept;
// Slot count (2 or 3) and XfrBlock block size (261 or 506) of a model.
[[nodiscard]] std::size_t ModelSlotCount(Model model) noexcept;
[[nodiscard]] std::uint32_t ModelBlockSize(Model model) noexcept;
// The version text the model reports by default, e.g. "KT4470RS 1.07".
[[nodiscard]] std::string DefaultFirmware(Model model);

// A slot's card. present == false: no card (the ATR and mute flag are then ignored).
struct SlotCard {
    bool present = false;
    std::vector<std::uint8_t> atr;               // answered to IccPowerOn (at most 64 bytes make sense to a host)
    bool mute = false;                           // present, but power-on fails with ICC_MUTE
    std::shared_ptr<CardLogic> logic = nullptr;  // what answers the APDUs; nullptr: the built-in card

    // The default card: the built-in card with kDefaultAtr.
    [[nodiscard]] static SlotCard BuiltIn() { return {true, {kDefaultAtr.begin(), kDefaultAtr.end()}, false}; }
};

struct Config {
    Model model = Model::KT4470RS;
    std::optional<std::string> firmware;     // version text replacing DefaultFirmware(model); sent as given
    std::uint32_t rate = 9600;               // the reader's line speed, one of kRateTable
    std::optional<std::uint32_t> blockSize;  // replaces the model's block size
    bool wireTime = false;                   // pace the line at 10 bits per byte at the current rate
    // A command frame equal to the last one taken (same bytes, so the same bSeq) is a retransmission: it gets the
    // status and the last response again and is not executed. true: it is executed again, as a plain reader does.
    bool reexecuteRepeats = false;
    bool trace = false;                   // write every frame to traceStream (also: RYX_SIM_TRACE=1)
    std::ostream* traceStream = nullptr;  // not owned; nullptr = std::cerr
    // Cards by slot; slots past the model's slot count are ignored. Default: the built-in card in slot 0.
    std::array<SlotCard, kMaxSlots> cards = {SlotCard::BuiltIn(), SlotCard{}, SlotCard{}};
    // Random faults: each command frame gets one with this probability (0 = off), from a generator seeded with seed.
    double chaosRate = 0.0;
    std::uint64_t chaosSeed = 1;
};

}  // namespace ryx::sim
