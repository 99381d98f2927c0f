// A stop asked for by a signal: set from the signal watcher, read by the long-running loops of the program.
#pragma once

namespace ryx_test {

/** Records that the program must close the reader and end; `signalNumber` is kept for the exit status. */
void RequestStop(int signalNumber) noexcept;

/** True once RequestStop has been called. */
bool StopRequested() noexcept;

/** The signal given to RequestStop, or 0. */
int StopSignal() noexcept;

}  // namespace ryx_test
