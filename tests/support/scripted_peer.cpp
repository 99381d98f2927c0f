#include "support/scripted_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/frame.h"

namespace ryx::test {
namespace {

constexpr auto kHostTakesChunkBound = std::chrono::seconds(2);

// Readable now? poll() also pushes any bytes still on their way through the pty into the read queue.
bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace

Bytes MakeFrame(const Bytes& payload) {
    return sim::BuildFrame(payload);
}

Bytes StatusAccepted() {
    const auto frame = sim::StatusFrame(0x00);
    return Bytes(frame.begin(), frame.end());
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

ScriptedPeer::ScriptedPeer(PtyPair& pty, std::vector<Answer> script)
    : ScriptedPeer(pty, [script = std::move(script)](std::size_t index, const Bytes&) {
          return index < script.size() ? script[index] : Answer{};
      }) {}

ScriptedPeer::ScriptedPeer(PtyPair& pty, Responder responder) : pty_(pty), responder_(std::move(responder)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    stopRead_ = fds[0];
    stopWrite_ = fds[1];
    const int flags = fcntl(pty_.master(), F_GETFL);
    (void)fcntl(pty_.master(), F_SETFL, flags | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    const char stop = 1;
    (void)!write(stopWrite_, &stop, 1);
    thread_.join();
    close(stopRead_);
    close(stopWrite_);
}

bool ScriptedPeer::WaitForFrames(std::size_t count, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return answered_ >= count; });
}

bool ScriptedPeer::Settle(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock lock(mutex_);
    for (;;) {
        // The peer marks itself busy before it reads, so "not busy and nothing readable" means all handled.
        if (!busy_ && !Readable(pty_.master())) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(1));
    }
}

std::vector<Bytes> ScriptedPeer::Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

Bytes ScriptedPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool ScriptedPeer::WriteAll(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{pty_.master(), POLLOUT, 0};
            (void)poll(&p, 1, 100);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

void ScriptedPeer::WriteAnswer(const Answer& answer) {
    for (std::size_t i = 0; i < answer.size(); ++i) {
        if (i > 0) {
            // The host reads whatever is queued; let it take the previous chunk first. Nothing signals that, so
            // look at the host's queue until it is empty.
            const auto deadline = std::chrono::steady_clock::now() + kHostTakesChunkBound;
            while (Readable(pty_.slave()) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (!WriteAll(answer[i])) {
            return;
        }
    }
}

void ScriptedPeer::Run() {
    Bytes pending;
    std::size_t nextIndex = 0;
    for (;;) {
        pollfd fds[2] = {{pty_.master(), POLLIN, 0}, {stopRead_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            busy_ = true;
        }
        std::uint8_t buffer[512];
        const ssize_t n = read(pty_.master(), buffer, sizeof buffer);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            std::lock_guard lock(mutex_);
            busy_ = false;
            changed_.notify_all();
            return;  // the pty is gone
        }
        if (n > 0) {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), buffer, buffer + n);
            pending.insert(pending.end(), buffer, buffer + n);
        }
        for (;;) {
            // Bytes before a start byte belong to no frame: they stay in Received() only.
            std::size_t skip = 0;
            while (skip < pending.size() && pending[skip] != sim::kStartByte) {
                ++skip;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(skip));
            const auto header = sim::FrameHeader(pending);
            if (!header) {
                break;
            }
            const std::uint64_t total = std::uint64_t{header->dwLength} + sim::kHeaderSize + sim::kFrameOverhead;
            if (pending.size() < total) {
                break;
            }
            Bytes frame(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
            {
                std::lock_guard lock(mutex_);
                frames_.push_back(frame);
            }
            WriteAnswer(responder_(nextIndex++, frame));
            std::lock_guard lock(mutex_);
            ++answered_;
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        busy_ = false;
        changed_.notify_all();
    }
}

Bytes ReplyMessage(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t status, std::uint8_t error,
                   std::uint8_t byte9, const Bytes& data) {
    return sim::BuildMessage({type, 0, slot, seq, status, error, byte9}, data);
}

Bytes ReplyTo(const Bytes& commandFrame, std::uint8_t type, const Bytes& data) {
    return ReplyMessage(type, commandFrame[6], commandFrame[7], 0, 0, 0, data);
}

// Built without vector insert: GCC 12 at -O2 reports a false array-bounds warning for it.
Bytes FirmwareReply(const std::string& text) {
    Bytes data(5 + text.size(), 0);
    data[0] = 0xE1;
    data[4] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), data.begin() + 5);
    return data;
}

}  // namespace ryx::test
