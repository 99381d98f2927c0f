#include "firmware_version.h"

#include <new>

namespace ryx_test {

namespace {

constexpr uint8_t kFirmwareVersionCommand[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr uint32_t kReplyHeaderLength = 5;

}  // namespace

std::optional<std::string> QueryFirmwareVersion(RYX_HANDLE handle, std::FILE* out) {
    uint8_t reply[35] = {};
    uint32_t replyLength = sizeof reply;
    const uint32_t status = RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, kFirmwareVersionCommand,
                                        sizeof kFirmwareVersionCommand, reply, sizeof reply, &replyLength);
    if (status != 0) {
        std::fprintf(out, "Error: RYX_Control failed with error 0x%08X\n", status);
        return std::nullopt;
    }
    // A length past the buffer cannot be a real reply; reading it would run off the buffer.
    if (replyLength <= kReplyHeaderLength || replyLength > sizeof reply) {
        std::fputs("Error: Response length is invalid\n", out);
        return std::nullopt;
    }
    try {
        return std::string(reinterpret_cast<const char*>(reply) + kReplyHeaderLength, replyLength - kReplyHeaderLength);
    } catch (const std::bad_alloc&) {
        std::fputs("Error: Not enough memory\n", out);
        return std::nullopt;
    }
}

}  // namespace ryx_test
