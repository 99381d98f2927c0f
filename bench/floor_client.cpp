#include "floor_client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ryx::bench {
namespace {

constexpr int kSilenceMs = 5000;
constexpr std::size_t kStatusSize = 4;
constexpr std::size_t kLengthKnownAfter = 11;  // start byte and the 10-byte header
constexpr std::size_t kLargestFrame = 65536 + kEmptyMessageFrameSize;

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&p, 1, kSilenceMs);
        if (ready > 0) return (p.revents & POLLIN) != 0;
        if (ready == 0 || errno != EINTR) return false;
    }
}

}  // namespace

FloorClient::FloorClient(const std::string& path) : receive_(kStatusSize + kLargestFrame) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("floor client: open " + path + ": " + std::strerror(errno));
}

FloorClient::~FloorClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool FloorClient::WriteAll(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, kSilenceMs) <= 0) return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

std::span<const std::uint8_t> FloorClient::ExchangeFrame(std::span<const std::uint8_t> frame) {
    if (!WriteAll(frame)) return {};
    std::size_t got = 0;
    std::size_t need = kStatusSize + kLengthKnownAfter;
    bool lengthKnown = false;
    while (got < need) {
        // Read first and wait only when the line is empty: whatever has arrived costs one call.
        const ssize_t n = ::read(fd_, receive_.data() + got, receive_.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            // A refusing status frame ends the exchange at once: no response follows it.
            const std::uint8_t* status = receive_.data();
            if (got >= kStatusSize &&
                (status[0] != 0x02 || status[1] != 0x00 || status[2] != 0x00 || status[3] != 0x03)) {
                return {};
            }
            if (!lengthKnown && got >= need) {
                const std::uint8_t* header = receive_.data() + kStatusSize;
                const std::size_t dwLength = std::size_t{header[2]} | std::size_t{header[3]} << 8 |
                                             std::size_t{header[4]} << 16 | std::size_t{header[5]} << 24;
                if (dwLength + kEmptyMessageFrameSize > kLargestFrame) return {};
                need = kStatusSize + kEmptyMessageFrameSize + dwLength;
                lengthKnown = true;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // An empty line reads as EAGAIN, or as 0 bytes when the line asks for no minimum (VMIN 0, as the library sets
        // it); a line that hung up shows in the poll.
        if ((n == 0 || errno == EAGAIN) && WaitReadable(fd_)) continue;
        return {};
    }
    return std::span<const std::uint8_t>(receive_.data() + kStatusSize, need - kStatusSize);
}

long FloorClient::ExchangeApdu(const std::vector<Frame>& commandFrames, std::uint8_t slot, std::uint8_t nextSeq,
                               std::span<std::uint8_t> response) {
    constexpr std::uint8_t kMoreCommand = 0x10;
    std::size_t gathered = 0;
    std::uint8_t chain = 0;
    auto take = [&](std::span<const std::uint8_t> reply) {
        if (reply.size() < kEmptyMessageFrameSize) return false;
        const std::size_t data = reply.size() - kEmptyMessageFrameSize;
        if (data > response.size() - gathered) return false;
        std::memcpy(response.data() + gathered, reply.data() + kLengthKnownAfter, data);
        gathered += data;
        chain = reply[10];  // bChainParameter
        return true;
    };
    for (std::size_t i = 0; i < commandFrames.size(); ++i) {
        if (!take(ExchangeFrame(commandFrames[i]))) return -1;
        if (i + 1 < commandFrames.size() && chain != kMoreCommand) return -1;
    }
    // 01 and 03: more response follows.
    while (chain == 0x01 || chain == 0x03) {
        const auto empty = EmptyBlockFrame(slot, nextSeq++);
        if (!take(ExchangeFrame(empty))) return -1;
    }
    return chain == 0x00 || chain == 0x02 ? static_cast<long>(gathered) : -1;
}

}  // namespace ryx::bench
