#include "diagnosis.h"

#include <cstdio>

namespace ryx_test {

namespace {

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ok:
            return "ok";
        case Verdict::Problem:
            return "problem";
        case Verdict::Skipped:
            return "skipped";
    }
    return "problem";
}

const CheckResult* FirstProblem(const Diagnosis& diagnosis) {
    for (const CheckResult& check : diagnosis.checks) {
        if (check.verdict == Verdict::Problem) {
            return &check;
        }
    }
    return nullptr;
}

// The verdict line's text after "verdict: ok: " or "verdict: problem: ".
std::string Cause(const Diagnosis& diagnosis) {
    const CheckResult* problem = FirstProblem(diagnosis);
    if (problem == nullptr) {
        return diagnosis.summary;
    }
    std::string cause = problem->cause.empty() ? problem->finding : problem->cause;
    return problem->action.empty() ? cause : cause + "; " + problem->action;
}

std::string Json(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string CheckLine(const CheckResult& check) {
    std::string line = check.check + ": " + VerdictName(check.verdict) + ": " + check.finding;
    if (check.verdict == Verdict::Problem && !check.action.empty()) {
        line += "; " + check.action;
    }
    return line;
}

std::string VerdictLine(const Diagnosis& diagnosis) {
    return std::string("verdict: ") + (FirstProblem(diagnosis) ? "problem: " : "ok: ") + Cause(diagnosis);
}

int DiagnosisExitStatus(const Diagnosis& diagnosis) {
    int status = 0;
    for (const CheckResult& check : diagnosis.checks) {
        if (check.verdict == Verdict::Problem) {
            status = check.portUnusable ? 2 : (status == 0 ? 1 : status);
        }
    }
    return status;
}

std::string DiagnosisJson(const Diagnosis& diagnosis) {
    std::string json = "{\"checks\":[";
    for (size_t i = 0; i < diagnosis.checks.size(); ++i) {
        const CheckResult& c = diagnosis.checks[i];
        json += (i == 0 ? "{" : ",{") + std::string("\"check\":") + Json(c.check) + ",\"verdict\":\"" +
                VerdictName(c.verdict) + "\",\"finding\":" + Json(c.finding) + ",\"action\":" + Json(c.action) + "}";
    }
    json += std::string("],\"verdict\":\"") + (FirstProblem(diagnosis) ? "problem" : "ok") +
            "\",\"cause\":" + Json(Cause(diagnosis)) + ",\"exit\":" + std::to_string(DiagnosisExitStatus(diagnosis)) +
            "}";
    return json;
}

}  // namespace ryx_test
