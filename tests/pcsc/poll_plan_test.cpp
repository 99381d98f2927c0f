// The presence monitor's decisions: which slot is asked next, and when.
#include <gtest/gtest.h>

#include <vector>

#include "pcsc/poll_plan.h"

namespace ryx::pcsc {
namespace {

constexpr Millis N = kNever;

TEST(NextPresenceQuery, AsksInTurnAtTheReadersPace) {
    const PollTiming t;  // idle 550, busy 900, busy window 1000, fresh 1500
    const struct {
        const char* what;
        std::vector<Millis> lastAnswer;
        Millis lastQuery;
        std::uint32_t lastSlot;
        Millis now;
        std::optional<std::uint32_t> slot;
        Millis at;
    } cases[] = {
        {"first query: at once, slot 0", {N, N, N}, N, 2, 10'000, 0, 10'000},
        {"idle: the next slot, one idle interval on", {N, N, N}, 10'000, 0, 10'100, 1, 10'550},
        {"the turn wraps", {N, N, N}, 10'000, 2, 10'100, 0, 10'550},
        {"late: not before now", {N, N, N}, 10'000, 1, 12'000, 2, 12'000},
        {"a card that just answered is skipped", {N, 10'050, N}, 10'000, 0, 10'100, 2, 10'900},
        {"fresh is judged at the query's time", {N, 9'300, N}, 10'000, 0, 10'100, 1, 10'900},
        {"busy: the slower pace", {9'950, N, N}, 10'000, 1, 10'100, 2, 10'900},
        {"an answer older than the busy window is idle again", {8'000, N, N}, 10'000, 1, 10'100, 2, 10'550},
        {"a stale card is asked again", {8'000, N, N}, 10'000, 2, 10'100, 0, 10'550},
        {"every card fresh: nothing until the first is stale",
         {10'080, 10'050},
         10'000,
         1,
         10'100,
         std::nullopt,
         11'550},
        {"one slot, fresh", {10'000}, 9'900, 0, 10'000, std::nullopt, 11'500},
    };
    for (const auto& c : cases) {
        const PollChoice choice = NextPresenceQuery(c.lastAnswer, c.lastQuery, c.lastSlot, c.now, t);
        EXPECT_EQ(choice.slot, c.slot) << c.what;
        EXPECT_EQ(choice.at, c.at) << c.what;
    }
}

// The goal the pace is chosen for: at most 2 queries a second at idle, every slot of a 3-slot reader asked at least
// every 2 s; while one card exchanges, a query on the line at most every 0.9 s and the other slots still every 2 s.
TEST(NextPresenceQuery, IdleAndBusyRates) {
    for (const bool busy : {false, true}) {
        std::vector<Millis> lastAnswer = {N, N, N};
        Millis now = 0, lastQuery = N;
        std::uint32_t lastSlot = 2;
        std::vector<Millis> asked[3];
        int queries = 0;
        while (now < 60'000) {
            if (busy) lastAnswer[0] = now;  // slot 0's card exchanges all the time
            const PollChoice c = NextPresenceQuery(lastAnswer, lastQuery, lastSlot, now);
            if (c.at > now) {  // the monitor sleeps until then and decides again
                now = c.at;
                continue;
            }
            ASSERT_TRUE(c.slot);
            ++queries;
            asked[*c.slot].push_back(now);
            lastQuery = now;
            lastSlot = *c.slot;
        }
        EXPECT_LE(queries, busy ? 67 : 110) << busy;
        EXPECT_EQ(asked[0].empty(), busy);
        for (std::uint32_t s = busy ? 1 : 0; s < 3; ++s) {
            for (std::size_t i = 1; i < asked[s].size(); ++i) {
                EXPECT_LE(asked[s][i] - asked[s][i - 1], 2'000) << "slot " << s << " busy " << busy;
            }
        }
    }
}

TEST(NextReopen, OnceASecond) {
    EXPECT_EQ(NextReopen(N, 5'000), 5'000);
    EXPECT_EQ(NextReopen(5'000, 5'200), 6'000);
    EXPECT_EQ(NextReopen(5'000, 7'000), 7'000);
}

}  // namespace
}  // namespace ryx::pcsc
