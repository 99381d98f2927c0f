#include "report_table.h"

#include <gtest/gtest.h>

#include <string>

namespace ryx::bench {
namespace {

TEST(ReportTableTest, GoalsAreMetAtTheirBoundInclusive) {
    const struct {
        Goal goal;
        double ratio;
        const char* met;
    } cases[] = {
        {{Goal::Kind::kAtMost, 1.2}, 1.2, "yes"},  {{Goal::Kind::kAtMost, 1.2}, 1.21, "NO"},
        {{Goal::Kind::kAtLeast, 0.9}, 0.9, "yes"}, {{Goal::Kind::kAtLeast, 0.9}, 0.89, "NO"},
        {{Goal::Kind::kNone, 0}, 5.0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(GoalMet(c.goal, c.ratio), c.met) << c.ratio;
}

TEST(ReportTableTest, DurationsKeepThreeSignificantDigits) {
    const struct {
        double ns;
        const char* text;
    } cases[] = {{950, "950 ns"},    {31234, "31.2 us"}, {4.56e6, "4.56 ms"},
                 {152.4e9, "152 s"}, {999.4, "999 ns"},  {1500, "1.50 us"}};
    for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.ns), c.text);
}

const TableRow* FindRow(const std::vector<TableRow>& rows, const std::string& prefix) {
    for (const auto& row : rows) {
        if (row.label.rfind(prefix, 0) == 0) return &row;
    }
    return nullptr;
}

TEST(ReportTableTest, RowsShowFiguresRatiosAndWhatDidNotRun) {
    Results results;
    Result shortExchange;
    shortExchange.figures = {{"rounds", 5},
                             {"subject_median_ns", 36000},
                             {"floor_median_ns", 30000},
                             {"median_ratio", 1.25},
                             {"subject_p99_ns", 90000},
                             {"floor_p99_ns", 60000},
                             {"subject_cpu_ns", 14000},
                             {"floor_cpu_ns", 10000},
                             {"cpu_ratio", 1.4}};
    results["short_exchange"] = shortExchange;
    Result failed;
    failed.failed = true;
    failed.error = "an exchange failed";
    results["large_exchange/506"] = failed;
    TableContext context;
    context.quick = true;

    const auto rows = BuildTableRows(results, context);
    const struct {
        const char* row;  // the start of its label
        std::string TableRow::*field;
        const char* text;
    } cells[] = {
        {"median latency", &TableRow::subject, "36.0 us"},
        {"median latency", &TableRow::reference, "30.0 us"},
        {"median latency", &TableRow::ratio, "1.25x"},  // the median of per-round ratios, not the ratio of the medians
        {"median latency", &TableRow::goal, "<= 1.20x"},
        {"median latency", &TableRow::met, "NO"},
        {"caller's CPU time", &TableRow::met, "yes"},
        {"p99 latency", &TableRow::ratio, "1.50x"},
        {"p99 latency", &TableRow::met, ""},
        {"block size 506", &TableRow::subject, "FAILED: an exchange failed"},
        {"64 KiB APDU (65,536-byte response) at 9,600 bit/s", &TableRow::subject, "skipped in the quick run"},
        {"64 KiB APDU (65,536-byte response) at 500,000 bit/s", &TableRow::subject, "not run"},
        {"instructions per short exchange", &TableRow::subject, "not measured"},
        {"instructions per short exchange", &TableRow::goal, "<= 3.00x"},
        {"block size 506", &TableRow::goal, ">= 0.95x"},
    };
    for (const auto& c : cells) {
        const TableRow* row = FindRow(rows, c.row);
        ASSERT_NE(row, nullptr) << c.row;
        EXPECT_EQ(row->*c.field, c.text) << c.row;
    }
    EXPECT_TRUE(FindRow(rows, "block size 506")->note);
}

TEST(ReportTableTest, TableCountsGoalsIncludingThoseNotMeasured) {
    Results results;
    Result lineResult;
    lineResult.figures = {{"measured_ns", 1.0e9}, {"wire_ns", 0.99e9}, {"ratio", 1.01}, {"line_bytes", 549}};
    results["real_line/261/9600"] = lineResult;
    TableContext context;
    context.date = "2025-01-01 00:00 UTC";
    context.machine = "2 CPUs (nproc), test CPU";
    context.instructions = InstructionCounts{30000, 10000};
    const std::string table = FormatTable(BuildTableRows(results, context), context);
    EXPECT_NE(table.find("2025-01-01 00:00 UTC, 2 CPUs (nproc), test CPU"), std::string::npos);
    const auto at = table.find("261-byte APDU (258-byte response) at 9,600 bit/s, 549 bytes");
    ASSERT_NE(at, std::string::npos) << table;
    const std::string line = table.substr(at, table.find('\n', at) - at);
    // Measured, wire time, ratio, goal, met, in that order.
    EXPECT_NE(line.find("1.00 s"), std::string::npos) << line;
    EXPECT_LT(line.find("1.00 s"), line.find("990 ms")) << line;
    EXPECT_EQ(line.substr(line.size() - 20), "1.01x  <= 1.05x  yes") << line;
    EXPECT_NE(table.find("30,000"), std::string::npos);
    // Two goals met (the line case and the instructions, at 3.00x exactly); every other goal row stands as not run:
    // short exchange, two block sizes, five line cases, the five through pcscd and the two of the Python binding.
    EXPECT_NE(table.find("Goals met: 2 of 17 (15 not measured)"), std::string::npos) << table;
}

TEST(ReportTableTest, ThroughPcscdAndPythonHoldEachFigureToItsGoal) {
    TableContext context;
    context.pcscd = {{"direct_apdu_per_s", 20.0}, {"pcscd_apdu_per_s", 19.2}, {"apdu_ratio", 0.96},
                     {"idle_queries_per_s", 1.8}, {"insert_s", 2.2},          {"remove_s", 1.6}};
    context.python = {
        {"binding_ns", 95000}, {"c_call_ns", 92000}, {"latency_ratio", 1.04}, {"added_ns", 6000}, {"pairs", 20000}};
    const auto rows = BuildTableRows({}, context);
    const struct {
        const char* label;
        const char* subject;
        const char* reference;
        const char* ratio;
        const char* met;
    } cases[] = {
        {"short APDUs per second", "19.2/s", "20.0/s", "0.96x", "yes"},
        {"presence queries per second at idle", "1.80/s", "2.00/s", "0.90x", "yes"},
        {"card inserted until", "2.20 s", "2.00 s", "1.10x", "NO"},
        {"card removed until", "1.60 s", "2.00 s", "0.80x", "yes"},
        {"reader unplugged and back", "?", "5.00 s", "?", ""},
        {"median latency (20,000 exchanges each way, in turn)", "95.0 us", "92.0 us", "1.04x", "yes"},
        {"time the binding adds per exchange", "6.00 us", "5.00 us", "1.20x", "NO"},
        {"caller's CPU time per exchange (median)", "?", "?", "", ""},
    };
    for (const auto& c : cases) {
        const TableRow* row = FindRow(rows, c.label);
        ASSERT_NE(row, nullptr) << c.label;
        EXPECT_EQ(row->subject, c.subject) << c.label;
        EXPECT_EQ(row->reference, c.reference) << c.label;
        EXPECT_EQ(row->ratio, c.ratio) << c.label;
        EXPECT_EQ(row->met, c.met) << c.label;
    }
}

}  // namespace
}  // namespace ryx::bench
