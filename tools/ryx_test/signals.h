// SIGINT and SIGTERM: the first asks the program to close the reader and end, the second ends it at once.
#pragma once

namespace ryx_test {

/**
 * Starts watching for SIGINT and SIGTERM (on Windows: Ctrl+C and Ctrl+Break). The first one calls RequestStop and
 * makes every later read of standard input find its end, a read already waiting included, so that the console's
 * menus unwind to the close; loops that send commands check StopRequested. The second one ends the process at once
 * with 128 + the signal's number. Call it once, before any other thread is started.
 */
void WatchForStopSignals();

}  // namespace ryx_test
