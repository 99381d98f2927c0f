// The serving thread: takes bytes off the pty, assembles frames, and decides for each what the reader does with it.
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "sim/fault_effects.h"
#include "sim/frame.h"
#include "sim/pty_termios.h"
#include "sim/simulator_state.h"
#include "sim/trace.h"

namespace ryx::sim {
namespace {

// A frame that stops arriving for this long is dropped, so that the next start byte begins afresh.
constexpr auto kSilenceGap = std::chrono::milliseconds(100);

}  // namespace

void Simulator::State::Serve() {
#ifdef __linux__
    // Wire-time pacing sleeps to absolute instants; the default 50 us timer slack would add to every paced write.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::vector<std::uint8_t> buffer(4096);
    std::vector<FrameAssembler::Event> events;
    Clock::time_point lastByte{};
    while (!stopping && master >= 0) {
        int timeout = -1;
        if (assembler.Partial()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(lastByte + kSilenceGap - Clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) {
            char drain[16];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
            continue;
        }
        if (n == 0) {
            if (assembler.Partial() && Clock::now() - lastByte >= kSilenceGap) {
                if (auto event = assembler.Silence()) Handle(std::move(*event));
            }
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t got = ::read(master, buffer.data(), buffer.size());
            if (got > 0) {
                const auto now = Clock::now();
                const std::uint32_t hostSpeed = ReadSpeed(master);
                {
                    std::lock_guard lock(mu);
                    assembler.SetMaxData(device.ReceiveLimit());
                }
                events.clear();
                assembler.Feed(std::span(buffer.data(), static_cast<std::size_t>(got)), hostSpeed, now, &events);
                lastByte = now;
                for (auto& event : events) {
                    if (stopping || master < 0) break;
                    Handle(std::move(event));
                }
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        // The master reports a hang-up or an error: not expected while our own slave fd is open. Do not spin.
        SleepFor(std::chrono::milliseconds(10));
    }
}

void Simulator::State::Record(FrameRecord record, bool isSent) {
    std::lock_guard lock(mu);
    if (config.trace) {
        std::ostream& out = config.traceStream != nullptr ? *config.traceStream : std::cerr;
        out << "ryx_sim: " << FormatTrace(record) << '\n' << std::flush;
    }
    (isSent ? sent : received).push_back(std::move(record));
    changed.notify_all();
}

void Simulator::State::Handle(FrameAssembler::Event event) {
    FrameRecord frame;
    frame.header = FrameHeader(event.bytes);
    frame.hostSpeed = event.hostSpeed;
    frame.time = Clock::now();
    const bool repeat =
        event.kind == FrameAssembler::Event::Kind::kFrame &&
        std::equal(event.bytes.begin(), event.bytes.end(), kRepeatRequest.begin(), kRepeatRequest.end());
    frame.kind = repeat ? FrameRecord::Kind::kRepeatRequest : FrameRecord::Kind::kCommand;
    frame.bytes = std::move(event.bytes);

    std::optional<Fault> fault;
    bool wire = false;
    std::uint32_t rate = 0;
    {
        std::lock_guard lock(mu);
        rate = device.Rate();
        wire = wireTime;
        frame.readerRate = rate;
        if (event.mixedSpeed || event.hostSpeed != rate) {
            // A reader at another speed sees only noise.
            frame.droppedSpeedMismatch = true;
        } else if (silent) {
            frame.ignoredSilent = true;
        } else if (event.kind != FrameAssembler::Event::Kind::kFrame) {
            frame.refused = true;
        } else {
            FrameTraits traits;
            traits.repeatRequest = repeat;
            traits.setParameters = !repeat && frame.header && frame.header->type == kSetParameters;
            traits.answered = !repeat || lastResponse.has_value();
            fault = faults.Take(traits);
            if (fault) frame.fault = fault->kind;
            // A fault aimed at the frame says what the reader does with it, so such a frame is taken afresh.
            frame.retransmission = !repeat && !config.reexecuteRepeats && lastTaken && lastResponse &&
                                   *lastTaken == frame.bytes && !IsStatusFault(fault) && !ChangesTheReply(fault);
        }
    }
    const bool ignore = frame.droppedSpeedMismatch || frame.ignoredSilent;
    const bool refused = frame.refused;
    const std::size_t length = frame.bytes.size();
    Record(frame, false);
    if (ignore) return;
    // With wire time the frame is complete only once its last byte would have crossed the line.
    if (wire && !SleepUntil(event.firstByte + ByteTime(rate) * static_cast<Clock::rep>(length))) return;
    if (refused) {
        SendStatus(StatusFrame(0x01), std::nullopt);
        return;
    }
    Answer(frame, fault);
}

}  // namespace ryx::sim
