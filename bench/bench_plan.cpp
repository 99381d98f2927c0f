#include "bench_plan.h"

#include "bench_card.h"

namespace ryx::bench {

Plan MakePlan(bool quick) {
    Plan plan;
    plan.quick = quick;
    plan.shortRounds = quick ? 4 : 101;
    plan.shortCalls = quick ? 25 : 400;
    plan.largeRounds = quick ? 2 : 21;
    plan.openRounds = quick ? 2 : 21;
    plan.readersExchanges = quick ? 40 : 2000;
    plan.readersRounds = quick ? 1 : 3;
    plan.pureMinSeconds = quick ? 0.01 : 0.5;
    plan.callgrindExchanges = quick ? 20 : 200;
    return plan;
}

std::size_t LineExchanges(const Plan& plan, std::size_t commandLength, std::uint32_t rate) {
    if (commandLength == kLargeCommandLength) {
        // About two and a half minutes of wire time per exchange at 9,600 bit/s: the full run makes one.
        if (rate == 9600) return plan.quick ? 0 : 1;
        if (rate == 115200) return plan.quick ? 1 : 3;
        return plan.quick ? 1 : 5;
    }
    if (rate == 9600) return plan.quick ? 1 : 7;
    if (rate == 115200) return plan.quick ? 2 : 31;
    return plan.quick ? 2 : 51;
}

}  // namespace ryx::bench
