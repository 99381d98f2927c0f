#include "report_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "bench_card.h"
#include "bench_plan.h"

namespace ryx::bench {
namespace {

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Three significant digits.
std::string ThreeDigits(double value) {
    if (value >= 100) return Printf("%.0f", value);
    if (value >= 10) return Printf("%.1f", value);
    return Printf("%.2f", value);
}

// 1234567 -> "1,234,567".
std::string FormatCount(double value) {
    const std::string digits = Printf("%.0f", std::max(0.0, value));
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string FormatRatio(double ratio) {
    return Printf("%.2fx", ratio);
}

std::string FormatGoal(const Goal& goal) {
    switch (goal.kind) {
        case Goal::Kind::kAtMost:
            return "<= " + FormatRatio(goal.bound);
        case Goal::Kind::kAtLeast:
            return ">= " + FormatRatio(goal.bound);
        default:
            return "";
    }
}

std::string FormatRate(std::uint32_t rate) {
    return FormatCount(rate) + " bit/s";
}

std::string FormatThroughput(double megabytesPerSecond) {
    return ThreeDigits(megabytesPerSecond) + " MB/s";
}

constexpr Goal kNoGoal{};

class RowBuilder {
public:
    RowBuilder(const Results& results, const TableContext& context) : results_(results), context_(context) {}

    void Section(std::string title) {
        TableRow row;
        row.label = std::move(title);
        row.section = true;
        rows_.push_back(std::move(row));
    }

    // The result of a benchmark that ran and did not fail; otherwise a row saying why not, and nullptr.
    // goal: that of the rows the note stands in for, so that the count of goals shows what was not measured.
    const Result* Ran(const std::string& name, const std::string& label, const Goal& goal = {},
                      bool skippedWhenQuick = false) {
        const auto it = results_.find(name);
        TableRow row;
        row.label = label;
        row.note = true;
        row.goal = FormatGoal(goal);
        if (it == results_.end()) {
            row.subject = skippedWhenQuick && context_.quick ? "skipped in the quick run" : "not run";
        } else if (it->second.failed) {
            row.subject = "FAILED: " + it->second.error;
        } else {
            return &it->second;
        }
        rows_.push_back(std::move(row));
        return nullptr;
    }

    // A measurement row; a figure the benchmark did not report shows as "?".
    void Row(std::string label, std::optional<std::string> subject, std::optional<std::string> reference,
             std::optional<double> ratio, const Goal& goal) {
        TableRow row;
        row.label = std::move(label);
        row.subject = subject.value_or("?");
        row.reference = reference.value_or("?");
        row.goal = FormatGoal(goal);
        if (ratio) {
            row.ratio = FormatRatio(*ratio);
            row.met = GoalMet(goal, *ratio);
        } else if (goal.kind != Goal::Kind::kNone) {
            row.ratio = "?";
        }
        rows_.push_back(std::move(row));
    }

    // goal: as for Ran, that of the row the note stands in for.
    void Note(std::string label, std::string note, const Goal& goal = {}) {
        TableRow row;
        row.label = std::move(label);
        row.subject = std::move(note);
        row.note = true;
        row.goal = FormatGoal(goal);
        rows_.push_back(std::move(row));
    }

    std::vector<TableRow> Take() { return std::move(rows_); }

private:
    const Results& results_;
    const TableContext& context_;
    std::vector<TableRow> rows_;
};

template <typename Format>
std::optional<std::string> Shown(std::optional<double> value, Format&& format) {
    if (!value) return std::nullopt;
    return format(*value);
}

std::optional<double> Divide(std::optional<double> a, std::optional<double> b) {
    if (!a || !b || *b <= 0) return std::nullopt;
    return *a / *b;
}

void ShortExchange(RowBuilder& b) {
    b.Section("Short exchange: 5-byte command, 2-byte response, 65,538-byte response buffer (library | floor)");
    const Result* r = b.Ran("short_exchange", "short exchange", {Goal::Kind::kAtMost, 1.2});
    if (r == nullptr) return;
    const auto rounds = r->Figure("rounds");
    const std::string paired = rounds ? " (median of " + FormatCount(*rounds) + " paired rounds)" : "";
    b.Row("median latency" + paired, Shown(r->Figure("subject_median_ns"), FormatDuration),
          Shown(r->Figure("floor_median_ns"), FormatDuration), r->Figure("median_ratio"), {Goal::Kind::kAtMost, 1.2});
    b.Row("p99 latency (all exchanges)", Shown(r->Figure("subject_p99_ns"), FormatDuration),
          Shown(r->Figure("floor_p99_ns"), FormatDuration),
          Divide(r->Figure("subject_p99_ns"), r->Figure("floor_p99_ns")), kNoGoal);
    b.Row("caller's CPU time per exchange" + paired, Shown(r->Figure("subject_cpu_ns"), FormatDuration),
          Shown(r->Figure("floor_cpu_ns"), FormatDuration), r->Figure("cpu_ratio"), {Goal::Kind::kAtMost, 1.5});
}

void LargeExchange(RowBuilder& b) {
    b.Section("Large exchange: 65,535-byte command, 65,536-byte response, chained (library | floor)");
    for (const std::uint32_t block : {261u, 506u}) {
        const std::string size = FormatCount(block);
        const Result* r =
            b.Ran("large_exchange/" + std::to_string(block), "block size " + size, {Goal::Kind::kAtLeast, 0.95});
        if (r == nullptr) continue;
        b.Row("block size " + size + ": throughput (APDU bytes both ways)",
              Shown(r->Figure("subject_mbps"), FormatThroughput), Shown(r->Figure("floor_mbps"), FormatThroughput),
              r->Figure("throughput_ratio"), {Goal::Kind::kAtLeast, 0.95});
        b.Row("block size " + size + ": time per exchange", Shown(r->Figure("subject_ns"), FormatDuration),
              Shown(r->Figure("floor_ns"), FormatDuration), Divide(r->Figure("subject_ns"), r->Figure("floor_ns")),
              kNoGoal);
    }
}

void RealLine(RowBuilder& b) {
    b.Section("Real line: simulated wire time, 10 bits a byte (library | wire time of every byte both ways)");
    for (const std::size_t length : {kLineCommandLength, kLargeCommandLength}) {
        for (const std::uint32_t rate : kLineRates) {
            const std::string what = length == kLineCommandLength ? "261-byte APDU (258-byte response)"
                                                                  : "64 KiB APDU (65,536-byte response)";
            const std::string label = what + " at " + FormatRate(rate);
            const bool leftOut = LineExchanges(MakePlan(true), length, rate) == 0;
            const Result* r = b.Ran("real_line/" + std::to_string(length) + "/" + std::to_string(rate), label,
                                    {Goal::Kind::kAtMost, 1.05}, leftOut);
            if (r == nullptr) continue;
            const auto bytes = r->Figure("line_bytes");
            b.Row(label + (bytes ? ", " + FormatCount(*bytes) + " bytes" : ""),
                  Shown(r->Figure("measured_ns"), FormatDuration), Shown(r->Figure("wire_ns"), FormatDuration),
                  r->Figure("ratio"), {Goal::Kind::kAtMost, 1.05});
            if (r->Figure("floor_ns")) {
                b.Row("  the floor client on the same paced line", Shown(r->Figure("floor_ns"), FormatDuration),
                      Shown(r->Figure("wire_ns"), FormatDuration), r->Figure("floor_ratio"), kNoGoal);
            }
        }
    }
}

void Open(RowBuilder& b) {
    b.Section("Open (library | one short exchange)");
    if (const Result* r = b.Ran("open/first_rate", "open, reader at the first rate")) {
        b.Row("open, reader answering at the first rate (9,600 bit/s)", Shown(r->Figure("open_ns"), FormatDuration),
              Shown(r->Figure("exchange_ns"), FormatDuration), r->Figure("ratio"), kNoGoal);
    }
    if (const Result* r = b.Ran("open/ten_rate_scan", "full ten-rate scan")) {
        b.Row("full ten-rate scan, reader at 500,000 bit/s (bounded by time-outs)",
              Shown(r->Figure("scan_ns"), FormatDuration),
              Shown(r->Figure("per_rate_ns"), [](double ns) { return FormatDuration(ns) + "/rate"; }), std::nullopt,
              kNoGoal);
    }
}

void PureParts(RowBuilder& b) {
    b.Section("Pure parts, time per call (library | throughput)");
    struct Part {
        const char* name;
        const char* label;
    };
    const Part parts[] = {
        {"pure/ParseAtr", "ParseAtr, real-world-shaped ATRs (per ATR)"},
        {"pure/CompareResponse", "CompareResponse, 64 KiB response against its pattern"},
        {"pure/IsValidFrame", "IsValidFrame, 64 KiB response frame"},
        {"pure/ResponseAssembler", "ResponseAssembler, 64 KiB frame fed in 64-byte chunks"},
    };
    for (const Part& part : parts) {
        const Result* r = b.Ran(part.name, part.label);
        if (r == nullptr) continue;
        std::optional<std::string> throughput = "";
        if (const auto bytes = r->Figure("bytes"); bytes && r->realNs > 0) {
            throughput = FormatThroughput(*bytes / r->realNs * 1e3);
        }
        b.Row(part.label, FormatDuration(r->realNs), throughput, std::nullopt, kNoGoal);
    }
}

void ManyReaders(RowBuilder& b) {
    b.Section("Many readers, each driven by its own thread (library | floor)");
    for (const std::size_t count : kReaderCounts) {
        const std::string n = std::to_string(count) + (count == 1 ? " reader" : " readers");
        const Result* r = b.Ran("readers/" + std::to_string(count), n);
        if (r == nullptr) continue;
        b.Row(n + ": exchanges per second, all readers",
              Shown(r->Figure("subject_rate"), [](double v) { return FormatCount(v) + "/s"; }),
              Shown(r->Figure("floor_rate"), [](double v) { return FormatCount(v) + "/s"; }), r->Figure("rate_ratio"),
              kNoGoal);
        b.Row(n + ": p99 latency of the slowest reader", Shown(r->Figure("subject_p99_ns"), FormatDuration),
              Shown(r->Figure("floor_p99_ns"), FormatDuration),
              Divide(r->Figure("subject_p99_ns"), r->Figure("floor_p99_ns")), kNoGoal);
    }
}

void Instructions(RowBuilder& b, const TableContext& context) {
    b.Section("CPU per exchange, deterministic (library | floor)");
    const std::string label = "instructions per short exchange (callgrind)";
    const Goal atMost3{Goal::Kind::kAtMost, 3.0};
    if (!context.instructions) {
        b.Note(label, context.instructionsNote.empty() ? "not measured" : context.instructionsNote, atMost3);
        return;
    }
    const InstructionCounts& n = *context.instructions;
    b.Row(label, FormatCount(n.library), FormatCount(n.floor),
          n.floor > 0 ? std::optional<double>(n.library / n.floor) : std::nullopt, atMost3);
}

// The driver through pcscd, measured by bench/pcscd_bench.py. The limits are the goals themselves, so each row's
// ratio is the figure over its limit.
void ThroughPcscd(RowBuilder& b, const TableContext& context) {
    b.Section("Through pcscd: paced 9,600 bit/s 3-slot reader, two slots empty (through pcscd | direct or limit)");
    const Goal atLeast95{Goal::Kind::kAtLeast, 0.95};
    const Goal withinLimit{Goal::Kind::kAtMost, 1.0};
    struct Limited {
        const char* label;
        const char* name;
        double limit;
        const char* unit;
    };
    const Limited limited[] = {
        {"presence queries per second at idle, whole reader", "idle_queries_per_s", 2.0, "/s"},
        {"card inserted until SCardGetStatusChange tells (worst)", "insert_s", 2.0, " s"},
        {"card removed until SCardGetStatusChange tells (worst)", "remove_s", 2.0, " s"},
        {"reader unplugged and back until its card is seen (worst)", "recovery_s", 5.0, " s"},
    };
    const std::string apduLabel = "short APDUs per second, 7-byte command, 4-byte response (paired rounds)";
    if (context.pcscd.empty()) {
        const std::string why = context.pcscdNote.empty() ? "not measured" : context.pcscdNote;
        b.Note(apduLabel, why, atLeast95);
        for (const Limited& l : limited) b.Note(l.label, why, withinLimit);
        return;
    }
    const auto figure = [&](const char* name) -> std::optional<double> {
        const auto it = context.pcscd.find(name);
        return it == context.pcscd.end() ? std::nullopt : std::optional<double>(it->second);
    };
    const auto perSecond = [](double v) { return ThreeDigits(v) + "/s"; };
    b.Row(apduLabel, Shown(figure("pcscd_apdu_per_s"), perSecond), Shown(figure("direct_apdu_per_s"), perSecond),
          figure("apdu_ratio"), atLeast95);
    for (const Limited& l : limited) {
        const auto value = figure(l.name);
        b.Row(l.label, Shown(value, [&](double v) { return ThreeDigits(v) + l.unit; }), ThreeDigits(l.limit) + l.unit,
              value ? std::optional<double>(*value / l.limit) : std::nullopt, withinLimit);
    }
    b.Row("  presence queries per second while the APDUs run", Shown(figure("busy_queries_per_s"), perSecond),
          std::string(), std::nullopt, kNoGoal);
}

// The Python package against the C call it wraps, measured by bench/python_bench.py: the binding's own cost is
// what it adds to the library's time, so the last row holds that to a limit of a few microseconds.
void PythonBinding(RowBuilder& b, const TableContext& context) {
    b.Section("Python binding: short exchange, 5-byte command, 2-byte response (binding | C call through ctypes)");
    const Goal latencyGoal{Goal::Kind::kAtMost, 1.1};
    const Goal withinLimit{Goal::Kind::kAtMost, 1.0};
    constexpr double kAddedLimitNs = 5000;
    const std::string latencyLabel = "median latency";
    const std::string addedLabel = "time the binding adds per exchange (difference of the medians)";
    if (context.python.empty()) {
        const std::string why = context.pythonNote.empty() ? "not measured" : context.pythonNote;
        b.Note(latencyLabel, why, latencyGoal);
        b.Note(addedLabel, why, withinLimit);
        return;
    }
    const auto figure = [&](const char* name) -> std::optional<double> {
        const auto it = context.python.find(name);
        return it == context.python.end() ? std::nullopt : std::optional<double>(it->second);
    };
    const auto pairs = figure("pairs");
    const std::string each = pairs ? " (" + FormatCount(*pairs) + " exchanges each way, in turn)" : "";
    b.Row(latencyLabel + each, Shown(figure("binding_ns"), FormatDuration), Shown(figure("c_call_ns"), FormatDuration),
          figure("latency_ratio"), latencyGoal);
    b.Row("caller's CPU time per exchange (median)", Shown(figure("binding_cpu_ns"), FormatDuration),
          Shown(figure("c_call_cpu_ns"), FormatDuration), figure("cpu_ratio"), kNoGoal);
    const auto added = figure("added_ns");
    b.Row(addedLabel, Shown(added, FormatDuration), FormatDuration(kAddedLimitNs),
          added ? std::optional<double>(*added / kAddedLimitNs) : std::nullopt, withinLimit);
}

}  // namespace

std::string GoalMet(const Goal& goal, double ratio) {
    switch (goal.kind) {
        case Goal::Kind::kAtMost:
            return ratio <= goal.bound ? "yes" : "NO";
        case Goal::Kind::kAtLeast:
            return ratio >= goal.bound ? "yes" : "NO";
        default:
            return "";
    }
}

std::string FormatDuration(double ns) {
    if (ns < 1e3) return Printf("%.0f ns", ns);
    if (ns < 1e6) return ThreeDigits(ns / 1e3) + " us";
    if (ns < 1e9) return ThreeDigits(ns / 1e6) + " ms";
    return ThreeDigits(ns / 1e9) + " s";
}

std::vector<TableRow> BuildTableRows(const Results& results, const TableContext& context) {
    RowBuilder b(results, context);
    ShortExchange(b);
    LargeExchange(b);
    RealLine(b);
    Open(b);
    PureParts(b);
    ManyReaders(b);
    ThroughPcscd(b, context);
    PythonBinding(b, context);
    Instructions(b, context);
    return b.Take();
}

std::string FormatTable(const std::vector<TableRow>& rows, const TableContext& context) {
    std::size_t labelWidth = 11;
    std::size_t subjectWidth = 7;
    std::size_t referenceWidth = 9;
    for (const TableRow& row : rows) {
        if (row.section) continue;
        labelWidth = std::max(labelWidth, row.label.size());
        if (row.note) continue;  // a note runs on into the next columns instead of widening them
        subjectWidth = std::max(subjectWidth, row.subject.size());
        referenceWidth = std::max(referenceWidth, row.reference.size());
    }
    std::ostringstream out;
    out << "ryx benchmarks, "
        << (context.quick ? "quick run (minimal repetitions; timings not meaningful)" : "full run") << "\n"
        << context.date << ", " << context.machine << "\n\n";
    auto line = [&](const std::string& label, const std::string& subject, const std::string& reference,
                    const std::string& ratio, const std::string& goal, const std::string& met) {
        std::string text = "  " + label + std::string(labelWidth - std::min(labelWidth, label.size()), ' ');
        auto column = [&](const std::string& value, std::size_t width, bool right) {
            const std::string pad(width - std::min(width, value.size()), ' ');
            text += "  " + (right ? pad + value : value + pad);
        };
        column(subject, subjectWidth, true);
        column(reference, referenceWidth, true);
        column(ratio, 6, true);
        column(goal, 8, false);
        column(met, 3, false);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << text << "\n";
    };
    line("measurement", "library", "reference", "ratio", "goal", "met");
    std::size_t goals = 0;
    std::size_t met = 0;
    std::size_t unmeasured = 0;
    for (const TableRow& row : rows) {
        if (row.section) {
            out << "\n" << row.label << "\n";
            continue;
        }
        if (row.note) {
            out << "  " << row.label << std::string(labelWidth - std::min(labelWidth, row.label.size()), ' ') << "  "
                << row.subject << (row.goal.empty() ? "" : " (goal " + row.goal + ")") << "\n";
            if (!row.goal.empty()) {
                ++goals;
                ++unmeasured;
            }
            continue;
        }
        line(row.label, row.subject, row.reference, row.ratio, row.goal, row.met);
        if (!row.goal.empty()) {
            ++goals;
            if (row.met == "yes") ++met;
            if (row.met.empty()) ++unmeasured;
        }
    }
    out << "\nGoals met: " << met << " of " << goals;
    if (unmeasured != 0) out << " (" << unmeasured << " not measured)";
    out << "\n";
    return out.str();
}

}  // namespace ryx::bench
