// Test results in the Test Anything Protocol, version 13, for CI systems.
#pragma once

#include <string>
#include <string_view>

namespace ryx_test {

/** The first line of a TAP stream: "TAP version 13\n". */
inline constexpr const char* kTapHeader = "TAP version 13\n";

/** "ok N - description\n" or "not ok N - description\n"; a '#' in the description is escaped. Pure. */
std::string TapTestPoint(int number, bool ok, std::string_view description);

/** The plan, given after the last test point: "1..N\n". Pure. */
std::string TapPlan(int count);

/** Every line of `text` as a diagnostic line, "# line\n" ("#\n" for an empty one). Pure. */
std::string TapDiagnostics(std::string_view text);

}  // namespace ryx_test
