#include "sim/simulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "sim/fault_plan.h"
#include "sim/frame.h"
#include "sim/frame_assembler.h"
#include "sim/pty_termios.h"
#include "sim/reader_device.h"
#include "sim/trace.h"

namespace ryx::sim {
namespace {

// Faults that make the reader build a reply of a kind it would not send otherwise.
bool ChangesTheReply(const std::optional<Fault>& fault) noexcept {
    if (!fault) return false;
    switch (fault->kind) {
        case FaultKind::kWrongType:
        case FaultKind::kWrongSlot:
        case FaultKind::kWrongSequence:
        case FaultKind::kStatusError:
        case FaultKind::kRefuseSetParameters:
            return true;
        default:
            return false;
    }
}

// Faults that leave a command frame untaken, or the reader gone: such a frame is neither executed nor answered.
bool IsStatusFault(const std::optional<Fault>& fault) noexcept {
    if (!fault) return false;
    switch (fault->kind) {
        case FaultKind::kRefuseStatus:
        case FaultKind::kNoStatus:
        case FaultKind::kBadStatusStart:
        case FaultKind::kBadStatusEnd:
        case FaultKind::kBadStatusCheck:
        case FaultKind::kGarbage:
        case FaultKind::kVanish:
            return true;
        default:
            return false;
    }
}

using Clock = std::chrono::steady_clock;

// A frame that stops arriving for this long is dropped, so that the next start byte begins afresh.
constexpr auto kSilenceGap = std::chrono::milliseconds(100);

// A byte on the line: start bit, 8 data bits, stop bit.
Clock::duration ByteTime(std::uint32_t rate) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / std::max(rate, 1u)));
}

void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

}  // namespace

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

    void Serve();
    void Handle(FrameAssembler::Event event);
    // Answers a frame the reader listens to: the fault's status, or the status and the response.
    void Answer(const FrameRecord& frame, const std::optional<Fault>& fault);
    void AnswerRepeat(const std::optional<Fault>& fault);
    // Sends the status of a fault that leaves the frame untaken (or nothing); false when the fault is not one.
    bool SendFaultyStatus(const std::optional<Fault>& fault);
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
    // Sends bytes as the reader's transmitter at `rate` would (paced when wire time is on); 0 = the current rate.
    bool Write(std::span<const std::uint8_t> bytes, std::uint32_t rate = 0);
    bool WriteNow(std::span<const std::uint8_t> bytes);
    bool SleepUntil(Clock::time_point when);
    bool SleepFor(Clock::duration d) { return SleepUntil(Clock::now() + d); }
    void Record(FrameRecord record, bool isSent);
    void Vanish();

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
};

Simulator::Simulator(Config config) : state_(std::make_unique<State>(std::move(config))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    if (s.thread.joinable()) return true;
    if (!s.Open()) return false;
    std::lock_guard lock(s.mu);
    return s.link.empty() || s.CreateLink();
}

void Simulator::Stop() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    s.Close();
}

bool Simulator::Replug() {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    if (s.running) return true;
    s.Close();  // joins a serving thread that ended when a vanish fault closed the pty
    {
        std::lock_guard lock(s.mu);
        s.device.PowerOnReset(s.config.rate);
        s.lastResponse.reset();
        s.lastTaken.reset();
        s.lineFreeAt = {};
        s.assembler = FrameAssembler(s.device.ReceiveLimit());
    }
    if (!s.Open()) return false;
    std::lock_guard lock(s.mu);
    return s.link.empty() || s.CreateLink();
}

bool Simulator::SetLink(std::string path) {
    State& s = *state_;
    std::lock_guard life(s.lifecycle);
    std::lock_guard lock(s.mu);
    if (!s.link.empty()) s.RemoveLink();
    s.link = std::move(path);
    if (s.link.empty() || !s.running) return true;
    if (s.CreateLink()) return true;
    const int saved = errno;
    s.link.clear();
    errno = saved;
    return false;
}

std::string Simulator::Link() const {
    std::lock_guard lock(state_->mu);
    return state_->link;
}

bool Simulator::State::Open() {
    int masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd < 0) return false;
    char name[128];
    int slaveFd = -1;
    int pipeFds[2] = {-1, -1};
    auto fail = [&] {
        const int saved = errno;
        if (slaveFd >= 0) ::close(slaveFd);
        if (pipeFds[0] >= 0) ::close(pipeFds[0]);
        if (pipeFds[1] >= 0) ::close(pipeFds[1]);
        ::close(masterFd);
        errno = saved;
        return false;
    };
    if (::grantpt(masterFd) != 0 || ::unlockpt(masterFd) != 0 || ::ptsname_r(masterFd, name, sizeof name) != 0)
        return fail();
    slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0) return fail();
    std::uint32_t rate = 0;
    {
        std::lock_guard lock(mu);
        rate = device.Rate();
    }
    // A new pty is cooked and echoes: make it a raw line at the reader's speed before any host sees it. This goes
    // through the slave; the master's termios is never written, since on Linux it is the slave's.
    if (!SetRawAtSpeed(slaveFd, rate)) return fail();
    if (::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK) != 0) return fail();
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return fail();
    {
        std::lock_guard lock(mu);
        this->master = masterFd;
        this->slave = slaveFd;
        wakeRead = pipeFds[0];
        wakeWrite = pipeFds[1];
        slavePath = name;
        stopping = false;
        running = true;
    }
    try {
        thread = std::thread([this] { Serve(); });
    } catch (const std::system_error&) {
        std::lock_guard lock(mu);
        running = false;
        CloseFd(&this->master);
        CloseFd(&this->slave);
        CloseFd(&wakeRead);
        CloseFd(&wakeWrite);
        errno = EAGAIN;
        return false;
    }
    return true;
}

void Simulator::State::Close() {
    if (thread.joinable()) {
        stopping = true;
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeWrite, &byte, 1);
        thread.join();
    }
    std::lock_guard lock(mu);
    Unplug();
    CloseFd(&wakeRead);
    CloseFd(&wakeWrite);
}

void Simulator::State::Unplug() {
    running = false;
    device.PowerOnReset(config.rate);  // an unplugged reader powers no card
    lastTaken.reset();
    RemoveLink();
    CloseFd(&master);
    CloseFd(&slave);
    changed.notify_all();
}

bool Simulator::State::CreateLink() {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        ::unlink(link.c_str());
    }
    return ::symlink(slavePath.c_str(), link.c_str()) == 0;
}

void Simulator::State::RemoveLink() {
    if (link.empty() || slavePath.empty()) return;
    std::vector<char> buf(slavePath.size() + 2);
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == slavePath) ::unlink(link.c_str());
}

const std::string& Simulator::SlavePath() const {
    return state_->slavePath;
}

bool Simulator::Running() const {
    return state_->running;
}

void Simulator::InsertCard(std::size_t slot, std::span<const std::uint8_t> atr) {
    std::lock_guard lock(state_->mu);
    state_->device.InsertCard(slot, atr);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::InsertCard(std::size_t slot, SlotCard card) {
    std::lock_guard lock(state_->mu);
    state_->device.InsertCard(slot, std::move(card));
}

bool Simulator::SetAtr(std::size_t slot, std::span<const std::uint8_t> atr) {
    std::lock_guard lock(state_->mu);
    state_->lastTaken.reset();
    return state_->device.SetAtr(slot, atr);
}

SlotCard Simulator::Card(std::size_t slot) const {
    std::lock_guard lock(state_->mu);
    return state_->device.Card(slot);
}

void Simulator::RemoveCard(std::size_t slot) {
    std::lock_guard lock(state_->mu);
    state_->device.RemoveCard(slot);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetMute(std::size_t slot, bool mute) {
    std::lock_guard lock(state_->mu);
    state_->device.SetMute(slot, mute);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetApduHandler(ApduHandler handler) {
    std::lock_guard lock(state_->mu);
    state_->device.SetExecutor(std::move(handler));
}

bool Simulator::Powered(std::size_t slot) const {
    std::lock_guard lock(state_->mu);
    return state_->device.Powered(slot);
}

std::uint8_t Simulator::IccStatus(std::size_t slot) const {
    std::lock_guard lock(state_->mu);
    return state_->device.IccStatus(slot);
}

Model Simulator::GetModel() const {
    std::lock_guard lock(state_->mu);
    return state_->device.model();
}

void Simulator::SetModel(Model model) {
    std::lock_guard lock(state_->mu);
    state_->device.SetModel(model);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetFirmware(std::string text) {
    std::lock_guard lock(state_->mu);
    state_->device.SetFirmware(std::move(text));
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetRate(std::uint32_t rate) {
    std::lock_guard lock(state_->mu);
    state_->config.rate = rate;  // also the speed it comes back at after Replug()
    state_->device.SetRate(rate);
}

void Simulator::SetBlockSize(std::uint32_t size) {
    std::lock_guard lock(state_->mu);
    state_->device.SetBlockSize(size);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetSilent(bool silent) {
    std::lock_guard lock(state_->mu);
    state_->silent = silent;
}

void Simulator::SetWireTime(bool on) {
    std::lock_guard lock(state_->mu);
    state_->wireTime = on;
}

std::uint32_t Simulator::Rate() const {
    std::lock_guard lock(state_->mu);
    return state_->device.Rate();
}

std::uint32_t Simulator::BlockSize() const {
    std::lock_guard lock(state_->mu);
    return state_->device.BlockSize();
}

std::size_t Simulator::SlotCount() const {
    std::lock_guard lock(state_->mu);
    return state_->device.SlotCount();
}

std::uint32_t Simulator::HostSpeed() const {
    // Under the lock: Stop() and a vanishing reader close the master under it.
    std::lock_guard lock(state_->mu);
    return state_->master >= 0 ? ReadSpeed(state_->master) : 0;
}

void Simulator::QueueFault(const Fault& fault) {
    std::lock_guard lock(state_->mu);
    state_->faults.Queue(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard lock(state_->mu);
    state_->faults.Clear();
}

std::size_t Simulator::PendingFaults() const {
    std::lock_guard lock(state_->mu);
    return state_->faults.Pending();
}

void Simulator::SetChaos(double rate, std::uint64_t seed, std::vector<FaultKind> kinds) {
    std::lock_guard lock(state_->mu);
    state_->faults.SetChaos(rate, seed, std::move(kinds));
}

FaultCounters Simulator::FaultsInjected() const {
    std::lock_guard lock(state_->mu);
    return state_->faults.Counters();
}

std::vector<FrameRecord> Simulator::ReceivedFrames() const {
    std::lock_guard lock(state_->mu);
    return state_->received;
}

std::vector<FrameRecord> Simulator::SentFrames() const {
    std::lock_guard lock(state_->mu);
    return state_->sent;
}

std::vector<SetParametersRecord> Simulator::SetParametersMessages() const {
    std::lock_guard lock(state_->mu);
    return state_->setParameters;
}

bool Simulator::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->received.size() >= count; });
}

bool Simulator::WaitForSentFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->sent.size() >= count; });
}

void Simulator::ClearRecords() {
    std::lock_guard lock(state_->mu);
    state_->received.clear();
    state_->sent.clear();
    state_->setParameters.clear();
}

// ---- the serving thread ------------------------------------------------------------------------------------------

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

void Simulator::State::Answer(const FrameRecord& frame, const std::optional<Fault>& fault) {
    const FaultKind kind = fault ? fault->kind : FaultKind::kPass;
    if (kind == FaultKind::kVanish) {
        Vanish();
        return;
    }
    if (frame.kind == FrameRecord::Kind::kRepeatRequest) {
        AnswerRepeat(fault);
        return;
    }
    if (SendFaultyStatus(fault)) return;  // the frame is not taken
    const bool delayStatus = kind == FaultKind::kDelayStatus;
    if (delayStatus && !SleepFor(fault->delay)) return;
    Executed executed = frame.retransmission ? Resend() : Execute(frame, fault);
    if (!SendStatus(StatusFrame(0x00), delayStatus ? fault : std::nullopt)) return;
    if (executed.newRate) {
        // The confirmation goes out at the old speed, but the reader listens at the new one before the host can
        // have read it: a host that changes its port at once and sends must find the reader there.
        std::lock_guard lock(mu);
        device.SetRate(*executed.newRate);
    }
    SendResponse(std::move(executed.response), delayStatus ? std::nullopt : fault, executed.rate);
}

void Simulator::State::AnswerRepeat(const std::optional<Fault>& fault) {
    std::optional<std::vector<std::uint8_t>> again;
    std::uint32_t rate = 0;
    {
        std::lock_guard lock(mu);
        again = lastResponse;
        rate = device.Rate();
    }
    // Nothing to repeat yet: a reader has nothing to say.
    if (again) SendResponse(std::move(*again), fault, rate);
}

bool Simulator::State::SendFaultyStatus(const std::optional<Fault>& fault) {
    if (!fault) return false;
    switch (fault->kind) {
        case FaultKind::kRefuseStatus:
            SendStatus(StatusFrame(0x01), fault);
            return true;
        case FaultKind::kNoStatus:
            return true;
        case FaultKind::kBadStatusStart: {
            const std::uint8_t status[] = {0x05, 0x00, 0x00, kEndByte};
            SendStatus(status, fault);
            return true;
        }
        case FaultKind::kBadStatusEnd: {
            const std::uint8_t status[] = {kStartByte, 0x00, 0x00, 0x05};
            SendStatus(status, fault);
            return true;
        }
        case FaultKind::kBadStatusCheck: {
            const std::uint8_t status[] = {kStartByte, 0x00, 0x01, kEndByte};
            SendStatus(status, fault);
            return true;
        }
        case FaultKind::kGarbage:
            SendStatus(fault->garbage, fault);
            return true;
        default:
            return false;
    }
}

Simulator::State::Executed Simulator::State::Execute(const FrameRecord& frame, const std::optional<Fault>& fault) {
    const FaultKind kind = fault ? fault->kind : FaultKind::kPass;
    const auto message = std::span(frame.bytes).subspan(1, frame.bytes.size() - kFrameOverhead);
    std::lock_guard lock(mu);
    ReaderDevice::Outcome outcome;
    if (kind == FaultKind::kStatusError && (fault->bStatus & 0xC0) != 0) {
        // A failed command is not carried out.
        outcome.reply = device.StatusReply(message, fault->bStatus, fault->bError);
    } else if (kind == FaultKind::kRefuseSetParameters) {
        outcome = device.RefuseSetParameters(message);
    } else {
        outcome = device.Handle(message);
        if (kind == FaultKind::kStatusError) {
            outcome.reply[7] = fault->bStatus;
            outcome.reply[8] = fault->bError;
        }
    }
    if (kind == FaultKind::kWrongType) outcome.reply[0] ^= 0x01;
    if (kind == FaultKind::kWrongSlot) ++outcome.reply[5];
    if (kind == FaultKind::kWrongSequence) ++outcome.reply[6];
    if (outcome.setParameters) setParameters.push_back(std::move(*outcome.setParameters));
    Executed executed;
    executed.response = BuildFrame(outcome.reply);
    executed.newRate = outcome.newRate;
    executed.rate = device.Rate();
    lastResponse = executed.response;
    lastTaken = frame.bytes;
    return executed;
}

Simulator::State::Executed Simulator::State::Resend() {
    std::lock_guard lock(mu);
    Executed executed;
    executed.response = *lastResponse;
    executed.rate = device.Rate();
    return executed;
}

bool Simulator::State::SendStatus(std::span<const std::uint8_t> bytes, const std::optional<Fault>& fault) {
    // Recorded before it goes out, so that a host that has read it finds it in the records.
    FrameRecord record;
    record.kind = FrameRecord::Kind::kStatus;
    record.bytes.assign(bytes.begin(), bytes.end());
    if (fault) record.fault = fault->kind;
    {
        std::lock_guard lock(mu);
        record.readerRate = device.Rate();
    }
    record.hostSpeed = master >= 0 ? ReadSpeed(master) : 0;
    record.time = Clock::now();
    Record(std::move(record), true);
    return Write(bytes);
}

void Simulator::State::SendResponse(std::vector<std::uint8_t> frame, const std::optional<Fault>& fault,
                                    std::uint32_t rate) {
    const FaultKind kind = fault ? fault->kind : FaultKind::kPass;
    if (kind == FaultKind::kDamageResponse) {
        frame[std::min(fault->offset, frame.size() - 2)] ^= 0x01;
    } else if (kind == FaultKind::kTruncateResponse) {
        const std::size_t keep = fault->length != 0 ? std::min(fault->length, frame.size() - 1) : frame.size() / 2;
        frame.resize(std::max<std::size_t>(keep, 1));
    } else if (kind == FaultKind::kDelayResponse) {
        if (!SleepFor(fault->delay)) return;
    }
    FrameRecord record;
    record.kind = FrameRecord::Kind::kResponse;
    record.header = FrameHeader(frame);
    record.bytes = frame;
    if (fault) record.fault = fault->kind;
    record.readerRate = rate;
    record.hostSpeed = master >= 0 ? ReadSpeed(master) : 0;
    record.time = Clock::now();
    Record(std::move(record), true);
    if (kind == FaultKind::kChunkResponse && !fault->chunks.empty()) {
        std::size_t offset = 0;
        for (std::size_t i = 0; offset < frame.size(); ++i) {
            const std::size_t size =
                std::min(fault->chunks[std::min(i, fault->chunks.size() - 1)], frame.size() - offset);
            if (offset != 0 && !SleepFor(fault->gap)) return;
            if (!Write(std::span(frame).subspan(offset, size), rate)) return;
            offset += size;
        }
    } else {
        Write(frame, rate);
    }
}

bool Simulator::State::Write(std::span<const std::uint8_t> bytes, std::uint32_t rate) {
    bool wire = false;
    {
        std::lock_guard lock(mu);
        wire = wireTime;
        if (rate == 0) rate = device.Rate();
    }
    if (!wire) return WriteNow(bytes);
    // Deliver the bytes when they would have arrived over the line, in pieces of about a millisecond of line time.
    const auto byteTime = ByteTime(rate);
    const auto start = std::max(Clock::now(), lineFreeAt);
    const std::size_t piece = std::max<std::size_t>(1, rate / 10 / 1000);
    for (std::size_t off = 0; off < bytes.size(); off += piece) {
        const std::size_t n = std::min(piece, bytes.size() - off);
        if (!SleepUntil(start + byteTime * static_cast<Clock::rep>(off + n))) return false;
        if (!WriteNow(bytes.subspan(off, n))) return false;
    }
    lineFreeAt = start + byteTime * static_cast<Clock::rep>(bytes.size());
    return true;
}

bool Simulator::State::WriteNow(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        if (stopping || master < 0) return false;
        const ssize_t n = ::write(master, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // The host is not reading and the line's buffer is full: wait for room, or for Stop().
        pollfd fds[2] = {{master, POLLOUT, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
    }
    return true;
}

bool Simulator::State::SleepUntil(Clock::time_point when) {
    for (;;) {
        if (stopping) return false;
        const auto left = when - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd fd{wakeRead, POLLIN, 0};
        // Sleeping on the wake pipe lets Stop() cut a delay short.
        if (::ppoll(&fd, 1, &ts, nullptr) > 0) return false;
    }
}

void Simulator::State::Vanish() {
    // Unplugged: the pty and its link go away under the host's feet. Stop() or Replug() later joins the thread.
    std::lock_guard lock(mu);
    Unplug();
}

}  // namespace ryx::sim
