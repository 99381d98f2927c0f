// Collects a response frame from chunks of any size, as they come off the line. Pure: no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ryx {

// Start byte and the 10-byte reply header: enough to know the whole frame's length.
inline constexpr std::size_t kResponseLengthKnownAfter = 11;

class ResponseAssembler {
public:
    enum class Progress {
        kIncomplete,  // more bytes are needed
        kComplete,    // every byte of the frame has arrived; Frame() holds it, trailing bytes included
        kTooLong,     // more bytes have arrived than the limit allows
    };

    // storage: the receive buffer (the reply capacity + 3 bytes); borrowed, must outlive the assembler. The limit
    // is the storage's size.
    explicit ResponseAssembler(std::span<std::uint8_t> storage) noexcept : storage_(storage), limit_(storage.size()) {}

    // limit: the most bytes a frame may bring (the reply capacity + 3); storage may be shorter or longer. Whoever
    // feeds a chunk of n bytes first makes the storage at least min(limit, Received() + n) bytes long, and gives
    // the storage for Missing() at least min(limit, Total()) bytes (Relocate).
    ResponseAssembler(std::span<std::uint8_t> storage, std::uint64_t limit) noexcept
        : storage_(storage), limit_(limit) {}

    // Moves to other storage that already holds the bytes stored so far (Frame()).
    void Relocate(std::span<std::uint8_t> storage) noexcept { storage_ = storage; }

    [[nodiscard]] std::uint64_t Limit() const noexcept { return limit_; }

    // Forgets everything received, for a new attempt.
    void Reset() noexcept;

    // Takes the next chunk. Once the result is kComplete or kTooLong, further chunks change nothing. A chunk read
    // straight into the storage where it belongs (at Received()) is not copied.
    // A chunk that does not fit the storage is counted, never stored. The length field is read from the first
    // 11 bytes as they arrive, kept apart from the storage, so a first chunk beyond the limit still yields the
    // length. The total is computed in 64 bits: a length field near 0xFFFFFFFF cannot wrap around
    // into a short frame; such a frame never completes. A frame announced longer than the storage is not refused
    // on its announcement: it is kIncomplete until more bytes arrive than the limit allows (kTooLong).
    [[nodiscard]] Progress Feed(std::span<const std::uint8_t> chunk) noexcept;

    // The storage that the frame's missing bytes will fill, up to the limit (and the storage's end): empty until
    // the first 11 bytes are in, when the frame is complete or too long, and once the limit is reached. A caller may
    // read straight into its start and hand the count to FeedStored, which spares the copy Feed makes.
    [[nodiscard]] std::span<std::uint8_t> Missing() noexcept;

    // Takes n (at most Missing().size()) bytes just written at the start of Missing(), as Feed would take them.
    [[nodiscard]] Progress FeedStored(std::size_t n) noexcept;

    // The bytes received and stored so far; after kComplete, the whole frame.
    [[nodiscard]] std::span<const std::uint8_t> Frame() const noexcept;

    // Bytes received in this attempt, stored or not.
    [[nodiscard]] std::uint64_t Received() const noexcept { return received_; }
    // Whether the first 11 bytes are in, and the frame length they announce (dwLength + 13).
    [[nodiscard]] bool TotalKnown() const noexcept { return totalKnown_; }
    [[nodiscard]] std::uint64_t Total() const noexcept { return total_; }

private:
    [[nodiscard]] Progress Judge() const noexcept;

    std::span<std::uint8_t> storage_;
    std::uint64_t limit_;
    std::array<std::uint8_t, kResponseLengthKnownAfter> header_{};
    std::uint64_t received_ = 0;
    std::uint64_t total_ = 0;
    bool totalKnown_ = false;
};

}  // namespace ryx
