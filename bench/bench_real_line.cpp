// The real line: exchanges with the simulator pacing every byte as a serial line at the rate would, held against
// the wire time of every byte that crossed (10 bits a byte, status frames and headers included).
#include <chrono>
#include <string>
#include <vector>

#include "bench_card.h"
#include "bench_plan.h"
#include "bench_reader.h"
#include "stats.h"

namespace ryx::bench {
namespace {

void RealLine(benchmark::State& state, std::size_t exchanges, std::size_t commandLength, std::uint32_t rate) {
    Measure(state, [&](benchmark::State& s) {
        BenchReader reader;  // opened at the first rate, without wire time
        if (rate != reader.Sim().Rate()) {
            Require(RYX_SetBaudRate(reader.Handle(), rate) == RYX_SUCCESS, "RYX_SetBaudRate fails");
        }
        reader.Sim().SetWireTime(true);
        const std::vector<std::uint8_t> command = BenchCommand(commandLength);
        const std::size_t expected = commandLength == kLineCommandLength ? kLineResponseLength : kLargeResponseLength;
        std::vector<std::uint8_t> response(kResponseBufferSize);
        const std::vector<Frame> frames = reader.FloorFrames(command);
        std::vector<double> measured, wire, floorMeasured, floorWire;
        std::size_t bytes = 0;
        // Times one exchange and the wire time of every byte it moved.
        auto run = [&](bool library, std::vector<double>& took, std::vector<double>& line) {
            reader.Sim().ClearRecords();
            const auto start = std::chrono::steady_clock::now();
            const bool ok = library ? reader.LibraryExchange(command, response, expected)
                                    : reader.FloorExchange(frames, response, expected);
            const auto end = std::chrono::steady_clock::now();
            Require(ok, "an exchange failed");
            bytes = reader.LineBytes();
            took.push_back(
                static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()));
            line.push_back(static_cast<double>(bytes) * 10.0 / rate * 1e9);
        };
        // The floor on the same paced line shows what the pacing itself costs beyond the wire time; the two alternate.
        // The 64 KiB exchange at 9,600 bit/s (minutes of wire time) runs for the library alone.
        const bool withFloor = !(commandLength == kLargeCommandLength && rate == 9600);
        for (std::size_t i = 0; i < exchanges; ++i) {
            const bool libraryFirst = i % 2 == 0 || !withFloor;
            run(libraryFirst, libraryFirst ? measured : floorMeasured, libraryFirst ? wire : floorWire);
            if (withFloor) run(!libraryFirst, libraryFirst ? floorMeasured : measured, libraryFirst ? floorWire : wire);
        }
        s.counters["measured_ns"] = Median(measured);
        s.counters["wire_ns"] = Median(wire);
        s.counters["ratio"] = MedianOfRatios(measured, wire);
        if (withFloor) {
            s.counters["floor_ns"] = Median(floorMeasured);
            s.counters["floor_ratio"] = MedianOfRatios(floorMeasured, floorWire);
        }
        s.counters["line_bytes"] = static_cast<double>(bytes);
        s.counters["exchanges"] = static_cast<double>(exchanges);
    });
}

}  // namespace

void RegisterRealLine(const Plan& plan) {
    for (const std::size_t length : {kLineCommandLength, kLargeCommandLength}) {
        for (const std::uint32_t rate : kLineRates) {
            const std::size_t exchanges = LineExchanges(plan, length, rate);
            if (exchanges == 0) continue;
            const std::string name = "real_line/" + std::to_string(length) + "/" + std::to_string(rate);
            RegisterTimedOnce(
                name, [exchanges, length, rate](benchmark::State& state) { RealLine(state, exchanges, length, rate); });
        }
    }
}

}  // namespace ryx::bench
