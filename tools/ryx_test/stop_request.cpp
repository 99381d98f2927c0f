#include "stop_request.h"

#include <atomic>

namespace ryx_test {

namespace {

std::atomic<int> stopSignal{0};

}  // namespace

void RequestStop(int signalNumber) noexcept {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signalNumber);
}

bool StopRequested() noexcept {
    return stopSignal.load() != 0;
}

int StopSignal() noexcept {
    return stopSignal.load();
}

}  // namespace ryx_test
