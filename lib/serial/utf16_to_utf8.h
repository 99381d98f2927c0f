// Conversion of a port name given in UTF-16 into the UTF-8 path the system opens.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ryx {

// Converts the NUL-terminated UTF-16 string in (surrogate pairs combined) into a NUL-terminated UTF-8 string in
// out[0..outSize). Returns 0; RYX_ERROR_INVALID_NAME (123) for an unpaired surrogate; RYX_ERROR_INVALID_PARAMETER
// (87) for a null in or out; the status of ENAMETOOLONG when the result and its NUL do not fit in outSize bytes.
// out is unspecified after a failure.
[[nodiscard]] std::uint32_t Utf16ToUtf8(const char16_t* in, char* out, std::size_t outSize) noexcept;

}  // namespace ryx
