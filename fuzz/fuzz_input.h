// Taking a fuzzer's input apart: fixed-size fields from the front, the rest as it is. Every read past the end
// gives zeros, so a harness never has to check the length before it takes a field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace ryx::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    [[nodiscard]] std::size_t Left() const noexcept { return size_ - pos_; }

    [[nodiscard]] std::uint8_t Byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }

    [[nodiscard]] std::uint16_t U16() noexcept {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }

    // Up to n bytes (fewer at the end of the input).
    [[nodiscard]] std::span<const std::uint8_t> Take(std::size_t n) noexcept {
        const std::size_t count = n < Left() ? n : Left();
        const std::span<const std::uint8_t> out(data_ + pos_, count);
        pos_ += count;
        return out;
    }

    [[nodiscard]] std::span<const std::uint8_t> Rest() noexcept { return Take(Left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A broken invariant is a finding: name it and abort, so that libFuzzer saves the input and a replay fails.
[[noreturn]] inline void InvariantBroken(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

}  // namespace ryx::fuzz

#define RYX_FUZZ_REQUIRE(condition) \
    ((condition) ? static_cast<void>(0) : ::ryx::fuzz::InvariantBroken(#condition, __FILE__, __LINE__))
