#include "byte_buffer.h"

#include <cstring>
#include <new>

namespace ryx_test {

std::unique_ptr<ByteBuffer> ByteBuffer::Create(uint32_t capacity) {
    // calloc(0) may give null on some systems; one byte keeps "created" and "failed" apart.
    auto* data = static_cast<uint8_t*>(std::calloc(capacity != 0 ? capacity : 1, 1));
    if (data == nullptr) {
        return nullptr;
    }
    std::unique_ptr<ByteBuffer> buffer(new (std::nothrow) ByteBuffer(data, capacity));
    if (!buffer) {
        std::free(data);
    }
    return buffer;
}

bool ByteBuffer::Append(const void* bytes, uint32_t count, std::FILE* out) {
    if (bytes == nullptr || count == 0 || !data_) {
        return false;
    }
    if (uint64_t{length_} + count > capacity_ && !Enlarge(count, out)) {
        return false;
    }
    std::memcpy(data_.get() + length_, bytes, count);
    length_ += count;
    return true;
}

bool ByteBuffer::Enlarge(uint32_t extra, std::FILE* out) {
    if (extra == 0) {
        return false;
    }
    const uint64_t wanted = uint64_t{capacity_} + extra;
    // A capacity past 32 bits would wrap and leave the storage smaller than the length it claims.
    void* grown = wanted <= UINT32_MAX ? std::realloc(data_.get(), wanted) : nullptr;
    if (grown == nullptr) {
        std::fputs("Error: Not enough memory\n", out);
        return false;
    }
    (void)data_.release();  // realloc already freed or reused the old block
    data_.reset(static_cast<uint8_t*>(grown));
    capacity_ = static_cast<uint32_t>(wanted);
    return true;
}

}  // namespace ryx_test
