// The one table a run prints: every figure beside its floor or reference, the ratio, the goal and whether it is
// met. Pure: built from the collected results and the run's description.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "results.h"

namespace ryx::bench {

// Instructions per short exchange, counted by callgrind in a separate run.
struct InstructionCounts {
    double library = 0;
    double floor = 0;
};

struct TableContext {
    std::string date;     // when the run was made
    std::string machine;  // processor count and model
    bool quick = false;
    std::optional<InstructionCounts> instructions;
    std::string instructionsNote;  // why there are none, when there are none
    // The "through pcscd" figures of bench/pcscd_bench.py, by name (direct_apdu_per_s, pcscd_apdu_per_s,
    // apdu_ratio, idle_queries_per_s, busy_queries_per_s, insert_s, remove_s, recovery_s); a missing one shows "?".
    std::map<std::string, double> pcscd;
    std::string pcscdNote;  // why there are none, when there are none
    // The "Python binding" figures of bench/python_bench.py, by name (binding_ns, c_call_ns, latency_ratio,
    // binding_cpu_ns, c_call_cpu_ns, cpu_ratio, added_ns, pairs); a missing one shows "?".
    std::map<std::string, double> python;
    std::string pythonNote;  // why there are none, when there are none
};

// A goal for a ratio.
struct Goal {
    enum class Kind { kNone, kAtMost, kAtLeast };
    Kind kind = Kind::kNone;
    double bound = 0;
};

// Whether ratio meets goal: "yes", "NO", or "" for no goal.
[[nodiscard]] std::string GoalMet(const Goal& goal, double ratio);

// 950 ns -> "950 ns", 31234 ns -> "31.2 us", 4.56e6 -> "4.56 ms", 9.02e9 -> "9.02 s": three significant digits.
[[nodiscard]] std::string FormatDuration(double ns);

// One line of the table: a section title (only label set) or a measurement.
struct TableRow {
    std::string label;
    std::string subject;    // the library's figure
    std::string reference;  // the floor's, or the reference it is held against
    std::string ratio;
    std::string goal;
    std::string met;
    bool section = false;
    bool note = false;  // subject holds a note in place of the figures ("not run", "FAILED: ...")
};

// The rows for results, in the table's order. Measurements that did not run say so: "skipped in the quick run"
// where the quick run leaves them out, "FAILED: why" for a benchmark that failed, "not run" otherwise.
[[nodiscard]] std::vector<TableRow> BuildTableRows(const Results& results, const TableContext& context);

// The whole table as text: a heading with the date and machine, the rows in aligned columns, and a last line
// counting the goals met.
[[nodiscard]] std::string FormatTable(const std::vector<TableRow>& rows, const TableContext& context);

}  // namespace ryx::bench
