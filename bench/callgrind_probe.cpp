#include "callgrind_probe.h"

#include <cstdio>
#include <exception>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define RYX_BENCH_HAVE_CALLGRIND 1
#else
#define RYX_BENCH_HAVE_CALLGRIND 0
#endif

#include "bench_card.h"
#include "bench_reader.h"

namespace ryx::bench {

bool CallgrindProbeAvailable() {
    return RYX_BENCH_HAVE_CALLGRIND != 0;
}

int RunCallgrindProbe(std::size_t exchanges) {
#if RYX_BENCH_HAVE_CALLGRIND
    try {
        BenchReader reader;
        ShortExchangePair exchange(reader);
        auto library = [&] { return exchange.Library(); };
        auto floor = [&] { return exchange.Floor(); };
        // Lazy binding, first touches of the buffers and the allocator's first growth are not what an exchange costs.
        for (int i = 0; i < 5; ++i) {
            if (!library() || !floor()) throw std::runtime_error("the first exchanges fail");
        }
        bool ok = true;
        CALLGRIND_TOGGLE_COLLECT;
        for (std::size_t i = 0; i < exchanges; ++i) ok = library() && ok;
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT("library");
        CALLGRIND_TOGGLE_COLLECT;
        for (std::size_t i = 0; i < exchanges; ++i) ok = floor() && ok;
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT("floor");
        if (!ok) throw std::runtime_error("an exchange failed");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ryx_bench: callgrind probe: %s\n", e.what());
        return 1;
    }
#else
    (void)exchanges;
    std::fprintf(stderr, "ryx_bench: built without <valgrind/callgrind.h>\n");
    return 1;
#endif
}

}  // namespace ryx::bench
