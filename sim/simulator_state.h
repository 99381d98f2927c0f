// The inside of a Simulator, private to sim/. Its work is spread over files that each do one part of it: the
// public members (simulator.cpp), the reader's life on a pty (pty_life.cpp), the serving loop that takes frames
// off the line (serving_loop.cpp), the answering of a frame (answering.cpp) and the reader's transmitter
// (line_output.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/fault_plan.h"
#include "sim/frame_assembler.h"
#include "sim/reader_device.h"
#include "sim/simulator.h"

namespace ryx::sim {

using Clock = std::chrono::steady_clock;

// A byte on the line at `rate` bit/s: start bit, 8 data bits, stop bit.
[[nodiscard]] Clock::duration ByteTime(std::uint32_t rate);

struct Simulator::State {
    explicit State(Config c) : config(std::move(c)), device(config), assembler(device.ReceiveLimit()) {
        // A test that fails against the simulator can be rerun with its conversation on standard error.
        if (const char* env = std::getenv("RYX_SIM_TRACE"); env != nullptr && *env != '\0' && *env != '0') {
            config.trace = true;
        }
        wireTime = config.wireTime;
        if (config.chaosRate > 0.0) faults.SetChaos(config.chaosRate, config.chaosSeed);
    }

    // Everything below is guarded by mu, except the file descriptors and the assembler, which belong to the serving
    // thread while it runs. Recursive, so that an APDU handler running on the serving thread may call back.
    mutable std::recursive_mutex mu;
    mutable std::condition_variable_any changed;
    Config config;
    ReaderDevice device;
    FaultPlan faults;
    bool silent = false;
    bool wireTime = false;
    std::vector<FrameRecord> received;
    std::vector<FrameRecord> sent;
    std::vector<SetParametersRecord> setParameters;
    std::optional<std::vector<std::uint8_t>> lastResponse;  // answered again after a RepeatRequest
    std::optional<std::vector<std::uint8_t>> lastTaken;     // the last command frame executed

    int master = -1;
    int slave = -1;  // kept open so that the master never sees a hang-up while the host has the port closed
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string slavePath;
    std::string link;  // a symbolic link kept pointing at the slave while the reader is there; empty for none
    std::mutex lifecycle;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    FrameAssembler assembler;
    Clock::time_point lineFreeAt{};  // wire time: when the reader's transmitter has sent its last byte

    // --- serving_loop.cpp ---
    void Serve();
    void Handle(FrameAssembler::Event event);
    void Record(FrameRecord record, bool isSent);

    // --- answering.cpp ---
    // Answers a frame the reader listens to: the fault's status, or the status and the response.
    void Answer(const FrameRecord& frame, const std::optional<Fault>& fault);
    void AnswerRepeat(const std::optional<Fault>& fault);
    struct Executed {
        std::vector<std::uint8_t> response;    // the response frame, kept for a RepeatRequest
        std::optional<std::uint32_t> newRate;  // the reader moves to this speed once the status is out
        std::uint32_t rate = 0;                // the speed the response goes out at
    };
    // Carries out the message (or the reply faults that replace it) and keeps the response for a repeat.
    Executed Execute(const FrameRecord& frame, const std::optional<Fault>& fault);
    // A retransmission of the last command frame: its response again, nothing executed.
    Executed Resend();
    void SendResponse(std::vector<std::uint8_t> frame, const std::optional<Fault>& fault, std::uint32_t rate);
    bool SendStatus(std::span<const std::uint8_t> bytes, const std::optional<Fault>& fault);

    // --- line_output.cpp ---
    // Sends bytes as the reader's transmitter at `rate` would (paced when wire time is on); 0 = the current rate.
    bool Write(std::span<const std::uint8_t> bytes, std::uint32_t rate = 0);
    bool WriteNow(std::span<const std::uint8_t> bytes);
    // False when Stop() cut the sleep short.
    bool SleepUntil(Clock::time_point when);
    bool SleepFor(Clock::duration d) { return SleepUntil(Clock::now() + d); }

    // --- pty_life.cpp ---
    // The reader's life; Start, Stop, Replug and SetLink hold `lifecycle` around them, so that one of them runs at a
    // time (never under mu: Close() joins the serving thread, which takes mu).
    // Opens a fresh pty at the reader's current speed and starts serving it; false (errno set) on failure.
    bool Open();
    // Ends the serving thread, closes the pty and removes the link.
    void Close();
    // With mu held: makes `link` point at the slave (an old symbolic link in the way is replaced, nothing else);
    // removes it only while it still points at our slave, since someone may have replaced it.
    bool CreateLink();
    void RemoveLink();
    // With mu held: marks the reader stopped, powers its card off, removes the link and closes the pty; waiters on
    // `changed` are woken.
    void Unplug();
    // A vanish fault: the reader is unplugged from its own serving thread.
    void Vanish();
};

}  // namespace ryx::sim
