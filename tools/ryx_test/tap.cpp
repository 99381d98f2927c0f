#include "tap.h"

namespace ryx_test {

std::string TapTestPoint(int number, bool ok, std::string_view description) {
    std::string line = (ok ? "ok " : "not ok ") + std::to_string(number) + " - ";
    for (char c : description) {
        // An unescaped '#' would start a directive such as "# SKIP".
        if (c == '#' || c == '\\') {
            line += '\\';
        }
        line += c == '\n' ? ' ' : c;
    }
    return line + "\n";
}

std::string TapPlan(int count) {
    return "1.." + std::to_string(count) + "\n";
}

std::string TapDiagnostics(std::string_view text) {
    std::string lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        lines += line.empty() ? "#\n" : "# " + std::string(line) + "\n";
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

}  // namespace ryx_test
