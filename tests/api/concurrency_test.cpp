// Any thread may call any export: different readers work in parallel, calls on one reader are serialised.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "reader_fixture.h"

namespace ryx::test {
namespace {

std::vector<std::uint8_t> Echo(std::span<const std::uint8_t> apdu) {
    std::vector<std::uint8_t> out(apdu.begin(), apdu.end());
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

// A gate the simulated card of one reader waits at, so that its reader stays busy for as long as the test likes.
class Gate {
public:
    void Wait() {
        std::unique_lock lock(mutex_);
        reached_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    bool WaitReached(std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return reached_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool reached_ = false;
    bool open_ = false;
};

TEST(Concurrency, EightReadersWorkInParallelAndASlowOneDelaysNoOther) {
    constexpr int kReaders = 8;
    constexpr int kExchanges = 25;
    Gate gate;  // declared first, so that it outlives the simulator threads that wait at it
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    std::vector<RYX_HANDLE> handles(kReaders, nullptr);
    for (int i = 0; i < kReaders; ++i) {
        sim::Config config;
        config.model = i % 2 ? sim::Model::KT6630RS : sim::Model::KT4470RS;
        sims.push_back(std::make_unique<sim::Simulator>(config));
        ASSERT_TRUE(sims.back()->Start());
        if (i == 0) {
            sims.back()->SetApduHandler([&](std::uint8_t, std::span<const std::uint8_t> apdu) {
                gate.Wait();
                return Echo(apdu);
            });
        } else {
            sims.back()->SetApduHandler([](std::uint8_t, std::span<const std::uint8_t> apdu) { return Echo(apdu); });
        }
    }
    // Opened in parallel too.
    {
        std::vector<std::thread> openers;
        std::atomic<int> failures{0};
        for (int i = 0; i < kReaders; ++i) {
            openers.emplace_back([&, i] {
                if (RYX_OpenA(sims[i]->SlavePath().c_str(), &handles[i]) != RYX_SUCCESS) ++failures;
            });
        }
        for (auto& t : openers) t.join();
        ASSERT_EQ(failures, 0);
    }
    for (auto h : handles) {
        std::uint32_t length = 0;
        ASSERT_EQ(RYX_PowerOnIcc(h, 0, nullptr, &length), RYX_ERROR_INSUFFICIENT_BUFFER);  // powered, size reported
    }

    // The slow reader acknowledges its APDU only once its card answers, and the card waits at the gate until the
    // others are done: its status wait must outlast them however slow the machine is.
    const LinkTimeouts patient{120'000, 1, 10'000, 1};
    ASSERT_EQ(RYX_SetTimeouts(handles[0], &patient), RYX_SUCCESS);

    std::atomic<bool> slowDone{false};
    std::uint32_t slowStatus = 0;
    std::thread slow([&] {
        std::uint8_t apdu[] = {0x80, 0x01, 0x00, 0x00};
        std::uint8_t response[16];
        std::uint32_t length = sizeof response;
        slowStatus = RYX_ExchangeApdu(handles[0], 0, apdu, sizeof apdu, response, &length);
        slowDone = true;
    });
    if (!gate.WaitReached(std::chrono::seconds(10))) {
        gate.Open();
        slow.join();
        FAIL() << "the slow reader never received its APDU";
    }

    // Reader 0 is now busy in the middle of an exchange; the others must not wait for it.
    std::vector<std::thread> workers;
    std::atomic<int> bad{0};
    for (int i = 1; i < kReaders; ++i) {
        workers.emplace_back([&, i] {
            for (int n = 0; n < kExchanges; ++n) {
                std::vector<std::uint8_t> apdu(1 + (n * 37 + i * 101) % 600);
                for (std::size_t k = 0; k < apdu.size(); ++k) apdu[k] = static_cast<std::uint8_t>(i * 16 + n + k);
                std::vector<std::uint8_t> response(apdu.size() + 2);
                std::uint32_t length = static_cast<std::uint32_t>(response.size());
                if (RYX_ExchangeApdu(handles[i], 0, apdu.data(), static_cast<std::uint32_t>(apdu.size()),
                                     response.data(), &length) != RYX_SUCCESS ||
                    response != Echo(apdu)) {
                    ++bad;
                }
                std::uint32_t status = 0;
                if (RYX_GetIccStatus(handles[i], 1, &status) != RYX_SUCCESS) ++bad;
            }
        });
    }
    for (auto& t : workers) t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_FALSE(slowDone) << "the slow reader finished before it was let go";
    gate.Open();
    slow.join();
    EXPECT_EQ(slowStatus, RYX_SUCCESS);
    for (auto h : handles) EXPECT_EQ(RYX_Close(h), RYX_SUCCESS);
}

TEST(Concurrency, FourThreadsSharingOneReaderAreSerialised) {
    sim::Simulator simulator;
    ASSERT_TRUE(simulator.Start());
    simulator.SetApduHandler([](std::uint8_t, std::span<const std::uint8_t> apdu) { return Echo(apdu); });
    const std::vector<std::uint8_t> atr(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end());
    simulator.InsertCard(1, atr);
    RYX_HANDLE handle = nullptr;
    ASSERT_EQ(RYX_OpenA(simulator.SlavePath().c_str(), &handle), RYX_SUCCESS);
    for (std::uint32_t slot : {0u, 1u}) {
        std::uint32_t length = 0;
        ASSERT_EQ(RYX_PowerOnIcc(handle, slot, nullptr, &length), RYX_ERROR_INSUFFICIENT_BUFFER);
    }
    simulator.ClearRecords();

    constexpr int kThreads = 4;
    constexpr int kCalls = 60;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kCalls; ++n) {
                // Each thread's APDUs are its own: a reply delivered to the wrong call shows at once.
                std::vector<std::uint8_t> apdu(4 + (t * 131 + n * 17) % 700, static_cast<std::uint8_t>(t));
                apdu[1] = static_cast<std::uint8_t>(n);
                std::vector<std::uint8_t> response(apdu.size() + 2);
                std::uint32_t length = static_cast<std::uint32_t>(response.size());
                if (RYX_ExchangeApdu(handle, t % 2, apdu.data(), static_cast<std::uint32_t>(apdu.size()),
                                     response.data(), &length) != RYX_SUCCESS ||
                    length != apdu.size() + 2 || response != Echo(apdu)) {
                    ++bad;
                }
                if (n % 10 == 0) {
                    LinkTimeouts timeouts{};
                    std::uint32_t status = 0;
                    std::uint8_t escape[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
                    std::uint8_t reply[35];
                    if (RYX_GetTimeouts(handle, &timeouts) != RYX_SUCCESS || timeouts.responseTimeout != 10000) ++bad;
                    if (RYX_GetIccStatus(handle, 0, &status) != RYX_SUCCESS) ++bad;
                    if (RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, escape, 5, reply, 35, nullptr) != RYX_SUCCESS) ++bad;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad, 0);

    // One message at a time, each with the next sequence number.
    std::vector<std::uint8_t> seqs;
    for (const auto& f : simulator.ReceivedFrames()) {
        if (f.kind == sim::FrameRecord::Kind::kCommand && f.header) seqs.push_back(f.header->seq);
    }
    ASSERT_GT(seqs.size(), static_cast<std::size_t>(kThreads * kCalls));
    for (std::size_t i = 1; i < seqs.size(); ++i) {
        ASSERT_EQ(seqs[i], static_cast<std::uint8_t>(seqs[i - 1] + 1)) << "at message " << i;
    }
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);
}

// RYX_Close on a handle that other threads are using: every call either runs on the open reader or returns 6,
// none touches the context after it is gone, every call that starts after the close returned gets 6, and of two
// closes at once exactly one succeeds. Run under AddressSanitizer and ThreadSanitizer too.
TEST(Concurrency, ClosingAHandleOtherThreadsAreUsing) {
    sim::Simulator simulator;
    ASSERT_TRUE(simulator.Start());
    constexpr int kRounds = 40;
    constexpr int kWorkers = 4;
    using Export = std::function<std::uint32_t(RYX_HANDLE)>;
    const std::vector<Export> exports = {
        [](RYX_HANDLE h) {
            std::uint32_t n;
            return RYX_GetNumSlots(h, &n);
        },
        [](RYX_HANDLE h) {
            std::uint32_t r;
            return RYX_GetBaudRate(h, &r);
        },
        [](RYX_HANDLE h) { return RYX_SetBaudRate(h, 9600); },
        [](RYX_HANDLE h) {
            LinkTimeouts t;
            return RYX_GetTimeouts(h, &t);
        },
        [](RYX_HANDLE h) {
            const LinkTimeouts t{2000, 1, 10000, 1};
            return RYX_SetTimeouts(h, &t);
        },
        [](RYX_HANDLE h) {
            std::uint8_t atr[64];
            std::uint32_t n = 64;
            return RYX_PowerOnIcc(h, 0, atr, &n);
        },
        [](RYX_HANDLE h) {
            std::uint32_t p;
            return RYX_SetProtocol(h, 0, RYX_PROTOCOL_T0, &p);
        },
        [](RYX_HANDLE h) {
            std::uint32_t s;
            return RYX_GetIccStatus(h, 0, &s);
        },
        [](RYX_HANDLE h) {
            const std::uint8_t apdu[] = {0x80, 0x10, 0x00, 0x00, 0x02, 0x41, 0x42};
            std::uint8_t out[16];
            std::uint32_t n = sizeof out;
            return RYX_ExchangeApdu(h, 0, apdu, sizeof apdu, out, &n);
        },
        [](RYX_HANDLE h) {
            const std::uint8_t in[] = {0x01, 0x02};
            std::uint8_t out[16];
            return RYX_Control(h, 0, RYX_CONTROL_ESCAPE, in, sizeof in, out, sizeof out, nullptr);
        },
        [](RYX_HANDLE h) { return RYX_PowerOffIcc(h, 0); },
    };
    for (int round = 0; round < kRounds; ++round) {
        RYX_HANDLE handle = nullptr;
        ASSERT_EQ(RYX_OpenA(simulator.SlavePath().c_str(), &handle), RYX_SUCCESS) << "round " << round;
        std::atomic<int> started{0};
        std::atomic<bool> closed{false};
        std::atomic<int> bad{0};
        std::atomic<std::uint32_t> badCode{0};
        std::vector<std::thread> threads;
        for (int w = 0; w < kWorkers; ++w) {
            threads.emplace_back([&, w] {
                for (std::size_t n = w;; ++n) {
                    const bool after = closed.load();
                    const std::uint32_t code = exports[n % exports.size()](handle);
                    if (n == static_cast<std::size_t>(w)) ++started;
                    // What the card says depends on the order of the calls (a card status before any power-on,
                    // say); a refused argument, a lack of memory or a garbled exchange never does.
                    const bool broken = code == RYX_ERROR_INVALID_PARAMETER || code == RYX_ERROR_NOT_ENOUGH_MEMORY ||
                                        code == RYX_ERROR_GEN_FAILURE;
                    if (broken || (after && code != RYX_ERROR_INVALID_HANDLE)) {
                        badCode = code;
                        ++bad;
                    }
                    if (code == RYX_ERROR_INVALID_HANDLE) return;
                }
            });
        }
        // Two closes at once, once every worker is under way.
        std::atomic<int> closes{0};
        std::atomic<int> refused{0};
        auto close = [&] {
            while (started.load() < kWorkers) std::this_thread::yield();
            const std::uint32_t code = RYX_Close(handle);
            if (code == RYX_SUCCESS) {
                closed = true;
                ++closes;
            } else if (code == RYX_ERROR_INVALID_HANDLE) {
                ++refused;
            }
        };
        threads.emplace_back(close);
        threads.emplace_back(close);
        for (auto& t : threads) t.join();
        ASSERT_EQ(bad, 0) << "round " << round << ", code " << badCode;
        ASSERT_EQ(closes, 1) << "round " << round;
        ASSERT_EQ(refused, 1) << "round " << round;
        ASSERT_EQ(RYX_Close(handle), RYX_ERROR_INVALID_HANDLE);
    }
    // Every close powered the card off.
    EXPECT_FALSE(simulator.Powered(0));
}

}  // namespace
}  // namespace ryx::test
