// The run that counts instructions: under valgrind --tool=callgrind --collect-atstart=no it collects the calling
// thread's instructions over a number of short exchanges of the library, dumps them, then does the same for the
// floor. The simulator's own thread is never collected.
#pragma once

#include <cstddef>

namespace ryx::bench {

// Whether this build can talk to callgrind at all.
[[nodiscard]] bool CallgrindProbeAvailable();

// Warms up, then makes `exchanges` library exchanges with collection on and dumps them under the name
// "library", then as many floor exchanges dumped as "floor". Returns the process's exit status: 0, or 1 with a
// message on standard error when something failed.
int RunCallgrindProbe(std::size_t exchanges);

}  // namespace ryx::bench
