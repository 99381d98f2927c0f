// The growable byte array a script run keeps its command, response and expected text in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace ryx_test {

/**
 * A byte array with a capacity and a used length. The storage is zero-filled when the buffer is created and
 * grows only through Append and Enlarge; the buffer owns it and frees it when it is destroyed (release).
 */
class ByteBuffer {
public:
    /**
     * Creates a buffer with `capacity` zeroed bytes of storage and length 0.
     * @return the buffer, or nullptr when the storage cannot be allocated (nothing is printed: the caller reports).
     */
    static std::unique_ptr<ByteBuffer> Create(uint32_t capacity);

    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    /**
     * Appends `count` bytes after the used part, enlarging the storage by `count` first when they do not fit.
     * @param bytes the bytes to copy; the caller keeps them.
     * @param out   where Enlarge reports a memory failure.
     * @return false (nothing changed) when `bytes` is null, `count` is 0, or the enlargement fails; true otherwise.
     */
    [[nodiscard]] bool Append(const void* bytes, uint32_t count, std::FILE* out);

    /**
     * Grows the storage by `extra` bytes, keeping its content.
     * @param out receives "Error: Not enough memory\n" when the storage cannot be reallocated, or when the new
     *            capacity would not fit in 32 bits; the old storage is then kept.
     * @return false when `extra` is 0 or on failure; true otherwise.
     */
    [[nodiscard]] bool Enlarge(uint32_t extra, std::FILE* out);

    /** Forgets the content; the storage and its capacity stay. */
    void Clear() { length_ = 0; }

    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }
    uint32_t Capacity() const { return capacity_; }
    uint32_t Length() const { return length_; }

    /** Sets the used length; values above the capacity are cut to it. */
    void SetLength(uint32_t length) { length_ = length <= capacity_ ? length : capacity_; }

private:
    struct FreeStorage {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    ByteBuffer(uint8_t* data, uint32_t capacity) : data_(data), capacity_(capacity) {}

    std::unique_ptr<uint8_t, FreeStorage> data_;
    uint32_t capacity_ = 0;
    uint32_t length_ = 0;
};

}  // namespace ryx_test
