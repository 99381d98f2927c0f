// One ryx reader opened through a reader.conf entry, what the driver keeps about each of its slots, and the
// presence monitor that watches the slots for pcscd and opens the reader again after it went away.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <ryx.h>

#include "pcsc/device_name.h"
#include "pcsc/pcsc_headers.h"
#include "pcsc/poll_plan.h"
#include "pcsc/reader_attributes.h"

namespace ryx::pcsc {

// The driver's view of one slot. `mutex` is held for the whole of every operation on the slot, so that the cached
// ATR always belongs to the latest power action; pcscd serialises each slot's calls too, this only makes it sure.
struct SlotState {
    std::mutex mutex;
    std::array<std::uint8_t, MAX_ATR_SIZE> atr{};  // the ATR of the last successful power-up
    std::size_t atrLength = 0;                     // 0: no card powered through the driver
    DWORD protocol = 0;                            // SCARD_PROTOCOL_T0 or _T1 once selected, else 0

    void ClearCard() noexcept {
        atrLength = 0;
        protocol = 0;
    }
};

// The most slots a reader of the family has: what pcscd is told while a reader has not answered yet.
inline constexpr std::uint32_t kMostSlots = 3;

// What one attempt to open a reader found.
struct OpenResult {
    std::uint32_t status = 0;     // of RYX_OpenA; RYX_ERROR_GEN_FAILURE for a reader without slots
    RYX_HANDLE handle = nullptr;  // open (and owned by the receiver) when status is RYX_SUCCESS
    std::uint32_t slotCount = 0;
    std::string firmware;  // empty when the reader does not give it
    bool silent = false;   // nothing answered the line probe (or it was stopped): RYX_Open was not called
};

/** Opens the reader on `path` and reads its slot count and firmware text. Blocks for the open's rate scan. */
[[nodiscard]] OpenResult OpenReaderOn(const std::string& path);

/**
 * OpenReaderOn once the line probe heard something answer on `path` (or could not take the port, so that the open
 * names the cause); otherwise, within about a second or soon after `stop` is set, a result with `silent` set and
 * status RYX_ERROR_GEN_FAILURE.
 */
[[nodiscard]] OpenResult LookForReaderOn(const std::string& path, const std::atomic<bool>& stop);

/** Set to end a reader's search for good: its line probe stops, and no new open starts. Shared with that search. */
using StopFlag = std::shared_ptr<std::atomic<bool>>;

// What the presence monitor last saw of a slot.
enum class Presence : std::uint8_t { kUnknown, kAbsent, kPresent, kReaderGone };

class Reader {
public:
    /**
     * Takes over an open ryx handle. The handle is closed (every slot powered off) when the Reader is destroyed,
     * that is when the last call using it has returned.
     * @param handle     open handle, owned from now on.
     * @param deviceName the DEVICENAME it was opened with (options included).
     * @param path       the device path within it.
     * @param slotCount  RYX_GetNumSlots of the handle; at least 1.
     * @param firmware   the reader's firmware version text.
     */
    Reader(RYX_HANDLE handle, std::string deviceName, std::string path, DriverOptions options, std::uint32_t slotCount,
           std::string firmware);
    /**
     * A reader that has not answered yet: its kMostSlots slots count as unavailable while the presence monitor,
     * started at once, waits for `pending` (an open already under way) and then opens the path again every second
     * until a reader answers there with at most kMostSlots slots. Slots beyond the reader's own count read as empty.
     * Each attempt probes the line first (LookForReaderOn). `stop`, which `pending` also watches, is set when the
     * Reader ends, so that its end does not wait for a search in progress.
     */
    Reader(std::string deviceName, std::string path, DriverOptions options, std::future<OpenResult> pending,
           StopFlag stop);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /** The open handle; null while the reader is gone. Use it only while holding LineLock(). */
    [[nodiscard]] RYX_HANDLE Handle() const noexcept { return handle_; }
    /** Held (shared) by every call that uses Handle(); the monitor holds it alone to swap the handle. */
    [[nodiscard]] std::shared_mutex& LineMutex() noexcept { return lineMutex_; }
    [[nodiscard]] const std::string& DeviceName() const noexcept { return deviceName_; }
    [[nodiscard]] const DriverOptions& Options() const noexcept { return options_; }
    [[nodiscard]] const ReaderFacts& Facts() const noexcept { return facts_; }
    [[nodiscard]] std::uint32_t SlotCount() const noexcept { return static_cast<std::uint32_t>(slots_.size()); }
    /** The state of a slot below SlotCount(). */
    [[nodiscard]] SlotState& Slot(std::uint32_t slot) noexcept { return *slots_[slot]; }

    /** Counts a channel opened on a slot below SlotCount() (pcscd opens one per slot). */
    void OpenChannel(std::uint32_t slot);
    /** Forgets a slot's channel; true when no channel remains open on the reader. */
    [[nodiscard]] bool CloseChannel(std::uint32_t slot);

    /** What the monitor last saw of the slot; kUnknown before it runs. */
    [[nodiscard]] Presence SeenPresence(std::uint32_t slot);
    /** Records what a call saw of the slot's card (an answer counts as present, and makes the card fresh). */
    void NotePresence(std::uint32_t slot, Presence presence, bool answered = false);
    /**
     * True once per slot while the reader has never answered: pcscd drops a reader whose first presence check
     * fails, so that check reads as an empty slot; later ones read as unavailable.
     */
    [[nodiscard]] bool TakeFirstCheck(std::uint32_t slot);
    /** Remembers the presence pcscd was told, so that Poll waits for a change from it. */
    void NoteReported(std::uint32_t slot);

    /**
     * pcscd's polling thread for a slot: starts the monitor on first use, then waits until the slot's presence
     * differs from what was last reported, StopPolling is called, or timeoutMs runs out.
     */
    void Poll(std::uint32_t slot, int timeoutMs);
    /** Ends the slot's current Poll, or the next one when none is waiting. */
    void StopPolling(std::uint32_t slot);

private:
    struct Watch {
        Presence presence = Presence::kUnknown;
        std::uint64_t changes = 0;   // counts presence changes
        std::uint64_t reported = 0;  // `changes` when pcscd was last told
        Millis lastAnswer = kNever;  // when the card last answered an exchange
        bool stop = false;
        bool firstCheckDone = false;
    };

    void Monitor();
    void SetPresence(std::uint32_t slot, Presence presence);  // pollMutex_ held
    // Asks the reader about a slot; false when the reader no longer answers.
    bool AskPresence(std::uint32_t slot);
    void LoseReader();
    bool Reopen();
    // Takes a reader that an open found; false (and the handle closed) when it does not fit this Reader.
    bool Adopt(OpenResult found);

    RYX_HANDLE handle_;
    std::shared_mutex lineMutex_;
    std::string deviceName_;
    DriverOptions options_;
    ReaderFacts facts_;
    std::vector<std::unique_ptr<SlotState>> slots_;
    std::mutex channelMutex_;
    std::vector<bool> channelOpen_;  // by slot; guarded by channelMutex_
    // Set by the monitor only. readerSlots_: the reader's own slot count, 0 until it first answered.
    std::uint32_t readerSlots_ = 0;
    std::future<OpenResult> pending_;  // the open that was under way when the channel was taken
    StopFlag stop_ = std::make_shared<std::atomic<bool>>(false);
    std::uint32_t lastOpenStatus_ = 0;  // of the last failed attempt, so that each new cause is logged once

    std::mutex pollMutex_;  // guards what follows
    std::condition_variable pollChanged_;
    std::vector<Watch> watch_;  // by slot
    bool monitorStarted_ = false;
    bool answered_ = true;  // false until a reader that was not there at the start first answers
    bool ending_ = false;
    std::thread monitor_;
};

}  // namespace ryx::pcsc
