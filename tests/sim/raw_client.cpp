#include "raw_client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "client_line.h"

namespace ryx::simtest {

Bytes Frame(const Bytes& payload) {
    Bytes f{0x02};
    std::uint8_t x = 0;
    for (auto b : payload) {
        f.push_back(b);
        x ^= b;
    }
    f.push_back(x);
    f.push_back(0x03);
    return f;
}

Bytes Message(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t b7, std::uint8_t b8, std::uint8_t b9,
              const Bytes& data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    Bytes m(10 + data.size());
    m[0] = type;
    for (int i = 0; i < 4; ++i) m[1 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    m[5] = slot;
    m[6] = seq;
    m[7] = b7;
    m[8] = b8;
    m[9] = b9;
    for (std::size_t i = 0; i < data.size(); ++i) m[10 + i] = data[i];
    return m;
}

Bytes Hex(const std::string& text) {
    Bytes out;
    int nibbles = 0;
    unsigned value = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else {
            continue;
        }
        value = value << 4 | static_cast<unsigned>(v);
        if (++nibbles == 2) {
            out.push_back(static_cast<std::uint8_t>(value));
            nibbles = 0;
            value = 0;
        }
    }
    return out;
}

Bytes Payload(const Bytes& frame) {
    if (frame.size() < 3) return {};
    return Bytes(frame.begin() + 1, frame.end() - 2);
}

RawClient::RawClient(const std::string& path, std::uint32_t speed) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    SetSpeed(speed);
    ::tcflush(fd_, TCIOFLUSH);
}

RawClient::~RawClient() {
    if (fd_ >= 0) ::close(fd_);
}

void RawClient::SetSpeed(std::uint32_t speed) {
    if (!SetClientLine(fd_, speed)) throw std::runtime_error(std::string("line settings: ") + std::strerror(errno));
}

void RawClient::Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        }
    }
}

Bytes RawClient::Read(std::size_t n, std::chrono::milliseconds bound) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buf[4096];
        const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;  // hung up
        }
    }
    return out;
}

Bytes RawClient::ReadFrame(std::chrono::milliseconds bound) {
    const auto start = std::chrono::steady_clock::now();
    Bytes f = Read(11, bound);
    if (f.size() < 11) return f;
    const std::size_t length = static_cast<std::size_t>(f[2]) | static_cast<std::size_t>(f[3]) << 8 |
                               static_cast<std::size_t>(f[4]) << 16 | static_cast<std::size_t>(f[5]) << 24;
    const auto left =
        bound - std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    Bytes rest = Read(length + 2, std::max(left, std::chrono::milliseconds(1)));
    f.insert(f.end(), rest.begin(), rest.end());
    return f;
}

RawClient::Answer RawClient::Exchange(const Bytes& message, std::chrono::milliseconds bound) {
    Write(Frame(message));
    Answer a;
    a.status = Read(4, bound);
    if (a.status == Bytes{0x02, 0x00, 0x00, 0x03}) a.response = ReadFrame(bound);
    return a;
}

bool RawClient::WaitForHangup(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) return true;
        if (r > 0) {
            std::uint8_t buf[256];
            const ssize_t got = ::read(fd_, buf, sizeof buf);
            if (got == 0 || (got < 0 && errno == EIO)) return true;
        }
    }
    return false;
}

void RawClient::Flush() {
    ::tcflush(fd_, TCIFLUSH);
}

}  // namespace ryx::simtest
