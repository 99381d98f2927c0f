#include "sim/vpcd_card.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "sim/wake_pipe.h"

namespace ryx::sim {
namespace {

// The card program at the end of one connection. The reader's thread talks to it; the slot's thread only watches
// for the disconnect.
class VpcdCard : public CardLogic {
public:
    explicit VpcdCard(int fd) : fd_(fd) {}
    ~VpcdCard() override { ::close(fd_); }
    int fd() const { return fd_; }

    bool PowerOn() override {
        if (!Clean()) return false;
        const std::uint8_t control = powered_ ? 0x02 : 0x01;
        powered_ = Send({&control, 1});
        return powered_;
    }
    void PowerOff() override {
        const std::uint8_t control = 0x00;
        if (Clean()) (void)Send({&control, 1});
        powered_ = false;
    }
    std::vector<std::uint8_t> Process(std::span<const std::uint8_t> apdu) override {
        if (!Clean() || !Send(apdu)) return {};
        auto answer = Receive();
        if (!answer || answer->size() < 2) return Broken(), std::vector<std::uint8_t>{};
        return *answer;
    }
    // The ATR, asked for when the program connects; nullopt when it does not give one.
    std::optional<std::vector<std::uint8_t>> Atr() {
        const std::uint8_t control = 0x04;
        if (!Send({&control, 1})) return std::nullopt;
        auto atr = Receive();
        if (!atr || atr->size() < 2 || atr->size() > 33) return std::nullopt;
        return atr;
    }

private:
    void Broken() { broken_ = true; }
    // False once the program sent something nobody asked for, or went wrong before.
    bool Clean() {
        if (broken_) return false;
        std::uint8_t byte = 0;
        const ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        if (n > 0 || n == 0) Broken();  // unasked bytes, or the program has gone
        return !broken_;
    }
    bool Wait(short events, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, events, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
        }
    }
    bool Send(std::span<const std::uint8_t> payload) {
        std::vector<std::uint8_t> message = {static_cast<std::uint8_t>(payload.size() >> 8),
                                             static_cast<std::uint8_t>(payload.size())};
        message.insert(message.end(), payload.begin(), payload.end());
        const auto deadline = std::chrono::steady_clock::now() + kVpcdAnswerTime;
        for (std::size_t off = 0; off < message.size();) {
            if (!Wait(POLLOUT, deadline)) return Broken(), false;
            const ssize_t n = ::send(fd_, message.data() + off, message.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return Broken(), false;
            off += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool ReadExactly(std::uint8_t* out, std::size_t size, std::chrono::steady_clock::time_point deadline) {
        for (std::size_t got = 0; got < size;) {
            if (!Wait(POLLIN, deadline)) return false;
            const ssize_t n = ::recv(fd_, out + got, size - got, MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::optional<std::vector<std::uint8_t>> Receive() {
        const auto deadline = std::chrono::steady_clock::now() + kVpcdAnswerTime;
        std::uint8_t length[2];
        if (!ReadExactly(length, 2, deadline)) return Broken(), std::nullopt;
        std::vector<std::uint8_t> payload(static_cast<std::size_t>(length[0] << 8 | length[1]));
        if (!ReadExactly(payload.data(), payload.size(), deadline)) return Broken(), std::nullopt;
        return payload;
    }

    int fd_;
    bool powered_ = false;
    std::atomic<bool> broken_{false};
};

}  // namespace

VpcdSlot::~VpcdSlot() {
    Stop();
}

bool VpcdSlot::Start(const std::string& host, std::uint16_t port, std::string* why) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const std::string where = host + ":" + std::to_string(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        *why = "vpcd: '" + host + "' is not an IPv4 address";
        return false;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    int pipeFds[2] = {-1, -1};
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = "vpcd: cannot listen at " + where + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void VpcdSlot::Stop() {
    WakeAndJoin(thread_, wakeWrite_);
    for (int* fd : {&listener_, &wakeRead_, &wakeWrite_}) CloseFd(fd);
}

void VpcdSlot::Serve() {
    std::shared_ptr<VpcdCard> card;
    for (;;) {
        pollfd fds[3] = {{wakeRead_, POLLIN, 0}, {listener_, POLLIN, 0}, {card ? card->fd() : -1, POLLRDHUP, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (card && (fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            reader_.RemoveCard(slot_);  // the program has gone: so has the card
            card.reset();
        }
        if ((fds[1].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (card) {  // one card program at a time
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto fresh = std::make_shared<VpcdCard>(fd);
        const auto atr = fresh->Atr();
        if (!atr) continue;  // no ATR, no card: the connection closes with `fresh`
        card = fresh;
        reader_.InsertCard(slot_, SlotCard{true, *atr, false, card});
    }
    if (card) reader_.RemoveCard(slot_);
}

}  // namespace ryx::sim
