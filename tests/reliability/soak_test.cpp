// Fault soak: many readers, each on its own thread with its own simulated reader, make a long mixed run of calls
// while the reader injects seeded random faults into a share of its frames. Every call must either succeed with
// exactly the response the card gives, or fail with a code its documentation lists and that a reader fault can
// cause, with the documented out-values, and within the time its link time-outs allow. Once the faults stop, the
// next call succeeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <ryx.h>

#include "api/reader_context.h"
#include "api/registry.h"
#include "reliability_support.h"
#include "sim/simulator.h"
#include "sim/trace.h"

namespace ryx::test {
namespace {

using Clock = std::chrono::steady_clock;

// Calls made against faulty readers, over all readers. Each call exchanges at least one message with the reader.
constexpr std::size_t kExchanges = 20'000;
static_assert(kExchanges >= 20'000, "the soak makes at least 20,000 exchanges");
// Readers working in parallel. Most of the soak's time is spent in the 500 ms slices of reads that receive
// nothing (a status or part of a response that a fault withheld), so more readers than cores pay off.
constexpr std::size_t kReaders = 8;
constexpr double kFaultRate = 0.05;
// Short time-outs: a fault that leaves the host waiting costs one 500 ms slice per read.
constexpr LinkTimeouts kTimeouts{100, 1, 100, 1};
// Beyond the bound the time-outs allow: scheduling on a loaded machine, the simulator's injected delays and the
// pacing of a response sent in small pieces.
constexpr auto kSlack = std::chrono::seconds(2);
constexpr std::size_t kResponseCapacity = 65538;
constexpr std::size_t kMaxProblems = 20;

const std::vector<std::uint8_t> kAtr(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end());

enum class Call : std::uint8_t { kExchangeApdu, kPowerOn, kPowerOff, kIccStatus, kControl };

// Each call's name, the codes its documentation lists, and the codes a line fault may give it; by Call.
struct CallFacts {
    const char* name;
    const std::set<std::uint32_t>* documented;
    const std::set<std::uint32_t>* faults;
};

const CallFacts& Facts(Call call) {
    static const CallFacts kFacts[] = {
        {"RYX_ExchangeApdu", &kExchangeApduCodes, &kLinkFailureCodes},
        {"RYX_PowerOnIcc", &kPowerOnCodes, &kPowerOnFailureCodes},
        {"RYX_PowerOffIcc", &kPowerOffCodes, &kLinkFailureCodes},
        {"RYX_GetIccStatus", &kIccStatusCodes, &kLinkFailureCodes},
        {"RYX_Control", &kControlCodes, &kControlFailureCodes},
    };
    return kFacts[static_cast<std::size_t>(call)];
}

const char* CallName(Call call) {
    return Facts(call).name;
}

const std::set<std::uint32_t>& DocumentedCodes(Call call) {
    return *Facts(call).documented;
}

const std::set<std::uint32_t>& FaultCodes(Call call) {
    return *Facts(call).faults;
}

struct Tally {
    std::uint64_t calls = 0;
    std::uint64_t successes = 0;
    std::uint64_t faults = 0;
    std::uint64_t faultsByKind[sim::kFaultKindCount] = {};
    std::map<std::pair<Call, std::uint32_t>, std::uint64_t> failures;  // by call and code
    Clock::duration longest{};
    std::string longestWhat;
    std::uint64_t recoveries = 0;  // readers whose first calls after the faults stopped all succeeded
    // Calls that began while the reader was still to answer the repeat request that ended the call before (a call
    // whose last response attempt fails still asks for a repeat): the late answer meets the next call's first frame.
    std::uint64_t lateAnswers = 0;
    // What the library did about them: waits for a quiet line, those that found bytes of a late answer, and the
    // bytes they threw away.
    std::uint64_t drains = 0;
    std::uint64_t drainsWithLateAnswer = 0;
    std::uint64_t wrongResponses = 0;  // calls that succeeded with data other than the card's: must stay 0
    std::uint64_t discardedBytes = 0;
    std::vector<std::string> problems;

    void Problem(std::string text) {
        if (problems.size() < kMaxProblems) problems.push_back(std::move(text));
    }
    void Merge(const Tally& other) {
        calls += other.calls;
        successes += other.successes;
        faults += other.faults;
        for (std::size_t i = 0; i < sim::kFaultKindCount; ++i) faultsByKind[i] += other.faultsByKind[i];
        for (const auto& [key, count] : other.failures) failures[key] += count;
        if (other.longest > longest) {
            longest = other.longest;
            longestWhat = other.longestWhat;
        }
        recoveries += other.recoveries;
        lateAnswers += other.lateAnswers;
        drains += other.drains;
        wrongResponses += other.wrongResponses;
        drainsWithLateAnswer += other.drainsWithLateAnswer;
        discardedBytes += other.discardedBytes;
        for (const auto& p : other.problems) Problem(p);
    }
};

// One reader and the calls made on it, on the thread that runs Run().
class SoakReader {
public:
    SoakReader(std::size_t index, std::size_t calls) : index_(index), calls_(calls), pick_(0x50A4'0000 + index) {}

    void Run() {
        sim::Config config;
        config.model = index_ % 2 == 0 ? sim::Model::KT4470RS : sim::Model::KT6630RS;
        blockSize_ = index_ % 2 == 0 ? 261 : 506;
        sim_ = std::make_unique<sim::Simulator>(config);
        if (!sim_->Start()) return tally_.Problem(Who() + "the simulator did not start");
        if (RYX_OpenA(sim_->SlavePath().c_str(), &handle_) != RYX_SUCCESS) {
            return tally_.Problem(Who() + "the reader did not open");
        }
        if (RYX_SetTimeouts(handle_, &kTimeouts) != RYX_SUCCESS || PowerOn() != RYX_SUCCESS) {
            tally_.Problem(Who() + "the reader could not be prepared");
        } else {
            tally_ = Tally{};  // the soak counts only calls made under faults
            const LinkCounters before = RegistryFind(handle_)->link.counters;
            sim_->SetChaos(kFaultRate, 0x5EED'0000 + index_);
            Soak();
            sim_->SetChaos(0.0, 0);
            const LinkCounters after = RegistryFind(handle_)->link.counters;
            tally_.drains = after.drains - before.drains;
            tally_.drainsWithLateAnswer = after.lateAnswers - before.lateAnswers;
            tally_.discardedBytes = after.discardedBytes - before.discardedBytes;
            const sim::FaultCounters injected = sim_->FaultsInjected();
            tally_.faults = injected.total;
            std::copy(std::begin(injected.byKind), std::end(injected.byKind), tally_.faultsByKind);
            Recover();
        }
        const auto start = Clock::now();
        const std::uint32_t closed = RYX_Close(handle_);
        if (closed != RYX_SUCCESS) tally_.Problem(Who() + "RYX_Close gave " + Hex(closed));
        // One power-off per slot (two or three), each a message the now quiet reader answers at once.
        if (Clock::now() - start > MessageBound(kTimeouts) * 3 + kSlack)
            tally_.Problem(Who() + "RYX_Close took too long");
        sim_.reset();
    }

    const Tally& tally() const { return tally_; }

private:
    std::string Who() const { return "reader " + std::to_string(index_) + ": "; }

    // What the reader received and sent since the current call began, in order, one frame a line.
    std::string Conversation() const {
        std::vector<sim::FrameRecord> frames = sim_->ReceivedFrames();
        for (auto& f : sim_->SentFrames()) frames.push_back(std::move(f));
        std::stable_sort(frames.begin(), frames.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
        std::string out;
        for (const auto& f : frames) {
            std::string line = sim::FormatTrace(f);
            if (line.size() > 160) line = line.substr(0, 160) + " ...";
            out += "\n    " + line;
        }
        return out;
    }
    // A problem with the call just made, with the conversation it had.
    void CallProblem(const std::string& text) {
        if (tally_.problems.size() < kMaxProblems) tally_.Problem(Who() + text + Conversation());
    }

    // A call that succeeded must have given the right output; one that failed, an output length of 0.
    void CheckOutput(std::uint32_t code, bool right, std::uint32_t length, const std::string& call,
                     const std::string& output, const std::string& lengthName) {
        if (code == RYX_SUCCESS) {
            if (!right) {
                ++tally_.wrongResponses;
                CallProblem(call + " succeeded with a wrong " + output);
            }
        } else if (length != 0) {
            CallProblem("a failed " + call + " left " + lengthName + std::to_string(length));
        }
    }

    void Soak() {
        bool powered = true;  // as far as the test knows: a failed power call leaves it open
        while (tally_.calls < calls_) {
            if (!powered) {
                powered = PowerOn() == RYX_SUCCESS;
                continue;
            }
            const unsigned r = Between(0, 99);
            if (r < 45) {
                Exchange(EchoApdu(Between(1, 64), static_cast<std::uint8_t>(r)), "short echo");
            } else if (r < 58) {
                // Around the block size: the command, the response, or both chain at their last byte.
                Exchange(EchoApdu(Between(blockSize_ - 12, blockSize_ + 4), static_cast<std::uint8_t>(r)),
                         "echo near the block size");
            } else if (r < 66) {
                Exchange(EchoApdu(Between(2 * blockSize_, 4 * blockSize_), static_cast<std::uint8_t>(r)), "long echo");
            } else if (r < 80) {
                Exchange(PatternApdu(Between(blockSize_ - 16, 4096)), "long response");
            } else if (r < 86) {
                PowerOff();
                powered = false;  // powered on again by the next call
            } else if (r < 93) {
                IccStatus();
            } else {
                Control();
            }
        }
    }

    // After the faults stop: the very next call and those that follow it succeed.
    void Recover() {
        const std::uint64_t before = tally_.successes;
        const std::uint64_t calls = tally_.calls;
        PowerOn();
        Exchange(EchoApdu(16, 1), "short echo after the faults");
        Exchange(EchoApdu(3 * blockSize_, 2), "long echo after the faults");
        Exchange(PatternApdu(4096), "long response after the faults");
        IccStatus();
        Control();
        if (tally_.successes - before == tally_.calls - calls) {
            ++tally_.recoveries;
        } else {
            tally_.Problem(Who() + "a call failed after the faults had stopped");
        }
    }

    unsigned Between(std::size_t lo, std::size_t hi) {
        return static_cast<unsigned>(std::uniform_int_distribution<std::size_t>(lo, hi)(pick_));
    }

    // Runs one call, times it against the bound its messages allow, and counts its outcome. Returns its code.
    template <typename F>
    std::uint32_t Timed(Call call, std::size_t messages, const char* what, F&& f) {
        sim_->ClearRecords();
        const auto start = Clock::now();
        const std::uint32_t code = f();
        const auto took = Clock::now() - start;
        if (const auto received = sim_->ReceivedFrames();
            !received.empty() && received.front().kind == sim::FrameRecord::Kind::kRepeatRequest) {
            ++tally_.lateAnswers;
        }
        ++tally_.calls;
        if (took > tally_.longest) {
            tally_.longest = took;
            tally_.longestWhat = std::string(CallName(call)) + " (" + what + ")";
        }
        const auto bound = MessageBound(kTimeouts) * messages + kSlack;
        if (took > bound) {
            CallProblem(std::string(CallName(call)) + " (" + what + ") took " +
                        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                        " ms, more than its " + std::to_string(bound.count()) + " ms");
        }
        if (code == RYX_SUCCESS) {
            ++tally_.successes;
        } else {
            ++tally_.failures[{call, code}];
            if (DocumentedCodes(call).count(code) == 0) {
                CallProblem(std::string(CallName(call)) + " gave the undocumented code " + Hex(code));
            } else if (FaultCodes(call).count(code) == 0) {
                CallProblem(std::string(CallName(call)) + " (" + what + ") gave " + Hex(code) +
                            ", which no reader fault explains");
            }
        }
        return code;
    }

    void Exchange(const Apdu& apdu, const char* what) {
        std::fill(response_.begin(), response_.end(), 0xEE);
        std::uint32_t length = static_cast<std::uint32_t>(response_.size());
        const std::size_t messages = ExchangeMessages(apdu.command.size(), apdu.response.size(), blockSize_);
        const std::uint32_t code = Timed(Call::kExchangeApdu, messages, what, [&] {
            return RYX_ExchangeApdu(handle_, 0, apdu.command.data(), static_cast<std::uint32_t>(apdu.command.size()),
                                    response_.data(), &length);
        });
        if (code == RYX_SUCCESS) {
            if (length != apdu.response.size() ||
                !std::equal(apdu.response.begin(), apdu.response.end(), response_.begin())) {
                ++tally_.wrongResponses;
                CallProblem(std::string("RYX_ExchangeApdu (") + what + ", " + std::to_string(apdu.command.size()) +
                            " bytes) succeeded with a wrong response of " + std::to_string(length) + " bytes");
            }
        } else if (length != response_.size()) {
            CallProblem("a failed RYX_ExchangeApdu changed the response length");
        }
    }

    std::uint32_t PowerOn() {
        std::array<std::uint8_t, 64> atr{};
        std::uint32_t length = static_cast<std::uint32_t>(atr.size());
        const std::uint32_t code =
            Timed(Call::kPowerOn, 1, "power on", [&] { return RYX_PowerOnIcc(handle_, 0, atr.data(), &length); });
        CheckOutput(code, length == kAtr.size() && std::equal(kAtr.begin(), kAtr.end(), atr.begin()), length,
                    "RYX_PowerOnIcc", "ATR", "an ATR length of ");
        return code;
    }

    void PowerOff() {
        Timed(Call::kPowerOff, 1, "power off", [&] { return RYX_PowerOffIcc(handle_, 0); });
    }

    void IccStatus() {
        std::uint32_t status = 0xEE;
        const std::uint32_t code =
            Timed(Call::kIccStatus, 1, "card status", [&] { return RYX_GetIccStatus(handle_, 0, &status); });
        const std::uint32_t expected = code == RYX_SUCCESS ? RYX_ICC_POWERED : RYX_ICC_UNKNOWN;
        if (status != expected) {
            CallProblem("RYX_GetIccStatus gave " + Hex(code) + " and the status " + std::to_string(status));
        }
    }

    // Escape commands other than the firmware and line-speed ones come back as they went.
    void Control() {
        std::vector<std::uint8_t> in(Between(1, 48));
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(0x10 + i + in.size());
        std::array<std::uint8_t, 256> out{};
        std::uint32_t returned = 0xEEEE;
        const std::uint32_t code = Timed(Call::kControl, 1, "escape echo", [&] {
            return RYX_Control(handle_, 0, RYX_CONTROL_ESCAPE, in.data(), static_cast<std::uint32_t>(in.size()),
                               out.data(), static_cast<std::uint32_t>(out.size()), &returned);
        });
        CheckOutput(code, returned == in.size() && std::equal(in.begin(), in.end(), out.begin()), returned,
                    "RYX_Control", "reply", "bytesReturned at ");
    }

    std::size_t index_;
    std::size_t calls_;
    std::mt19937_64 pick_;
    std::size_t blockSize_ = 261;
    std::unique_ptr<sim::Simulator> sim_;
    RYX_HANDLE handle_ = nullptr;
    std::vector<std::uint8_t> response_ = std::vector<std::uint8_t>(kResponseCapacity);
    Tally tally_;
};

void PrintSummary(const Tally& t, Clock::duration wall) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::printf("soak: %zu readers, %llu calls in %lld ms, %llu succeeded (%.2f%%), %llu faults injected\n", kReaders,
                static_cast<unsigned long long>(t.calls),
                static_cast<long long>(duration_cast<milliseconds>(wall).count()),
                static_cast<unsigned long long>(t.successes),
                t.calls ? 100.0 * static_cast<double>(t.successes) / static_cast<double>(t.calls) : 0.0,
                static_cast<unsigned long long>(t.faults));
    for (std::size_t k = 0; k < sim::kFaultKindCount; ++k) {
        if (t.faultsByKind[k] != 0) {
            std::printf("  fault %-22s %llu\n", std::string(sim::FaultKindName(static_cast<sim::FaultKind>(k))).c_str(),
                        static_cast<unsigned long long>(t.faultsByKind[k]));
        }
    }
    for (const auto& [key, count] : t.failures) {
        std::printf("  %-17s %s  %llu\n", CallName(key.first), Hex(key.second).c_str(),
                    static_cast<unsigned long long>(count));
    }
    std::printf("  calls that met a late answer to the call before: %llu\n",
                static_cast<unsigned long long>(t.lateAnswers));
    std::printf("  wrong responses reported as success: %llu\n", static_cast<unsigned long long>(t.wrongResponses));
    std::printf("  drain waits: %llu, %llu of them found a late answer (%llu bytes discarded)\n",
                static_cast<unsigned long long>(t.drains), static_cast<unsigned long long>(t.drainsWithLateAnswer),
                static_cast<unsigned long long>(t.discardedBytes));
    std::printf("  longest call: %lld ms, %s\n", static_cast<long long>(duration_cast<milliseconds>(t.longest).count()),
                t.longestWhat.c_str());
    std::fflush(stdout);
}

TEST(FaultSoak, EveryCallSucceedsExactlyOrFailsWithADocumentedCodeInTime) {
    std::vector<std::unique_ptr<SoakReader>> readers;
    for (std::size_t i = 0; i < kReaders; ++i) {
        const std::size_t share = kExchanges / kReaders + (i < kExchanges % kReaders ? 1 : 0);
        readers.push_back(std::make_unique<SoakReader>(i, share));
    }
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& reader : readers) threads.emplace_back([&reader] { reader->Run(); });
    for (auto& thread : threads) thread.join();
    const auto wall = Clock::now() - start;

    Tally total;
    for (const auto& reader : readers) total.Merge(reader->tally());
    PrintSummary(total, wall);
    for (const auto& problem : total.problems) ADD_FAILURE() << problem;

    EXPECT_GE(total.calls, kExchanges);
    EXPECT_GT(total.faults, total.calls / 40) << "the readers injected far fewer faults than asked for";
    EXPECT_GT(total.successes, total.calls * 9 / 10);
    EXPECT_LT(total.successes, total.calls) << "faults that never make a call fail test nothing";
    EXPECT_EQ(total.recoveries, kReaders);
    // The kinds of fault that make the host wait out a read were among them.
    EXPECT_GT(total.faultsByKind[static_cast<std::size_t>(sim::FaultKind::kNoStatus)], 0u);
    EXPECT_GT(total.faultsByKind[static_cast<std::size_t>(sim::FaultKind::kTruncateResponse)], 0u);
    RecordProperty("calls", static_cast<int>(total.calls));
    RecordProperty("faults", static_cast<int>(total.faults));
    RecordProperty("late_answers", static_cast<int>(total.lateAnswers));
    RecordProperty("drain_waits", static_cast<int>(total.drains));
}

}  // namespace
}  // namespace ryx::test
