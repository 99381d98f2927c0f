// When the driver asks the reader whether a slot holds a card, and which slot it asks: the decisions of the
// presence monitor, kept free of I/O so that they can be tested on their own.
//
// pcscd waits in IFDHPolling for a slot's card to come or go; the driver answers from what one monitor per reader
// has last seen on the line. The monitor asks about one slot at a time, in turn, at a steady pace for the whole
// reader (not one query per slot and poll), and skips a slot whose card has just answered an exchange: that card
// is there.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace ryx::pcsc {

using Millis = std::int64_t;                                              // a steady-clock time or a duration, in ms
inline constexpr Millis kNever = std::numeric_limits<Millis>::min() / 2;  // long before any time (no overflow)

struct PollTiming {
    Millis idleInterval = 550;     // between two presence queries of the reader while no card exchanges
    Millis busyInterval = 900;     // between two presence queries while a card exchanges (the line is the card's)
    Millis busyWindow = 1000;      // an answer this recent makes the reader busy
    Millis freshWindow = 1500;     // a card that answered this recently is not asked about
    Millis reopenInterval = 1000;  // between two attempts to open a reader that went away
};

struct PollChoice {
    std::optional<std::uint32_t> slot;  // the slot to ask at `at`; none: nothing to ask, decide again at `at`
    Millis at = 0;
};

/**
 * The next presence query. Pure.
 * @param lastAnswer by slot, when its card last answered an exchange (kNever: not yet).
 * @param lastQuery  when the reader was last asked about any slot (kNever: not yet).
 * @param lastSlot   the slot asked then (the turn goes on after it).
 * @param now        the current time.
 * @return the first slot after lastSlot, in turn, whose card has not answered within freshWindow of the query
 *         time, asked one interval (idle or busy) after lastQuery and not before now; when every card is fresh,
 *         no slot, and the time the first of them stops being fresh.
 */
[[nodiscard]] PollChoice NextPresenceQuery(std::span<const Millis> lastAnswer, Millis lastQuery, std::uint32_t lastSlot,
                                           Millis now, const PollTiming& timing = {});

/** When a reader that went away is next tried: reopenInterval after the last attempt, not before now. Pure. */
[[nodiscard]] Millis NextReopen(Millis lastAttempt, Millis now, const PollTiming& timing = {});

}  // namespace ryx::pcsc
