// The results of ryx_test --diagnose: one line a check, the closing verdict, the exit status, the JSON form.
#pragma once

#include <string>
#include <vector>

namespace ryx_test {

enum class Verdict { Ok, Problem, Skipped };

/** One check and what it found. */
struct CheckResult {
    std::string check;  ///< e.g. "port /dev/ttyUSB0", "line", "slot 0"
    Verdict verdict = Verdict::Ok;
    std::string finding;        ///< what was seen, or why the check was skipped
    std::string action;         ///< for a problem: what to do
    std::string cause;          ///< for a problem: the cause as the verdict line names it (empty: the finding)
    bool portUnusable = false;  ///< the problem is that the port cannot be opened at all
};

/** Every check in the order run, and what the closing verdict says when nothing failed. */
struct Diagnosis {
    std::vector<CheckResult> checks;
    std::string summary;  ///< e.g. "the reader works (KT4470RS at 9600 bit/s)"
};

/** "check: verdict: finding", for a problem followed by "; action". Pure. */
std::string CheckLine(const CheckResult& check);

/**
 * The last line: "verdict: problem: " and the first problem's cause and action, or "verdict: ok: " and the summary.
 * Pure.
 */
std::string VerdictLine(const Diagnosis& diagnosis);

/** 2 when the port could not be opened, 1 when a check found a problem, else 0. Pure. */
int DiagnosisExitStatus(const Diagnosis& diagnosis);

/**
 * The same results for a script: {"checks":[{"check","verdict","finding","action"}...],"verdict","cause","exit"}
 * on one line, "cause" being the verdict line's text after "verdict: ok: " or "verdict: problem: ". Pure.
 */
std::string DiagnosisJson(const Diagnosis& diagnosis);

}  // namespace ryx_test
