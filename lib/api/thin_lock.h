// The locks every call takes on its way to a reader: the registry's and the reader's own. Each call takes both once,
// almost always uncontended, so taking one costs a single atomic exchange here; a thread that finds it held sleeps
// in the atomic's wait (a futex on Linux) instead of spinning, which matters for the reader's lock: it is held for
// whole exchanges, retries and waits included.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace ryx {

// A mutex (Lockable): lock, unlock, as std::mutex.
class ThinLock {
public:
    void lock() noexcept {
        std::uint32_t expected = kFree;
        if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended();
        }
    }

    void unlock() noexcept {
        if (state_.exchange(kFree, std::memory_order_release) == kHeldWithWaiters) {
            state_.notify_one();
        }
    }

private:
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kHeld = 1;
    static constexpr std::uint32_t kHeldWithWaiters = 2;

    // Marks the lock as awaited before sleeping, so that the unlock wakes a sleeper; a thread that gets the lock this
    // way keeps the mark, which at worst costs one needless wake.
    void LockContended() noexcept {
        while (state_.exchange(kHeldWithWaiters, std::memory_order_acquire) != kFree) {
            state_.wait(kHeldWithWaiters, std::memory_order_relaxed);
        }
    }

    std::atomic<std::uint32_t> state_{kFree};
};

// A re-entrant ThinLock: the thread that holds it may take it again, and must release it as often.
class ThinRecursiveLock {
public:
    void lock() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        // Only this thread can have stored its own id: a match means it holds the lock.
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        lock_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }

    void unlock() noexcept {
        if (--depth_ != 0) return;
        owner_.store(std::thread::id{}, std::memory_order_relaxed);
        lock_.unlock();
    }

private:
    ThinLock lock_;
    std::atomic<std::thread::id> owner_{};
    std::uint32_t depth_ = 0;  // touched by the holder only
};

}  // namespace ryx
