// Any thread may call any export: different readers work in parallel, calls on one reader are serialised.
#include <atomic>
#include <condition_variable>
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

}  // namespace
}  // namespace ryx::test
