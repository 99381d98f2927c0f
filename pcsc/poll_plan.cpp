// The presence monitor's decisions.
#include "pcsc/poll_plan.h"

#include <algorithm>

namespace ryx::pcsc {

PollChoice NextPresenceQuery(std::span<const Millis> lastAnswer, Millis lastQuery, std::uint32_t lastSlot, Millis now,
                             const PollTiming& timing) {
    PollChoice choice;
    if (lastAnswer.empty()) {
        choice.at = now + timing.idleInterval;
        return choice;
    }
    const Millis latest = *std::max_element(lastAnswer.begin(), lastAnswer.end());
    const bool busy = now - latest < timing.busyWindow;
    choice.at = std::max(now, lastQuery + (busy ? timing.busyInterval : timing.idleInterval));
    const auto count = static_cast<std::uint32_t>(lastAnswer.size());
    Millis firstStale = kNever;
    for (std::uint32_t step = 1; step <= count; ++step) {
        const std::uint32_t slot = (lastSlot + step) % count;
        if (choice.at - lastAnswer[slot] >= timing.freshWindow) {
            choice.slot = slot;
            return choice;
        }
        const Millis stale = lastAnswer[slot] + timing.freshWindow;
        if (firstStale == kNever || stale < firstStale) firstStale = stale;
    }
    choice.at = std::max(choice.at, firstStale);
    return choice;
}

Millis NextReopen(Millis lastAttempt, Millis now, const PollTiming& timing) {
    return std::max(now, lastAttempt + timing.reopenInterval);
}

}  // namespace ryx::pcsc
