// The serving threads of sim/ (the reader, the control socket, a vpcd slot) each poll the read end of a wake pipe
// beside their own descriptors: one byte written to the pipe tells the thread to end.
#pragma once

#include <unistd.h>

#include <thread>

namespace ryx::sim {

// Wakes the thread polling the pipe whose write end is `wakeWrite` and waits for it to end; nothing when `thread`
// is not running.
inline void WakeAndJoin(std::thread& thread, int wakeWrite) {
    if (!thread.joinable()) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &byte, 1);
    thread.join();
}

// Closes *fd unless it is already closed (-1), and marks it closed.
inline void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

}  // namespace ryx::sim
