// The simulated smart-card reader: serves the master side of a pseudo-terminal on its own thread and answers the
// host on the slave side exactly as a reader on a serial line would. Used in-process by tests and by ryx_sim.
//
// Every public member is thread-safe. Run-time changes take effect from the next frame the reader handles.
// A Simulator talks to its host only through the pty: it never links or calls the ryx library.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/fault.h"
#include "sim/records.h"

namespace ryx::sim {

// Replaces the built-in card: called on the reader's thread with the slot and one whole command APDU (chained
// blocks already joined); returns the whole response APDU (the reader chains it back as needed).
using ApduHandler = std::function<std::vector<std::uint8_t>(std::uint8_t slot, std::span<const std::uint8_t> apdu)>;

class Simulator {
public:
    explicit Simulator(Config config = {});
    ~Simulator();  // Stop()s
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates the pty (slave kept open by the reader, raw, at the reader's rate) and starts serving it.
    // Returns false (errno set) when the pty cannot be created or the thread cannot start; true if already started.
    [[nodiscard]] bool Start();
    // Ends the serving thread, closes the pty and removes the link (SetLink): the reader is unplugged, and its cards
    // lose power. A host still using the slave sees its reads and writes fail, and the slave's path goes away. Safe to
    // call more than once, and after the reader vanished by a fault.
    void Stop();
    // Plugs the reader in again after Stop() or a kVanish fault, as a reader that powers up: a new pty (a new
    // slave path; a host still holding the old one keeps failing), the reader at its own line speed (the Config's,
    // or the last SetRate()), every card unpowered, cards and file contents kept, records and faults kept; the
    // link, if any, points at the new slave. True at once if the reader is there. False with errno set when the pty
    // cannot be made, or (the reader then serving) when the link cannot be made again.
    [[nodiscard]] bool Replug();
    // Makes `path` a symbolic link to the slave while the reader is there: made now (or at Start/Replug), removed
    // by Stop and a vanish fault, only while it still points at our slave. An old symbolic link in the way is
    // replaced, anything else is not (false, errno EEXIST, and no link is kept). An empty path drops the link.
    [[nodiscard]] bool SetLink(std::string path);
    [[nodiscard]] std::string Link() const;
    // The slave's path (e.g. "/dev/pts/5"); empty before Start(). Replug() changes it: read it from the thread that
    // replugs.
    [[nodiscard]] const std::string& SlavePath() const;
    // True between Start() (or Replug()) and Stop() unless a kVanish fault closed the pty.
    [[nodiscard]] bool Running() const;

    // --- cards -------------------------------------------------------------------------------------------------
    // Puts a card with this ATR in the slot: present, not powered, not mute, fresh file contents.
    void InsertCard(std::size_t slot, std::span<const std::uint8_t> atr);
    // Puts this card in the slot (present whatever card.present says), not powered.
    void InsertCard(std::size_t slot, SlotCard card);
    // Empties the slot (the card loses power).
    void RemoveCard(std::size_t slot);
    // The slot's card answers its next power-on with this ATR; its power and files are untouched. False (nothing
    // changed) when the slot is empty.
    [[nodiscard]] bool SetAtr(std::size_t slot, std::span<const std::uint8_t> atr);
    // The slot's card as it stands (present, ATR, mute).
    [[nodiscard]] SlotCard Card(std::size_t slot) const;
    // A mute card answers power-on with bStatus 0x41, bError 0xFE (a powered card loses power).
    void SetMute(std::size_t slot, bool mute);
    // Replaces the built-in card in every slot; an empty function restores it.
    void SetApduHandler(ApduHandler handler);
    [[nodiscard]] bool Powered(std::size_t slot) const;
    // bmICCStatus as the reader would report it: 0 present and active, 1 present and inactive, 2 no card.
    [[nodiscard]] std::uint8_t IccStatus(std::size_t slot) const;

    // --- the reader ------------------------------------------------------------------------------------------
    // A model change also sets the default firmware text and block size of the new model, unless overridden.
    void SetModel(Model model);
    [[nodiscard]] Model GetModel() const;
    void SetFirmware(std::string text);  // version text after the 5 header bytes of the firmware reply
    void SetRate(std::uint32_t rate);    // the reader's own line speed, bit/s (also after a Replug())
    void SetBlockSize(std::uint32_t size);
    void SetSilent(bool silent);  // switched off: frames are recorded but nothing is answered
    void SetWireTime(bool on);
    [[nodiscard]] std::uint32_t Rate() const;
    [[nodiscard]] std::uint32_t BlockSize() const;
    [[nodiscard]] std::size_t SlotCount() const;
    // The host's port speed read from the pty now (0 when it cannot be read).
    [[nodiscard]] std::uint32_t HostSpeed() const;

    // --- faults ----------------------------------------------------------------------------------------------
    // Queued faults apply in order: the first applies to the next `count` frames it fits (frames it does not fit
    // pass normally), then the next one takes over. Random faults (SetChaos) apply only when no queued fault does.
    void QueueFault(const Fault& fault);
    void ClearFaults();
    [[nodiscard]] std::size_t PendingFaults() const;
    // Random faults: each frame gets one with probability `rate` (0 turns them off), drawn from `kinds` (empty: a mix
    // of every kind the host can recover from, with delays short of any time-out; never kVanish or kPass).
    void SetChaos(double rate, std::uint64_t seed, std::vector<FaultKind> kinds = {});
    [[nodiscard]] FaultCounters FaultsInjected() const;

    // --- records ---------------------------------------------------------------------------------------------
    [[nodiscard]] std::vector<FrameRecord> ReceivedFrames() const;  // command frames and RepeatRequests
    [[nodiscard]] std::vector<FrameRecord> SentFrames() const;      // status and response frames
    [[nodiscard]] std::vector<SetParametersRecord> SetParametersMessages() const;
    // Waits until at least `count` frames have been received (sent) since the last ClearRecords(), or the timeout.
    [[nodiscard]] bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    [[nodiscard]] bool WaitForSentFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    void ClearRecords();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ryx::sim
