// ryx_bench: every benchmark of the library against the floor of the line, then one table of the figures.
//
//   ryx_bench [--quick] [--out FILE] [--instructions LIBRARY:FLOOR | --instructions-note TEXT]
//             [--pcscd FILE | --pcscd-note TEXT] [--python FILE | --python-note TEXT] [--benchmark_...]
//   ryx_bench --callgrind-probe N      (run under valgrind --tool=callgrind --collect-atstart=no)
//
// Google Benchmark's own report goes to standard error; the table goes to standard output and, with --out, to a
// file. The exit status is 1 when a benchmark failed to run, whatever the figures.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_plan.h"
#include "callgrind_probe.h"
#include "collecting_reporter.h"
#include "report_table.h"

namespace {

using namespace ryx::bench;

std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", &local);
    return text;
}

std::string Machine() {
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(line.find_first_not_of(' ', colon + 1));
            break;
        }
    }
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    return std::to_string(cpus) + " CPUs (nproc), " + model;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: ryx_bench [--quick] [--out FILE] [--instructions LIBRARY:FLOOR | --instructions-note TEXT]\n"
                 "                 [--pcscd FILE | --pcscd-note TEXT] [--python FILE | --python-note TEXT]\n"
                 "                 [--benchmark_...]\n"
                 "       ryx_bench --callgrind-probe N\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string out;
    TableContext context;
    std::vector<char*> benchmarkArgs = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--out") {
            const char* file = value();
            if (file == nullptr) return Usage();
            out = file;
        } else if (arg == "--callgrind-probe") {
            const char* count = value();
            if (count == nullptr || std::atol(count) <= 0) return Usage();
            return RunCallgrindProbe(static_cast<std::size_t>(std::atol(count)));
        } else if (arg == "--instructions") {
            const char* counts = value();
            InstructionCounts n;
            if (counts == nullptr || std::sscanf(counts, "%lf:%lf", &n.library, &n.floor) != 2) return Usage();
            context.instructions = n;
        } else if (arg == "--instructions-note") {
            const char* note = value();
            if (note == nullptr) return Usage();
            context.instructionsNote = note;
        } else if (arg == "--pcscd" || arg == "--python") {
            // "name value" lines, as bench/pcscd_bench.py and bench/python_bench.py write them.
            const char* file = value();
            if (file == nullptr) return Usage();
            std::ifstream in(file);
            if (!in) {
                std::fprintf(stderr, "ryx_bench: cannot read %s\n", file);
                return 1;
            }
            auto& figures = arg == "--pcscd" ? context.pcscd : context.python;
            std::string name;
            for (double v = 0; in >> name >> v;) figures[name] = v;
        } else if (arg == "--pcscd-note" || arg == "--python-note") {
            const char* note = value();
            if (note == nullptr) return Usage();
            (arg == "--pcscd-note" ? context.pcscdNote : context.pythonNote) = note;
        } else if (arg.rfind("--benchmark_", 0) == 0) {
            benchmarkArgs.push_back(argv[i]);
        } else {
            return Usage();
        }
    }

    const Plan plan = MakePlan(quick);
    RegisterShortExchange(plan);
    RegisterLargeExchange(plan);
    RegisterRealLine(plan);
    RegisterOpen(plan);
    RegisterPureParts(plan);
    RegisterManyReaders(plan);

    int benchmarkArgc = static_cast<int>(benchmarkArgs.size());
    benchmark::Initialize(&benchmarkArgc, benchmarkArgs.data());
    if (benchmark::ReportUnrecognizedArguments(benchmarkArgc, benchmarkArgs.data())) return 2;

    Results results;
    CollectingReporter reporter(&results);
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    context.date = Today();
    context.machine = Machine();
    context.quick = quick;
    const std::string table = FormatTable(BuildTableRows(results, context), context);
    std::cout << table << std::flush;
    if (!out.empty()) {
        std::ofstream file(out);
        file << table;
        if (!file) {
            std::fprintf(stderr, "ryx_bench: cannot write %s\n", out.c_str());
            return 1;
        }
    }
    for (const auto& [name, result] : results) {
        if (result.failed) return 1;
    }
    return 0;
}
