// Faults the simulated reader can inject into its answers, one kind per enumerator, each applied to the next
// COUNT frames it fits. Pure data plus a parser for the command-line form.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryx::sim {

// What a fault does. "Command frame" below means a well-formed frame from the host at the right speed that is not
// a RepeatRequest; "answered frame" means a command frame the reader takes, or a RepeatRequest it answers.
enum class FaultKind : std::uint8_t {
    kPass,                 // lets COUNT frames of any kind through untouched (to aim a later fault)
    kRefuseStatus,         // command frame: status 02 01 01 03; the frame is not taken (no response)
    kNoStatus,             // command frame: nothing at all is sent; the frame is not taken
    kBadStatusStart,       // command frame: status 05 00 00 03; not taken
    kBadStatusEnd,         // command frame: status 02 00 00 05; not taken
    kBadStatusCheck,       // command frame: status 02 00 01 03; not taken
    kGarbage,              // command frame: `garbage` bytes are sent in place of the status; not taken
    kDelayStatus,          // command frame: the status (and the response after it) waits `delay`
    kDelayResponse,        // answered frame: status at once, the response frame after `delay`
    kDamageResponse,       // answered frame: the response byte at `offset` is XORed with 0x01 (check then fails)
    kTruncateResponse,     // answered frame: only the first `length` bytes of the response frame are sent
    kChunkResponse,        // answered frame: the response frame goes out in pieces of `chunks` bytes, `gap` apart
    kWrongType,            // taken command frame: reply type XOR 0x01 (0x80 <-> 0x81, 0x82 <-> 0x83)
    kWrongSlot,            // taken command frame: reply bSlot + 1
    kWrongSequence,        // taken command frame: reply bSeq + 1
    kStatusError,          // taken command frame: reply carries `bStatus`/`bError`; when bmCommandStatus is not 0 the
                           // command is not executed and the reply has no data
    kRefuseSetParameters,  // SetParameters frame: a failed-command reply (bStatus 0x40 | ICC status, bError 0x0A)
    kVanish,               // any frame: the reader disappears (the pty is closed) instead of answering
};
inline constexpr std::size_t kFaultKindCount = static_cast<std::size_t>(FaultKind::kVanish) + 1;

inline constexpr std::array<std::size_t, 2> kDefaultChunks = {5, 8};
inline constexpr std::array<std::uint8_t, 5> kDefaultGarbage = {0xFF, 0x55, 0xAA, 0x00, 0x13};

template <typename T, std::size_t N>
[[nodiscard]] std::vector<T> FromArray(const std::array<T, N>& values) {
    return std::vector<T>(values.begin(), values.end());
}

// One queued fault. Only the fields of its kind are read.
struct Fault {
    FaultKind kind = FaultKind::kPass;
    unsigned count = 1;                    // frames it applies to (0 is taken as 1)
    std::chrono::milliseconds delay{500};  // kDelayStatus, kDelayResponse
    std::size_t offset = 7;                // kDamageResponse: frame offset (7 = bSeq); clamped to the frame
    std::size_t length = 0;                // kTruncateResponse: bytes sent; 0 = half the frame
    // Defaults built from arrays, not brace lists: GCC 12 at -O2 warns falsely (maybe-uninitialized) about the
    // hidden array of an initializer list in every file that constructs a Fault.
    std::vector<std::size_t> chunks = FromArray(kDefaultChunks);     // kChunkResponse: piece sizes, the last repeats
    std::chrono::milliseconds gap{2};                                // kChunkResponse: pause between pieces
    std::uint8_t bStatus = 0x41;                                     // kStatusError
    std::uint8_t bError = 0xFE;                                      // kStatusError
    std::vector<std::uint8_t> garbage = FromArray(kDefaultGarbage);  // kGarbage
};

// The command-line name of a kind ("refuse-status", "no-status", ...), and back. nullopt for an unknown name.
[[nodiscard]] std::string_view FaultKindName(FaultKind kind) noexcept;
[[nodiscard]] std::optional<FaultKind> FaultKindFromName(std::string_view name) noexcept;

// Parses "KIND[:COUNT[:ARG]]" as given to --fault. ARG by kind: delay-status / delay-response: milliseconds;
// damage-response: frame offset; truncate-response: bytes kept; chunk-response: sizes "5,8" (optionally "/GAPMS");
// status-error: two hex bytes "42FE"; garbage: hex bytes. Returns nullopt (and a reason in *error when not null)
// for an unknown kind, a bad count or an argument the kind does not take.
[[nodiscard]] std::optional<Fault> ParseFault(std::string_view text, std::string* error = nullptr);

}  // namespace ryx::sim
