// A reader's life inside the driver: from the channel that opened it to the last call that used it, and the
// presence monitor that asks the reader about its slots while pcscd polls them.
#include "pcsc/reader.h"

#include <algorithm>
#include <chrono>

#include "pcsc/line_probe.h"
#include "pcsc/log.h"
#include "pcsc/status_map.h"

namespace ryx::pcsc {

namespace {

using Clock = std::chrono::steady_clock;

Millis Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// lastOpenStatus_ after a probe that heard nothing: no status of the library's.
constexpr std::uint32_t kSilentLine = 0xFFFFFFFFu;

Clock::time_point At(Millis ms) {
    return Clock::time_point(std::chrono::milliseconds(ms));
}

// The firmware version text, read with the same escape command the library identifies the reader with; empty when
// the reader does not give it (the attributes that show it are then empty too).
std::string ReadFirmware(RYX_HANDLE handle) {
    const std::uint8_t command[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
    std::uint8_t reply[64];
    std::uint32_t length = 0;
    constexpr std::uint32_t kHeader = 5;  // reply bytes before the text
    if (RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, command, sizeof command, reply, sizeof reply, &length) !=
            RYX_SUCCESS ||
        length <= kHeader) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(reply + kHeader), length - kHeader);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

OpenResult OpenReaderOn(const std::string& path) {
    OpenResult result;
    result.status = RYX_OpenA(path.c_str(), &result.handle);
    if (result.status != RYX_SUCCESS) {
        result.handle = nullptr;
        return result;
    }
    if (RYX_GetNumSlots(result.handle, &result.slotCount) != RYX_SUCCESS || result.slotCount == 0) {
        (void)RYX_Close(result.handle);
        return {RYX_ERROR_GEN_FAILURE, nullptr, 0, {}};
    }
    result.firmware = ReadFirmware(result.handle);
    return result;
}

OpenResult LookForReaderOn(const std::string& path, const std::atomic<bool>& stop) {
    switch (ProbeLine(path, stop)) {
        case LineProbe::kAnswers:
        case LineProbe::kCannotOpen:
            if (!stop.load()) return OpenReaderOn(path);
            break;
        case LineProbe::kSilent:
        case LineProbe::kStopped:
            break;
    }
    OpenResult silent;
    silent.status = RYX_ERROR_GEN_FAILURE;
    silent.silent = true;
    return silent;
}

Reader::Reader(RYX_HANDLE handle, std::string deviceName, std::string path, DriverOptions options,
               std::uint32_t slotCount, std::string firmware)
    : handle_(handle),
      deviceName_(std::move(deviceName)),
      options_(options),
      facts_{std::move(firmware), std::move(path)},
      channelOpen_(slotCount, false),
      watch_(slotCount) {
    slots_.reserve(slotCount);
    for (std::uint32_t i = 0; i < slotCount; ++i) slots_.push_back(std::make_unique<SlotState>());
    readerSlots_ = slotCount;
}

Reader::Reader(std::string deviceName, std::string path, DriverOptions options, std::future<OpenResult> pending,
               StopFlag stop)
    : Reader(nullptr, std::move(deviceName), std::move(path), options, kMostSlots, {}) {
    stop_ = std::move(stop);
    readerSlots_ = 0;
    answered_ = false;
    pending_ = std::move(pending);
    for (Watch& w : watch_) w.presence = Presence::kReaderGone;
    monitorStarted_ = true;
    monitor_ = std::thread([this] { Monitor(); });
}

Reader::~Reader() {
    {
        std::lock_guard lock(pollMutex_);
        ending_ = true;
    }
    stop_->store(true);
    pollChanged_.notify_all();
    if (monitor_.joinable()) monitor_.join();
    if (handle_ != nullptr) (void)RYX_Close(handle_);
    if (pending_.valid()) {
        const OpenResult late = pending_.get();
        if (late.handle != nullptr) (void)RYX_Close(late.handle);
    }
}

void Reader::OpenChannel(std::uint32_t slot) {
    std::lock_guard lock(channelMutex_);
    channelOpen_[slot] = true;
}

bool Reader::CloseChannel(std::uint32_t slot) {
    std::lock_guard lock(channelMutex_);
    if (slot < channelOpen_.size()) channelOpen_[slot] = false;
    return std::none_of(channelOpen_.begin(), channelOpen_.end(), [](bool open) { return open; });
}

Presence Reader::SeenPresence(std::uint32_t slot) {
    std::lock_guard lock(pollMutex_);
    return monitorStarted_ ? watch_[slot].presence : Presence::kUnknown;
}

void Reader::NotePresence(std::uint32_t slot, Presence presence, bool answered) {
    std::lock_guard lock(pollMutex_);
    if (answered) watch_[slot].lastAnswer = Now();
    SetPresence(slot, presence);
}

bool Reader::TakeFirstCheck(std::uint32_t slot) {
    std::lock_guard lock(pollMutex_);
    if (answered_ || watch_[slot].firstCheckDone) return false;
    watch_[slot].firstCheckDone = true;
    return true;
}

void Reader::NoteReported(std::uint32_t slot) {
    std::lock_guard lock(pollMutex_);
    watch_[slot].reported = watch_[slot].changes;
}

void Reader::SetPresence(std::uint32_t slot, Presence presence) {
    Watch& w = watch_[slot];
    if (w.presence == presence) return;
    w.presence = presence;
    ++w.changes;
    pollChanged_.notify_all();
}

void Reader::Poll(std::uint32_t slot, int timeoutMs) {
    std::unique_lock lock(pollMutex_);
    if (!monitorStarted_) {
        monitor_ = std::thread([this] { Monitor(); });
        monitorStarted_ = true;
    }
    const Millis deadline = Now() + std::max(timeoutMs, 0);
    pollChanged_.wait_until(lock, At(deadline), [&] {
        const Watch& w = watch_[slot];
        return w.stop || ending_ || w.changes != w.reported;
    });
    watch_[slot].stop = false;  // a stop wakes one wait: pcscd also uses it to make its thread look at a slot now
}

void Reader::StopPolling(std::uint32_t slot) {
    std::lock_guard lock(pollMutex_);
    watch_[slot].stop = true;
    pollChanged_.notify_all();
}

// The one thread that asks the reader about its slots while pcscd polls, and opens it again when it went away.
// Only this thread changes handle_, so it reads it without the line lock.
void Reader::Monitor() {
    std::uint32_t lastSlot = SlotCount() - 1;
    Millis lastQuery = kNever;
    Millis lastReopen = kNever;
    std::vector<Millis> lastAnswer(SlotCount());
    std::unique_lock lock(pollMutex_);
    while (!ending_) {
        const Millis now = Now();
        const bool gone = handle_ == nullptr;
        PollChoice choice;
        if (gone) {
            choice.at = NextReopen(lastReopen, now);
        } else {
            for (std::uint32_t s = 0; s < SlotCount(); ++s) lastAnswer[s] = watch_[s].lastAnswer;
            choice = NextPresenceQuery(lastAnswer, lastQuery, lastSlot, now);
        }
        if (choice.at > now) {
            // Any change wakes the monitor early; it then decides again.
            pollChanged_.wait_until(lock, At(choice.at));
            continue;
        }
        lock.unlock();
        if (gone) {
            lastReopen = Now();
            (void)Reopen();
        } else if (choice.slot) {
            lastQuery = Now();
            lastSlot = *choice.slot;
            if (!AskPresence(*choice.slot)) LoseReader();
        }
        lock.lock();
    }
}

bool Reader::AskPresence(std::uint32_t slot) {
    if (slot >= readerSlots_) {
        // A slot pcscd was told of before the reader answered, which the reader does not have.
        NotePresence(slot, Presence::kAbsent);
        return true;
    }
    std::shared_lock line(lineMutex_);
    SlotState& state = Slot(slot);
    std::lock_guard slotLock(state.mutex);
    std::uint32_t icc = RYX_ICC_UNKNOWN;
    const std::uint32_t status = RYX_GetIccStatus(handle_, slot, &icc);
    Presence seen = Presence::kUnknown;
    if (status == RYX_SUCCESS) {
        if (icc == RYX_ICC_ABSENT) seen = Presence::kAbsent;
        if (icc == RYX_ICC_PRESENT || icc == RYX_ICC_POWERED) seen = Presence::kPresent;
    } else {
        switch (MapStatus(status, Operation::kPresence)) {
            case IFD_ICC_NOT_PRESENT:
                seen = Presence::kAbsent;
                break;
            case IFD_ICC_PRESENT:
                seen = Presence::kPresent;
                break;
            case IFD_NO_SUCH_DEVICE:
                return false;
            default:
                break;
        }
    }
    if (seen == Presence::kUnknown) return true;  // nothing learnt; the next turn asks again
    if (seen == Presence::kAbsent) state.ClearCard();
    NotePresence(slot, seen);
    return true;
}

void Reader::LoseReader() {
    RYX_HANDLE old = nullptr;
    {
        // Waits for the calls in progress; later calls find no handle and fail at once.
        std::unique_lock line(lineMutex_);
        old = handle_;
        handle_ = nullptr;
        for (auto& slot : slots_) slot->ClearCard();
    }
    LogError("the reader on '%s' does not answer: it counts as unavailable until it answers again",
             facts_.devicePath.c_str());
    {
        std::lock_guard lock(pollMutex_);
        for (std::uint32_t s = 0; s < SlotCount(); ++s) SetPresence(s, Presence::kReaderGone);
    }
    // Closing powers every slot off through the retries of each; on a dead line the shortest time-outs suffice.
    const LinkTimeouts shortest{0, 0, 0, 0};
    (void)RYX_SetTimeouts(old, &shortest);
    (void)RYX_Close(old);
}

bool Reader::Reopen() {
    OpenResult found;
    if (pending_.valid()) {
        found = pending_.get();  // the open that was under way when the channel was taken
    } else {
        found = LookForReaderOn(facts_.devicePath, *stop_);
    }
    if (found.silent) {
        if (lastOpenStatus_ != kSilentLine) {
            LogError("nothing answers on '%s' at any rate; looking again every second", facts_.devicePath.c_str());
        }
        lastOpenStatus_ = kSilentLine;
        return false;
    }
    if (found.status != RYX_SUCCESS) {
        if (found.status != lastOpenStatus_) {
            LogError("RYX_Open failed on '%s': %s; trying again every second", facts_.devicePath.c_str(),
                     DescribeStatus(found.status).c_str());
        }
        lastOpenStatus_ = found.status;
        return false;
    }
    lastOpenStatus_ = RYX_SUCCESS;
    if (!Adopt(std::move(found))) return false;
    for (std::uint32_t s = 0; s < SlotCount(); ++s) {
        if (!AskPresence(s)) {
            LoseReader();
            return false;
        }
    }
    return true;
}

bool Reader::Adopt(OpenResult found) {
    const bool first = readerSlots_ == 0;
    if (first ? found.slotCount > SlotCount() : found.slotCount != readerSlots_) {
        LogError(
            "the reader on '%s' answers with %u slots where pcscd knows %u; it stays unavailable until pcscd "
            "restarts",
            facts_.devicePath.c_str(), found.slotCount, first ? SlotCount() : readerSlots_);
        (void)RYX_Close(found.handle);
        return false;
    }
    {
        std::unique_lock line(lineMutex_);
        handle_ = found.handle;
        if (first) facts_.firmware = std::move(found.firmware);
    }
    readerSlots_ = found.slotCount;
    {
        std::lock_guard lock(pollMutex_);
        answered_ = true;
    }
    if (first) {
        LogError("the reader on '%s' answers: %u slots", facts_.devicePath.c_str(), readerSlots_);
    } else {
        LogError("the reader on '%s' answers again", facts_.devicePath.c_str());
    }
    return true;
}

}  // namespace ryx::pcsc
