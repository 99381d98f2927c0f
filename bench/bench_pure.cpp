// The pure parts, time per call: ATR parsing, the script runner's comparison of a 64 KiB response with its
// pattern, and the validation and assembly of a 64 KiB response frame.
#include <span>
#include <vector>

#include "bench_plan.h"
#include "card/parse_atr.h"
#include "compare.h"
#include "link/frame.h"
#include "link/response_assembler.h"
#include "pure_inputs.h"

namespace ryx::bench {
using ryx_test::CompareResponse;
namespace {

void ParseAtrs(benchmark::State& state) {
    std::vector<SlotRecord> records = BenchAtrRecords();
    std::size_t next = 0;
    std::uint32_t failures = 0;
    for (auto _ : state) {
        // One ATR per call, taking the set in turn; a parse rewrites only what it derives from the stored ATR.
        SlotRecord& record = records[next];
        next = next + 1 == records.size() ? 0 : next + 1;
        const std::uint32_t result = ParseAtr(record);
        failures += result != 0 ? 1 : 0;
        benchmark::DoNotOptimize(record);
    }
    if (failures != 0) state.SkipWithError("an ATR of the set does not parse");
    state.counters["atrs"] = static_cast<double>(records.size());
}

void CompareLargeResponse(benchmark::State& state) {
    const std::vector<std::uint8_t> response = BenchLargeResponse();
    const std::string expected = BenchExpectedText(response);
    int result = 0;
    for (auto _ : state) {
        std::int32_t mismatch = 0;
        result |= CompareResponse(expected, response.data(), static_cast<std::uint32_t>(response.size()), &mismatch);
        benchmark::DoNotOptimize(mismatch);
    }
    if (result != 0) state.SkipWithError("the response does not match its pattern");
    state.counters["bytes"] = static_cast<double>(response.size());
}

void ValidateLargeFrame(benchmark::State& state) {
    const std::vector<std::uint8_t> frame = BenchResponseFrame(BenchLargeResponse());
    bool valid = true;
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame.data());
        valid = valid && IsValidFrame(frame, 0x02, 0x03);
        benchmark::ClobberMemory();
    }
    if (!valid) state.SkipWithError("the frame is not valid");
    state.counters["bytes"] = static_cast<double>(frame.size());
}

void AssembleLargeFrame(benchmark::State& state) {
    const std::vector<std::uint8_t> frame = BenchResponseFrame(BenchLargeResponse());
    std::vector<std::uint8_t> storage(frame.size());
    ResponseAssembler assembler(storage);
    bool complete = true;
    for (auto _ : state) {
        assembler.Reset();
        auto progress = ResponseAssembler::Progress::kIncomplete;
        // The chunk size the frame exchange reads with.
        for (std::size_t offset = 0; offset < frame.size() && progress == ResponseAssembler::Progress::kIncomplete;
             offset += 64) {
            progress =
                assembler.Feed(std::span(frame).subspan(offset, std::min<std::size_t>(64, frame.size() - offset)));
        }
        complete = complete && progress == ResponseAssembler::Progress::kComplete;
        benchmark::DoNotOptimize(storage.data());
        benchmark::ClobberMemory();
    }
    if (!complete) state.SkipWithError("the frame was not assembled");
    state.counters["bytes"] = static_cast<double>(frame.size());
}

}  // namespace

void RegisterPureParts(const Plan& plan) {
    benchmark::RegisterBenchmark("pure/ParseAtr", ParseAtrs)->MinTime(plan.pureMinSeconds);
    benchmark::RegisterBenchmark("pure/CompareResponse", CompareLargeResponse)
        ->MinTime(plan.pureMinSeconds)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("pure/IsValidFrame", ValidateLargeFrame)
        ->MinTime(plan.pureMinSeconds)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("pure/ResponseAssembler", AssembleLargeFrame)
        ->MinTime(plan.pureMinSeconds)
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace ryx::bench
