// ryx_test --diagnose PORT: checks the port, the line, the reader, the link and each slot, and says what is wrong.
#pragma once

#include <cstdio>
#include <string>

namespace ryx_test {

/**
 * Runs every check against `port` and prints one line a check as it ends, then the verdict line (diagnosis.h), or
 * with `json` the whole result as one JSON line at the end. The port and line checks open the device themselves
 * (Linux; skipped elsewhere); the reader, link and slot checks go through the library, and the link check puts
 * the reader back at the rate it had.
 * @return 0 everything works, 1 a problem was found, 2 the port cannot be opened.
 */
int RunDiagnosis(const std::string& port, bool json, std::FILE* out);

}  // namespace ryx_test
