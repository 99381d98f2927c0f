// The command-line mode's check of a script before anything is sent: lines the console would read in ways the
// author did not mean are refused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ryx_test {

/** One refused line: its 1-based number and what is wrong with it. */
struct ScriptProblem {
    int line;
    std::string what;
};

/**
 * Checks a whole script. Blank lines and lines whose first token begins with ';' or '#' are skipped; the other
 * lines alternate between command and expected lines. Refused: a command line with anything but hex digits and
 * white space, a command token with an odd number of digits, an expected line with anything but hex digits, 'X',
 * 'x' and white space, and a command with no expected line after it. Pure.
 * @return every problem, in line order; none when the script may run.
 */
std::vector<ScriptProblem> CheckScript(std::string_view text);

}  // namespace ryx_test
