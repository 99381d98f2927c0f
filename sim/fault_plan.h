// Which fault, if any, the next frame gets: the queued faults in order, then the seeded random ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

#include "sim/fault.h"
#include "sim/records.h"

namespace ryx::sim {

// What a fault needs to know of the frame it might apply to.
struct FrameTraits {
    bool repeatRequest = false;  // a RepeatRequest rather than a command frame
    bool setParameters = false;  // a PC_to_RDR_SetParameters command frame
    bool answered = true;        // the frame will get a response frame if no fault intervenes
};

// Whether a fault of this kind can apply to such a frame.
[[nodiscard]] bool FaultFits(FaultKind kind, const FrameTraits& frame) noexcept;

class FaultPlan {
public:
    void Queue(const Fault& fault);
    void Clear() { queue_.clear(); }
    [[nodiscard]] std::size_t Pending() const noexcept { return queue_.size(); }
    // rate in [0, 1]; kinds empty: every kind the host can recover from.
    void SetChaos(double rate, std::uint64_t seed, std::vector<FaultKind> kinds = {});

    // The fault for the next frame, counted as injected; nullopt when it passes untouched. The head of the queue
    // is used when it fits the frame; otherwise a random fault may be drawn.
    [[nodiscard]] std::optional<Fault> Take(const FrameTraits& frame);
    [[nodiscard]] const FaultCounters& Counters() const noexcept { return counters_; }

private:
    [[nodiscard]] Fault RandomFault(FaultKind kind);

    std::deque<Fault> queue_;
    double chaosRate_ = 0.0;
    std::vector<FaultKind> chaosKinds_;
    std::mt19937_64 random_{1};
    FaultCounters counters_;
};

}  // namespace ryx::sim
