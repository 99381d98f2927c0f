// Every export under bad input, against a simulated reader in each of its states: null pointers, lengths at and
// around what a reply needs, slot numbers at and past the slot count, closed and forged handles. Each call must give
// its documented code, with the handle checked first and then the arguments in their order before the reader's
// state is looked at, and must write nothing it should not: every out-value lives in one block of guard bytes, and
// after each call the whole block is compared with what the call was allowed to change.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <ryx.h>

#include "sim/simulator.h"
#include "support/sim_faults.h"

namespace ryx::test {
namespace {

constexpr std::uint8_t kGuardByte = 0xA5;
constexpr std::uint32_t kGuardWord = 0xA5A5A5A5;
constexpr std::uint32_t kMax = 0xFFFFFFFF;

const std::vector<std::uint8_t> kAtr(sim::kDefaultAtr.begin(), sim::kDefaultAtr.end());
const std::vector<std::uint8_t> kFirmwareCommand = {0xE0, 0x00, 0x00, 0x18, 0x00};
// The firmware reply: five header bytes, then "KT4470RS 1.07".
const std::vector<std::uint8_t> kFirmwareReply = {0xE1, 0x00, 0x00, 0x00, 0x0D, 'K', 'T', '4', '4',
                                                  '7',  '0',  'R',  'S',  ' ',  '1', '.', '0', '7'};
// ECHO of three bytes, answered with the bytes and 90 00.
const std::vector<std::uint8_t> kEcho = {0x80, 0x10, 0x00, 0x00, 0x03, 0xAB, 0xCD, 0xEF};
const std::vector<std::uint8_t> kEchoReply = {0xAB, 0xCD, 0xEF, 0x90, 0x00};
// PATTERN of 512 bytes (extended Le): a response of 514 bytes, which comes back in two blocks.
const std::vector<std::uint8_t> kPattern = {0x80, 0x12, 0x00, 0x00, 0x00, 0x02, 0x00};

std::vector<std::uint8_t> PatternReply() {
    std::vector<std::uint8_t> reply;
    for (int i = 0; i < 512; ++i) reply.push_back(static_cast<std::uint8_t>(i));
    reply.push_back(0x90);
    reply.push_back(0x00);
    return reply;
}

// ECHO of 600 bytes (extended Lc): a command in three blocks, a response of 602 bytes in three.
std::vector<std::uint8_t> LongEcho() {
    std::vector<std::uint8_t> apdu = {0x80, 0x10, 0x00, 0x00, 0x00, 0x02, 0x58};
    for (int i = 0; i < 600; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7));
    return apdu;
}

std::vector<std::uint8_t> LongEchoReply() {
    const std::vector<std::uint8_t> apdu = LongEcho();
    std::vector<std::uint8_t> reply(apdu.begin() + 7, apdu.end());
    reply.push_back(0x90);
    reply.push_back(0x00);
    return reply;
}

// Every out-value a call may write, each behind a run of guard bytes. Filled with kGuardByte; a call is checked
// by comparing the whole block with a copy changed only where the call may write.
struct Arena {
    std::uint8_t lead[64];
    std::uint8_t buffer[1024];  // ATR, response or reply buffer; a call is told a size of at most this
    std::uint8_t gapA[64];
    std::uint32_t length;  // the in/out length of the buffer
    std::uint8_t gapB[60];
    std::uint32_t word;  // a u32 out-value (slot count, rate, ICC status, active protocol, bytes returned)
    std::uint8_t gapC[60];
    LinkTimeouts timeouts;
    std::uint8_t gapD[48];
    RYX_HANDLE handle;  // the open functions' out-value
    std::uint8_t tail[56];

    Arena() { std::memset(static_cast<void*>(this), kGuardByte, sizeof *this); }
    void SetBuffer(const std::vector<std::uint8_t>& bytes) { std::copy(bytes.begin(), bytes.end(), buffer); }
};
static_assert(sizeof(Arena) == 1408, "no padding: every byte of the block is a guard or an out-value");

// Names the first byte where two arenas differ, and what it belongs to.
std::string Difference(const Arena& expected, const Arena& actual) {
    const auto* e = reinterpret_cast<const std::uint8_t*>(&expected);
    const auto* a = reinterpret_cast<const std::uint8_t*>(&actual);
    struct Field {
        const char* name;
        std::size_t offset, size;
    };
    const Field fields[] = {
        {"lead guard", offsetof(Arena, lead), 64},           {"buffer", offsetof(Arena, buffer), 1024},
        {"guard after buffer", offsetof(Arena, gapA), 64},   {"length", offsetof(Arena, length), 4},
        {"guard after length", offsetof(Arena, gapB), 60},   {"word", offsetof(Arena, word), 4},
        {"guard after word", offsetof(Arena, gapC), 60},     {"timeouts", offsetof(Arena, timeouts), 16},
        {"guard after timeouts", offsetof(Arena, gapD), 48}, {"handle", offsetof(Arena, handle), 8},
        {"tail guard", offsetof(Arena, tail), 56},
    };
    for (std::size_t i = 0; i < sizeof(Arena); ++i) {
        if (e[i] == a[i]) continue;
        std::ostringstream s;
        for (const Field& f : fields) {
            if (i >= f.offset && i < f.offset + f.size) s << f.name << " byte " << (i - f.offset);
        }
        s << ": expected 0x" << std::hex << int{e[i]} << ", got 0x" << int{a[i]};
        return s.str();
    }
    return "";
}

// A page that may be neither read nor written: an argument the library must not touch points here.
class NoAccessPage {
public:
    NoAccessPage() {
        page_ = ::mmap(nullptr, static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page_ == MAP_FAILED) page_ = nullptr;
    }
    ~NoAccessPage() {
        if (page_ != nullptr) ::munmap(page_, static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(page_); }
    std::uint32_t* word() const { return static_cast<std::uint32_t*>(page_); }
    LinkTimeouts* timeouts() const { return static_cast<LinkTimeouts*>(page_); }

private:
    void* page_ = nullptr;
};

NoAccessPage& Forbidden() {
    static NoAccessPage page;
    return page;
}

// The states a reader is put in before the sweep. Slot 0 holds the built-in card; slot 1 is empty.
enum class State { kBeforePowerOn, kPowered, kPoweredOff, kCardRemoved };
const State kStates[] = {State::kBeforePowerOn, State::kPowered, State::kPoweredOff, State::kCardRemoved};

const char* Name(State s) {
    static const char* const kNames[] = {"before power-on", "powered", "after power-off", "after card removal"};
    return kNames[static_cast<int>(s)];
}

void PrintTo(State s, std::ostream* os) {
    *os << Name(s);
}

// A simulated reader opened through the library and brought into one state.
class Reader {
public:
    explicit Reader(State state) {
        sim_ = std::make_unique<sim::Simulator>();
        if (!sim_->Start()) {
            ADD_FAILURE() << "simulator did not start";
            return;
        }
        const std::uint32_t opened = RYX_OpenA(sim_->SlavePath().c_str(), &handle_);
        if (opened != RYX_SUCCESS) {
            ADD_FAILURE() << "open: " << opened;
            handle_ = nullptr;
            return;
        }
        std::uint8_t atr[64];
        std::uint32_t length = sizeof atr;
        switch (state) {
            case State::kBeforePowerOn:
                break;
            case State::kPowered:
                EXPECT_EQ(RYX_PowerOnIcc(handle_, 0, atr, &length), RYX_SUCCESS);
                break;
            case State::kPoweredOff:
                EXPECT_EQ(RYX_PowerOnIcc(handle_, 0, atr, &length), RYX_SUCCESS);
                EXPECT_EQ(RYX_PowerOffIcc(handle_, 0), RYX_SUCCESS);
                break;
            case State::kCardRemoved:
                // The library learns of the removal only from the reader's next answer.
                EXPECT_EQ(RYX_PowerOnIcc(handle_, 0, atr, &length), RYX_SUCCESS);
                sim_->RemoveCard(0);
                break;
        }
    }
    ~Reader() {
        if (handle_ != nullptr) {
            EXPECT_EQ(RYX_Close(handle_), RYX_SUCCESS);
        }
    }
    RYX_HANDLE handle() const { return handle_; }
    sim::Simulator& sim() { return *sim_; }
    std::size_t FramesReceived() const { return sim_->ReceivedFrames().size(); }

private:
    std::unique_ptr<sim::Simulator> sim_;
    RYX_HANDLE handle_ = nullptr;
};

// What a call gives and what it writes: status, and the changes to the arena (applied to a copy taken before).
struct Outcome {
    std::uint32_t status;
    std::function<void(Arena&)> writes;  // empty: nothing but the optional out-value's clearing on failure
};

using Call = std::function<std::uint32_t(RYX_HANDLE, Arena&)>;

struct Case {
    Case(std::string n, std::function<void(Arena&)> p, Call c, bool clears = false,
         std::function<Outcome(State)> v = {})
        : name(std::move(n)), prepare(std::move(p)), call(std::move(c)), clearsWord(clears), valid(std::move(v)) {}

    std::string name;
    std::function<void(Arena&)> prepare;  // in-values placed in the arena before the call; may be empty
    Call call;
    // The call passes arena.word as an optional out-value that every failure sets to 0 (RYX_SetProtocol,
    // RYX_Control).
    bool clearsWord = false;
    // Empty for a bad argument: 87 in every state, nothing sent, nothing written but the clearing. Otherwise the
    // outcome in each state, and the call may talk to the reader.
    std::function<Outcome(State)> valid;
};

// --- helpers that describe writes -------------------------------------------------------------------------
std::function<void(Arena&)> Length(std::uint32_t value) {
    return [value](Arena& a) { a.length = value; };
}
std::function<void(Arena&)> Word(std::uint32_t value) {
    return [value](Arena& a) { a.word = value; };
}
std::function<void(Arena&)> BufferAndLength(std::vector<std::uint8_t> bytes, std::uint32_t length) {
    return [bytes, length](Arena& a) {
        a.SetBuffer(bytes);
        a.length = length;
    };
}
std::function<void(Arena&)> BufferAndWord(std::vector<std::uint8_t> bytes, std::uint32_t word) {
    return [bytes, word](Arena& a) {
        a.SetBuffer(bytes);
        a.word = word;
    };
}

std::function<void(Arena&)> SetLength(std::uint32_t value) {
    return [value](Arena& a) { a.length = value; };
}

// --- the table --------------------------------------------------------------------------------------------
// Slot numbers that are not below the slot count (2): the count, one more, the largest, and 256, which a careless
// narrowing to the message's slot byte would turn into slot 0.
const std::uint32_t kBadSlots[] = {2, 3, 256, kMax};

std::vector<Case> SweepCases() {
    std::vector<Case> cases;
    const auto add = [&](Case c) { cases.push_back(std::move(c)); };
    const bool present[] = {true, true, true, false};  // a card in slot 0, by State
    const auto cardIn = [present](State s) { return present[static_cast<int>(s)]; };
    const auto powered = [](State s) { return s == State::kPowered; };

    // RYX_Close: only the handle can be wrong; the good close ends every Reader.

    // RYX_GetNumSlots, RYX_GetBaudRate, RYX_GetTimeouts, RYX_SetTimeouts.
    // A getter of one word: a null pointer is refused, else it stores `value` in every state.
    const auto addWordGetter = [&](const std::string& name, decltype(&RYX_GetNumSlots) get, std::uint32_t value) {
        add({name + " null", {}, [get](RYX_HANDLE h, Arena&) { return get(h, nullptr); }});
        add({name,
             {},
             [get](RYX_HANDLE h, Arena& a) { return get(h, &a.word); },
             false,
             [value](State) {
                 return Outcome{RYX_SUCCESS, Word(value)};
             }});
    };
    addWordGetter("GetNumSlots", RYX_GetNumSlots, 2);
    addWordGetter("GetBaudRate", RYX_GetBaudRate, 9600);
    add({"GetTimeouts null", {}, [](RYX_HANDLE h, Arena&) { return RYX_GetTimeouts(h, nullptr); }});
    add({"GetTimeouts",
         {},
         [](RYX_HANDLE h, Arena& a) { return RYX_GetTimeouts(h, &a.timeouts); },
         false,
         [](State) {
             return Outcome{RYX_SUCCESS, [](Arena& a) { a.timeouts = {2000, 1, 10000, 1}; }};
         }});
    add({"SetTimeouts null", {}, [](RYX_HANDLE h, Arena&) { return RYX_SetTimeouts(h, nullptr); }});
    add({"SetTimeouts largest values, read back",
         [](Arena& a) {
             a.timeouts = {kMax, kMax, kMax, kMax};
         },
         [](RYX_HANDLE h, Arena& a) {
             const std::uint32_t set = RYX_SetTimeouts(h, &a.timeouts);
             if (set != RYX_SUCCESS) return set;
             LinkTimeouts back{};
             EXPECT_EQ(RYX_GetTimeouts(h, &back), RYX_SUCCESS);
             EXPECT_EQ(back.statusTimeout, kMax);
             EXPECT_EQ(back.statusRetries, kMax);
             EXPECT_EQ(back.responseTimeout, kMax);
             EXPECT_EQ(back.responseRetries, kMax);
             return set;
         },
         false,
         [](State) {
             return Outcome{RYX_SUCCESS, {}};
         }});

    // RYX_SetBaudRate: only the rates of the table; the rate in force is accepted and nothing is sent.
    for (std::uint32_t rate : {0u, 1u, 9599u, 9601u, 115201u, 499999u, 500001u, 0x7FFFFFFFu, kMax}) {
        add({"SetBaudRate " + std::to_string(rate), {}, [rate](RYX_HANDLE h, Arena&) {
                 return RYX_SetBaudRate(h, rate);
             }});
    }

    // RYX_PowerOnIcc.
    for (std::uint32_t slot : kBadSlots) {
        add({"PowerOnIcc slot " + std::to_string(slot), [](Arena& a) { a.length = 64; },
             [slot](RYX_HANDLE h, Arena& a) { return RYX_PowerOnIcc(h, slot, a.buffer, &a.length); }});
    }
    add({"PowerOnIcc null length", {}, [](RYX_HANDLE h, Arena& a) { return RYX_PowerOnIcc(h, 0, a.buffer, nullptr); }});
    add({"PowerOnIcc null buffer, null length", {}, [](RYX_HANDLE h, Arena&) {
             return RYX_PowerOnIcc(h, 0, nullptr, nullptr);
         }});
    add({"PowerOnIcc bad slot before the length is read", {}, [](RYX_HANDLE h, Arena&) {
             return RYX_PowerOnIcc(h, 2, Forbidden().bytes(), Forbidden().word());
         }});
    // The ATR needs 9 bytes. Sizes below that power the card and report the size; the others receive the ATR.
    for (bool withBuffer : {true, false}) {
        for (std::uint32_t size : {0u, 1u, 8u, 9u, 64u, kMax}) {
            add({std::string("PowerOnIcc ") + (withBuffer ? "buffer" : "null buffer") + ", size " +
                     std::to_string(size),
                 [size](Arena& a) { a.length = size; },
                 [withBuffer](RYX_HANDLE h, Arena& a) {
                     return RYX_PowerOnIcc(h, 0, withBuffer ? a.buffer : nullptr, &a.length);
                 },
                 false,
                 [=](State s) {
                     if (!cardIn(s)) return Outcome{RYX_W_REMOVED_CARD, Length(0)};
                     if (size < kAtr.size()) return Outcome{RYX_ERROR_INSUFFICIENT_BUFFER, Length(9)};
                     if (!withBuffer) return Outcome{RYX_SUCCESS, Length(9)};
                     return Outcome{RYX_SUCCESS, BufferAndLength(kAtr, 9)};
                 }});
        }
    }
    add({"PowerOnIcc empty slot", [](Arena& a) { a.length = 64; },
         [](RYX_HANDLE h, Arena& a) { return RYX_PowerOnIcc(h, 1, a.buffer, &a.length); }, false,
         [](State) {
             return Outcome{RYX_W_REMOVED_CARD, Length(0)};
         }});

    // RYX_PowerOffIcc.
    for (std::uint32_t slot : kBadSlots) {
        add({"PowerOffIcc slot " + std::to_string(slot), {}, [slot](RYX_HANDLE h, Arena&) {
                 return RYX_PowerOffIcc(h, slot);
             }});
    }
    for (std::uint32_t slot : {0u, 1u}) {
        add({"PowerOffIcc slot " + std::to_string(slot),
             {},
             [slot](RYX_HANDLE h, Arena&) { return RYX_PowerOffIcc(h, slot); },
             false,
             [](State) {
                 return Outcome{RYX_SUCCESS, {}};
             }});
    }

    // RYX_SetProtocol: arena.word is the optional out-value.
    for (std::uint32_t slot : kBadSlots) {
        add({"SetProtocol slot " + std::to_string(slot),
             {},
             [slot](RYX_HANDLE h, Arena& a) { return RYX_SetProtocol(h, slot, 3, &a.word); },
             true});
    }
    for (std::uint32_t mask : {0u, 4u, 0x80000000u, 0xFFFFFFFCu, 0x7FFFFFFCu}) {
        add({"SetProtocol mask " + std::to_string(mask),
             {},
             [mask](RYX_HANDLE h, Arena& a) { return RYX_SetProtocol(h, 0, mask, &a.word); },
             true});
        add({"SetProtocol mask " + std::to_string(mask) + ", null out", {}, [mask](RYX_HANDLE h, Arena&) {
                 return RYX_SetProtocol(h, 0, mask, nullptr);
             }});
    }
    for (bool withOut : {true, false}) {
        for (std::uint32_t mask : {1u, 2u, 3u, kMax}) {
            add({"SetProtocol mask " + std::to_string(mask) + (withOut ? "" : ", null out"),
                 {},
                 [mask, withOut](RYX_HANDLE h, Arena& a) {
                     return RYX_SetProtocol(h, 0, mask, withOut ? &a.word : nullptr);
                 },
                 withOut,
                 [=](State s) {
                     // The built-in card offers T=0 only, so T=1 alone is refused before anything is sent.
                     if (s == State::kBeforePowerOn || s == State::kPoweredOff)
                         return Outcome{RYX_W_UNPOWERED_CARD, {}};
                     if (mask == 2) return Outcome{RYX_E_PROTO_MISMATCH, {}};
                     if (!cardIn(s)) return Outcome{RYX_W_REMOVED_CARD, {}};
                     return Outcome{RYX_SUCCESS, withOut ? Word(RYX_PROTOCOL_T0) : std::function<void(Arena&)>{}};
                 }});
        }
    }
    add({"SetProtocol empty slot, never powered",
         {},
         [](RYX_HANDLE h, Arena& a) { return RYX_SetProtocol(h, 1, 3, &a.word); },
         true,
         [](State) {
             return Outcome{RYX_W_UNPOWERED_CARD, {}};
         }});

    // RYX_GetIccStatus.
    for (std::uint32_t slot : kBadSlots) {
        add({"GetIccStatus slot " + std::to_string(slot), {}, [slot](RYX_HANDLE h, Arena& a) {
                 return RYX_GetIccStatus(h, slot, &a.word);
             }});
    }
    add({"GetIccStatus null", {}, [](RYX_HANDLE h, Arena&) { return RYX_GetIccStatus(h, 0, nullptr); }});
    add({"GetIccStatus bad slot before the out-value is touched", {}, [](RYX_HANDLE h, Arena&) {
             return RYX_GetIccStatus(h, 2, Forbidden().word());
         }});
    add({"GetIccStatus slot 0",
         {},
         [](RYX_HANDLE h, Arena& a) { return RYX_GetIccStatus(h, 0, &a.word); },
         false,
         [=](State s) {
             if (!cardIn(s)) return Outcome{RYX_SUCCESS, Word(RYX_ICC_ABSENT)};
             return Outcome{RYX_SUCCESS, Word(powered(s) ? RYX_ICC_POWERED : RYX_ICC_PRESENT)};
         }});
    add({"GetIccStatus empty slot",
         {},
         [](RYX_HANDLE h, Arena& a) { return RYX_GetIccStatus(h, 1, &a.word); },
         false,
         [](State) {
             return Outcome{RYX_SUCCESS, Word(RYX_ICC_ABSENT)};
         }});

    // RYX_ExchangeApdu: the command lives in the arena's buffer's upper half, the response in its lower half.
    const auto exchange = [](std::uint32_t slot, const std::vector<std::uint8_t>& apdu) {
        return [slot, apdu](RYX_HANDLE h, Arena& a) {
            return RYX_ExchangeApdu(h, slot, apdu.data(), static_cast<std::uint32_t>(apdu.size()), a.buffer, &a.length);
        };
    };
    for (std::uint32_t slot : kBadSlots) {
        add({"ExchangeApdu slot " + std::to_string(slot), SetLength(64), exchange(slot, kEcho)});
    }
    add({"ExchangeApdu null command", SetLength(64),
         [](RYX_HANDLE h, Arena& a) { return RYX_ExchangeApdu(h, 0, nullptr, 8, a.buffer, &a.length); }});
    add({"ExchangeApdu null command of length 0", SetLength(64),
         [](RYX_HANDLE h, Arena& a) { return RYX_ExchangeApdu(h, 0, nullptr, 0, a.buffer, &a.length); }});
    add({"ExchangeApdu command length 0", SetLength(64),
         [](RYX_HANDLE h, Arena& a) { return RYX_ExchangeApdu(h, 0, kEcho.data(), 0, a.buffer, &a.length); }});
    add({"ExchangeApdu null response", SetLength(64),
         [](RYX_HANDLE h, Arena& a) { return RYX_ExchangeApdu(h, 0, kEcho.data(), 8, nullptr, &a.length); }});
    add({"ExchangeApdu null response length", {}, [](RYX_HANDLE h, Arena& a) {
             return RYX_ExchangeApdu(h, 0, kEcho.data(), 8, a.buffer, nullptr);
         }});
    add({"ExchangeApdu response size 0", SetLength(0), exchange(0, kEcho)});
    // Arguments after the first bad one are not looked at.
    add({"ExchangeApdu bad slot before any pointer is read", {}, [](RYX_HANDLE h, Arena&) {
             return RYX_ExchangeApdu(h, 2, Forbidden().bytes(), kMax, Forbidden().bytes(), Forbidden().word());
         }});
    add({"ExchangeApdu command length 0 before the response length is read", {}, [](RYX_HANDLE h, Arena&) {
             return RYX_ExchangeApdu(h, 0, Forbidden().bytes(), 0, Forbidden().bytes(), Forbidden().word());
         }});
    add({"ExchangeApdu null response before the response length is read", {}, [](RYX_HANDLE h, Arena&) {
             return RYX_ExchangeApdu(h, 0, Forbidden().bytes(), 8, nullptr, Forbidden().word());
         }});
    // A response of 5 bytes into 1, 4 (one short), 5 and the largest size; then responses that come in blocks.
    const auto apduOutcome = [=](State s, std::uint32_t size, const std::vector<std::uint8_t>& reply) {
        if (!cardIn(s)) return Outcome{RYX_W_REMOVED_CARD, {}};
        if (!powered(s)) return Outcome{RYX_ERROR_TIMEOUT, {}};  // a card that is not active answers as mute
        if (size < reply.size()) return Outcome{RYX_ERROR_INSUFFICIENT_BUFFER, {}};
        return Outcome{RYX_SUCCESS, BufferAndLength(reply, static_cast<std::uint32_t>(reply.size()))};
    };
    for (std::uint32_t size : {1u, 4u, 5u, kMax}) {
        add({"ExchangeApdu echo, response size " + std::to_string(size), SetLength(size), exchange(0, kEcho), false,
             [=](State s) { return apduOutcome(s, size, kEchoReply); }});
    }
    for (std::uint32_t size : {261u, 513u, 514u}) {
        add({"ExchangeApdu 514-byte response, size " + std::to_string(size), SetLength(size), exchange(0, kPattern),
             false, [=](State s) { return apduOutcome(s, size, PatternReply()); }});
    }
    for (std::uint32_t size : {601u, 602u}) {
        add({"ExchangeApdu 607-byte command, size " + std::to_string(size), SetLength(size), exchange(0, LongEcho()),
             false, [=](State s) { return apduOutcome(s, size, LongEchoReply()); }});
    }
    add({"ExchangeApdu one-byte command", SetLength(64), exchange(0, {0x00}), false, [=](State s) {
             return apduOutcome(s, 64, {0x67, 0x00});
         }});
    // Longer than any APDU: the reader refuses the block that takes the chain past the longest one (a failed
    // command), and nothing of a response is written.
    add({"ExchangeApdu 70000-byte command", SetLength(64), exchange(0, std::vector<std::uint8_t>(70000, 0x80)), false,
         [=](State s) {
             if (!cardIn(s)) return Outcome{RYX_W_REMOVED_CARD, {}};
             if (!powered(s)) return Outcome{RYX_ERROR_TIMEOUT, {}};
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }});
    add({"ExchangeApdu empty slot", SetLength(64), exchange(1, kEcho), false, [](State) {
             return Outcome{RYX_W_REMOVED_CARD, {}};
         }});

    // RYX_Control: arena.word is bytesReturned.
    const auto control = [](std::uint32_t slot, std::uint32_t code, const std::vector<std::uint8_t>& in,
                            std::uint32_t outSize, bool withReturned = true) {
        return [=](RYX_HANDLE h, Arena& a) {
            return RYX_Control(h, slot, code, in.data(), static_cast<std::uint32_t>(in.size()), a.buffer, outSize,
                               withReturned ? &a.word : nullptr);
        };
    };
    for (std::uint32_t slot : kBadSlots) {
        add({"Control slot " + std::to_string(slot),
             {},
             control(slot, RYX_CONTROL_ESCAPE, kFirmwareCommand, 64),
             true});
    }
    for (std::uint32_t code : {0u, 3499u, 3501u, kMax}) {
        add({"Control code " + std::to_string(code), {}, control(0, code, kFirmwareCommand, 64), true});
    }
    add({"Control null in",
         {},
         [](RYX_HANDLE h, Arena& a) {
             return RYX_Control(h, 0, RYX_CONTROL_ESCAPE, nullptr, 5, a.buffer, 64, &a.word);
         },
         true});
    add({"Control in length 0", {}, control(0, RYX_CONTROL_ESCAPE, {}, 64), true});
    add({"Control null out",
         {},
         [](RYX_HANDLE h, Arena& a) {
             return RYX_Control(h, 0, RYX_CONTROL_ESCAPE, kFirmwareCommand.data(), 5, nullptr, 64, &a.word);
         },
         true});
    add({"Control out size 0", {}, control(0, RYX_CONTROL_ESCAPE, kFirmwareCommand, 0), true});
    add({"Control line-speed escape", {}, control(0, RYX_CONTROL_ESCAPE, {0x44, 0x04}, 64), true});
    add({"Control line-speed escape alone", {}, control(0, RYX_CONTROL_ESCAPE, {0x44}, 64), true});
    add({"Control line-speed escape, null returned", {}, control(0, RYX_CONTROL_ESCAPE, {0x44, 0x04}, 64, false)});
    // The first command byte is looked at only after every other check has passed.
    // The command lies on a page that may not be read: the check each row breaks must refuse before it is read.
    const auto controlUnread = [](std::uint32_t code, std::uint32_t inLength, bool withOut, std::uint32_t outSize) {
        return [=](RYX_HANDLE h, Arena& a) {
            return RYX_Control(h, 0, code, Forbidden().bytes(), inLength, withOut ? a.buffer : nullptr, outSize,
                               &a.word);
        };
    };
    add({"Control code before the command is read", {}, controlUnread(3501, 5, true, 64), true});
    add({"Control in length 0 before the command is read", {}, controlUnread(RYX_CONTROL_ESCAPE, 0, true, 64), true});
    add({"Control null out before the command is read", {}, controlUnread(RYX_CONTROL_ESCAPE, 5, false, 64), true});
    add({"Control out size 0 before the command is read", {}, controlUnread(RYX_CONTROL_ESCAPE, 5, true, 0), true});
    add({"Control bad slot before anything is read",
         {},
         [](RYX_HANDLE h, Arena& a) {
             return RYX_Control(h, 3, RYX_CONTROL_ESCAPE, Forbidden().bytes(), kMax, Forbidden().bytes(), kMax,
                                &a.word);
         },
         true});
    // The firmware reply needs 18 bytes. The reader answers whatever the card does.
    for (bool withReturned : {true, false}) {
        for (std::uint32_t size : {1u, 17u, 18u, kMax}) {
            add({"Control firmware, reply size " + std::to_string(size) + (withReturned ? "" : ", null returned"),
                 {},
                 control(0, RYX_CONTROL_ESCAPE, kFirmwareCommand, size, withReturned),
                 withReturned,
                 [=](State) {
                     if (size < kFirmwareReply.size()) return Outcome{RYX_ERROR_INSUFFICIENT_BUFFER, {}};
                     if (!withReturned) return Outcome{RYX_SUCCESS, [](Arena& a) { a.SetBuffer(kFirmwareReply); }};
                     return Outcome{RYX_SUCCESS, BufferAndWord(kFirmwareReply, 18)};
                 }});
        }
    }
    // An escape longer than the reader takes in one message: it refuses the frame, every attempt.
    add({"Control 2000-byte escape",
         {},
         control(0, RYX_CONTROL_ESCAPE, std::vector<std::uint8_t>(2000, 0x01), 64),
         true,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }});
    add({"Control one-byte escape on the empty slot", {}, control(1, RYX_CONTROL_ESCAPE, {0x45}, 1), true, [](State) {
             return Outcome{RYX_SUCCESS, BufferAndWord({0x45}, 1)};
         }});
    return cases;
}

// Handles that no open returned, given the reader's live handle. The registry compares values only, so none of
// these may be looked behind.
std::vector<std::pair<std::string, RYX_HANDLE>> ForgedHandles(RYX_HANDLE live, RYX_HANDLE closed) {
    static int local = 0;
    std::vector<std::pair<std::string, RYX_HANDLE>> handles = {
        {"null", nullptr},
        {"closed", closed},
        {"live + 1", reinterpret_cast<RYX_HANDLE>(reinterpret_cast<std::uintptr_t>(live) + 1)},
        {"live - 1 (closed earlier)", reinterpret_cast<RYX_HANDLE>(reinterpret_cast<std::uintptr_t>(live) - 1)},
        {"address of a static", reinterpret_cast<RYX_HANDLE>(&local)},
        {"address of a no-access page", reinterpret_cast<RYX_HANDLE>(Forbidden().bytes())},
        {"all ones", reinterpret_cast<RYX_HANDLE>(~std::uintptr_t{0})},
    };
    std::mt19937_64 random(20260428);
    for (int i = 0; i < 4; ++i) {
        const auto value = static_cast<std::uintptr_t>(random());
        if (value != reinterpret_cast<std::uintptr_t>(live)) {
            handles.push_back({"random " + std::to_string(value), reinterpret_cast<RYX_HANDLE>(value)});
        }
    }
    return handles;
}

// One call checked against its outcome: the status, the arena, and whether the reader was asked anything.
void Check(const std::string& what, const Case& c, RYX_HANDLE handle, const Outcome& outcome, Reader* reader,
           bool mayTalk) {
    Arena arena;
    if (c.prepare) c.prepare(arena);
    Arena expected = arena;
    const std::size_t framesBefore = reader != nullptr ? reader->FramesReceived() : 0;
    const std::uint32_t status = c.call(handle, arena);
    EXPECT_EQ(status, outcome.status) << what;
    if (outcome.writes) outcome.writes(expected);
    if (status != RYX_SUCCESS && c.clearsWord) expected.word = 0;
    EXPECT_EQ(Difference(expected, arena), "") << what;
    if (reader != nullptr && !mayTalk) {
        EXPECT_EQ(reader->FramesReceived(), framesBefore) << what << ": a refused call sent a frame";
    }
}

void ExpectGoodExchange(RYX_HANDLE handle, const std::string& what);

// A good exchange on a reader after whatever was done to it (a removed card is put back first).
void ExpectGoodExchange(Reader& reader, const std::string& what) {
    reader.sim().InsertCard(0, kAtr);
    ExpectGoodExchange(reader.handle(), what);
}

void ExpectGoodExchange(RYX_HANDLE handle, const std::string& what) {
    std::uint8_t atr[64];
    std::uint32_t atrLength = sizeof atr;
    ASSERT_EQ(RYX_PowerOnIcc(handle, 0, atr, &atrLength), RYX_SUCCESS) << what;
    std::uint8_t response[16];
    std::uint32_t length = sizeof response;
    ASSERT_EQ(RYX_ExchangeApdu(handle, 0, kEcho.data(), static_cast<std::uint32_t>(kEcho.size()), response, &length),
              RYX_SUCCESS)
        << what;
    EXPECT_EQ(std::vector<std::uint8_t>(response, response + length), kEchoReply) << what;
}

class Sweep : public testing::TestWithParam<State> {};

// Every case of the table with the reader's own handle, in one state.
TEST_P(Sweep, EveryExportGivesItsCodeAndWritesOnlyWhatItMay) {
    ASSERT_NE(Forbidden().bytes(), nullptr);
    const State state = GetParam();
    auto reader = std::make_unique<Reader>(state);
    ASSERT_NE(reader->handle(), nullptr);
    for (const Case& c : SweepCases()) {
        const std::string what = c.name + " (" + Name(state) + ")";
        if (!c.valid) {
            Check(what, c, reader->handle(), {RYX_ERROR_INVALID_PARAMETER, {}}, reader.get(), false);
            continue;
        }
        Check(what, c, reader->handle(), c.valid(state), reader.get(), true);
        // The call may have changed the card's state: the next case starts from a fresh reader in the same state.
        reader = std::make_unique<Reader>(state);
        ASSERT_NE(reader->handle(), nullptr);
    }
    ExpectGoodExchange(*reader, std::string("after the sweep (") + Name(state) + ")");
}

// Every case of the table with handles that are not open: 6 before anything else, whatever the arguments are.
TEST_P(Sweep, AHandleThatIsNotOpenIsRefusedBeforeAnyArgument) {
    const State state = GetParam();
    RYX_HANDLE closed = nullptr;
    {
        Reader earlier(State::kBeforePowerOn);
        closed = earlier.handle();
    }
    Reader reader(state);
    ASSERT_NE(reader.handle(), nullptr);
    for (const auto& [name, handle] : ForgedHandles(reader.handle(), closed)) {
        for (const Case& c : SweepCases()) {
            Check(c.name + " with handle " + name + " (" + Name(state) + ")", c, handle, {RYX_ERROR_INVALID_HANDLE, {}},
                  &reader, false);
        }
        // Nothing behind the handle is read: not even the arguments.
        const std::string what = "handle " + name + " with no-access arguments";
        NoAccessPage& no = Forbidden();
        EXPECT_EQ(RYX_Close(handle), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_GetNumSlots(handle, no.word()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_GetBaudRate(handle, no.word()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_SetBaudRate(handle, 9600), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_GetTimeouts(handle, no.timeouts()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_SetTimeouts(handle, no.timeouts()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_PowerOnIcc(handle, 0, no.bytes(), no.word()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_PowerOffIcc(handle, 0), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_GetIccStatus(handle, 0, no.word()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_ExchangeApdu(handle, 0, no.bytes(), 8, no.bytes(), no.word()), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_SetProtocol(handle, 0, 3, nullptr), RYX_ERROR_INVALID_HANDLE) << what;
        EXPECT_EQ(RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, no.bytes(), 5, no.bytes(), 64, nullptr),
                  RYX_ERROR_INVALID_HANDLE)
            << what;
    }
    ExpectGoodExchange(reader, std::string("after the forged handles (") + Name(state) + ")");
}

INSTANTIATE_TEST_SUITE_P(States, Sweep, testing::ValuesIn(kStates), [](const testing::TestParamInfo<State>& param) {
    switch (param.param) {
        case State::kBeforePowerOn:
            return std::string("BeforePowerOn");
        case State::kPowered:
            return std::string("Powered");
        case State::kPoweredOff:
            return std::string("PoweredOff");
        case State::kCardRemoved:
            return std::string("CardRemoved");
    }
    return std::string("Unknown");
});

// A closed handle stays refused, by every export, also after later opens.
TEST(ClosedHandle, IsRefusedByEveryExportAndCloseTwiceGivesInvalidHandle) {
    RYX_HANDLE first = nullptr;
    {
        sim::Simulator sim;
        ASSERT_TRUE(sim.Start());
        ASSERT_EQ(RYX_OpenA(sim.SlavePath().c_str(), &first), RYX_SUCCESS);
        ASSERT_EQ(RYX_Close(first), RYX_SUCCESS);
        EXPECT_EQ(RYX_Close(first), RYX_ERROR_INVALID_HANDLE);
    }
    Reader later(State::kPowered);
    ASSERT_NE(later.handle(), nullptr);
    EXPECT_NE(later.handle(), first);
    for (const Case& c : SweepCases()) {
        Check(c.name + " with the first reader's closed handle", c, first, {RYX_ERROR_INVALID_HANDLE, {}}, &later,
              false);
    }
    ExpectGoodExchange(later, "the later reader");
}

// A chained response that fails after its first block has arrived: the caller's buffer and length stay as they
// were, whatever ended the chain.
TEST(ChainedResponse, AFailureHalfWayLeavesTheBufferAndLengthUntouched) {
    struct FailureCase {
        const char* name;
        sim::Fault fault;
        std::uint32_t status;
    };
    const FailureCase cases[] = {
        {"card mute at the second block", StatusFault(0x41), RYX_ERROR_TIMEOUT},
        {"card gone at the second block", StatusFault(0x42), RYX_W_REMOVED_CARD},
        {"wrong sequence number at the second block", FaultOf(sim::FaultKind::kWrongSequence), RYX_ERROR_GEN_FAILURE},
        {"wrong reply type at the second block", FaultOf(sim::FaultKind::kWrongType), RYX_ERROR_GEN_FAILURE},
    };
    for (const FailureCase& c : cases) {
        Reader reader(State::kPowered);
        ASSERT_NE(reader.handle(), nullptr);
        reader.sim().QueueFault(FaultOf(sim::FaultKind::kPass));  // the first block's reply arrives intact
        reader.sim().QueueFault(c.fault);
        Arena arena;
        arena.length = 1024;
        const Arena expected = arena;
        EXPECT_EQ(RYX_ExchangeApdu(reader.handle(), 0, kPattern.data(), static_cast<std::uint32_t>(kPattern.size()),
                                   arena.buffer, &arena.length),
                  c.status)
            << c.name;
        EXPECT_EQ(Difference(expected, arena), "") << c.name;
        EXPECT_EQ(reader.sim().PendingFaults(), 0u) << c.name;
        // The same exchange without the fault brings the whole response.
        arena.length = 1024;
        ASSERT_EQ(RYX_ExchangeApdu(reader.handle(), 0, kPattern.data(), static_cast<std::uint32_t>(kPattern.size()),
                                   arena.buffer, &arena.length),
                  RYX_SUCCESS)
            << c.name;
        EXPECT_EQ(std::vector<std::uint8_t>(arena.buffer, arena.buffer + arena.length), PatternReply()) << c.name;
    }
}

// A reader whose answer is rejected: each call that talks to it fails with 31 and writes only
// what its contract names for a failure (the needed ATR size becomes 0, the ICC status RYX_ICC_UNKNOWN, the optional
// out-values 0); buffers stay as they were.
TEST(ReaderFailure, EachCallWritesOnlyWhatItsContractNamesForAFailure) {
    const Case cases[] = {
        {"PowerOnIcc", SetLength(64), [](RYX_HANDLE h, Arena& a) { return RYX_PowerOnIcc(h, 0, a.buffer, &a.length); },
         false,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, Length(0)};
         }},
        {"PowerOffIcc",
         {},
         [](RYX_HANDLE h, Arena&) { return RYX_PowerOffIcc(h, 0); },
         false,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }},
        {"GetIccStatus",
         {},
         [](RYX_HANDLE h, Arena& a) { return RYX_GetIccStatus(h, 0, &a.word); },
         false,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, Word(RYX_ICC_UNKNOWN)};
         }},
        {"ExchangeApdu", SetLength(64),
         [](RYX_HANDLE h, Arena& a) {
             return RYX_ExchangeApdu(h, 0, kEcho.data(), static_cast<std::uint32_t>(kEcho.size()), a.buffer, &a.length);
         },
         false,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }},
        {"Control",
         {},
         [](RYX_HANDLE h, Arena& a) {
             return RYX_Control(h, 0, RYX_CONTROL_ESCAPE, kFirmwareCommand.data(), 5, a.buffer, 64, &a.word);
         },
         true,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }},
        {"SetProtocol at the default speed (no retry)",
         {},
         [](RYX_HANDLE h, Arena& a) {
             return RYX_SetProtocol(h, 0, RYX_PROTOCOL_T0 | RYX_PROTOCOL_DEFAULT_SPEED, &a.word);
         },
         true,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }},
        // A reader that carried the speed change out but answered with the wrong number would now listen at the new
        // rate while the port stays at the old one; here the reader refuses the command instead, so that it stays
        // reachable.
        {"SetBaudRate",
         {},
         [](RYX_HANDLE h, Arena&) { return RYX_SetBaudRate(h, 115200); },
         false,
         [](State) {
             return Outcome{RYX_ERROR_GEN_FAILURE, {}};
         }},
    };
    for (const Case& c : cases) {
        Reader reader(State::kPowered);
        ASSERT_NE(reader.handle(), nullptr);
        // SetBaudRate's reply is a failed command, not carried out.
        reader.sim().QueueFault(c.name == "SetBaudRate" ? StatusFault(0x40, 0x00)
                                                        : FaultOf(sim::FaultKind::kWrongSequence));
        Check(c.name + " answered with the wrong sequence number", c, reader.handle(), c.valid(State::kPowered),
              &reader, true);
        EXPECT_EQ(reader.sim().PendingFaults(), 0u) << c.name;
        std::uint32_t rate = 0;
        EXPECT_EQ(RYX_GetBaudRate(reader.handle(), &rate), RYX_SUCCESS);
        EXPECT_EQ(rate, 9600u) << c.name << ": the port moved although the reader's answer was rejected";
        ExpectGoodExchange(reader, c.name + ", afterwards");
    }
}

// ATRs of every awkward length: none at all, exactly the 64 bytes that fit, and longer than any ATR may be. Only an
// ATR that fits the caller's buffer is copied; one longer than 64 bytes leaves the card counted as not powered with
// a length of 0, unlike a buffer that is merely too small, which learns the size it needs.
TEST(AtrLength, EachLengthGivesItsCodeLengthAndPoweredState) {
    struct AtrCase {
        std::size_t atrLength;
        std::uint32_t size;
        std::uint32_t status;
        std::uint32_t lengthAfter;
        bool copied;
        bool powered;  // RYX_SetProtocol then finds an ATR to work on (it does not give RYX_W_UNPOWERED_CARD)
    };
    const AtrCase cases[] = {
        {0, 0, RYX_SUCCESS, 0, false, false},
        {0, 64, RYX_SUCCESS, 0, false, false},
        {64, 63, RYX_ERROR_INSUFFICIENT_BUFFER, 64, false, true},
        {64, 64, RYX_SUCCESS, 64, true, true},
        {64, kMax, RYX_SUCCESS, 64, true, true},
        {65, 64, RYX_ERROR_INSUFFICIENT_BUFFER, 0, false, false},
        {65, kMax, RYX_ERROR_INSUFFICIENT_BUFFER, 0, false, false},
        {200, kMax, RYX_ERROR_INSUFFICIENT_BUFFER, 0, false, false},
    };
    for (const AtrCase& c : cases) {
        const std::string what = "ATR of " + std::to_string(c.atrLength) + " bytes, size " + std::to_string(c.size);
        Reader reader(State::kBeforePowerOn);
        ASSERT_NE(reader.handle(), nullptr);
        // TS 3B, T0 with no interface bytes and the rest as historical bytes: well-formed up to 15 of them.
        std::vector<std::uint8_t> atr;
        for (std::size_t i = 0; i < c.atrLength; ++i)
            atr.push_back(static_cast<std::uint8_t>(i == 0 ? 0x3B : 0x40 + i));
        reader.sim().InsertCard(0, atr);
        Arena arena;
        arena.length = c.size;
        Arena expected = arena;
        EXPECT_EQ(RYX_PowerOnIcc(reader.handle(), 0, arena.buffer, &arena.length), c.status) << what;
        expected.length = c.lengthAfter;
        if (c.copied) expected.SetBuffer(atr);
        EXPECT_EQ(Difference(expected, arena), "") << what;
        std::uint32_t active = kGuardWord;
        const std::uint32_t protocol = RYX_SetProtocol(reader.handle(), 0, RYX_PROTOCOL_T0, &active);
        if (c.powered) {
            EXPECT_NE(protocol, RYX_W_UNPOWERED_CARD) << what;
        } else {
            EXPECT_EQ(protocol, RYX_W_UNPOWERED_CARD) << what;
            EXPECT_EQ(active, 0u) << what;
        }
        ExpectGoodExchange(reader, what + ", then the built-in card");
    }
}

// The open functions: no handle to check, so their arguments come first; nothing is written through `handle` unless
// the open succeeds.
struct OpenCase {
    const char* name;
    std::function<std::uint32_t(Arena&, const std::string& port)> call;
    std::uint32_t status;
};

TEST(Open, BadNamesAndNullPointersGiveTheirCodesAndWriteNoHandle) {
    sim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    const std::string longName(5000, 'x');
    const std::string longPath = "/" + std::string(300, 'x');  // one name component longer than allowed
    const OpenCase cases[] = {
        {"A null name", [](Arena& a, const std::string&) { return RYX_OpenA(nullptr, &a.handle); },
         RYX_ERROR_INVALID_PARAMETER},
        {"A null handle", [](Arena&, const std::string& port) { return RYX_OpenA(port.c_str(), nullptr); },
         RYX_ERROR_INVALID_PARAMETER},
        {"A null name and handle", [](Arena&, const std::string&) { return RYX_OpenA(nullptr, nullptr); },
         RYX_ERROR_INVALID_PARAMETER},
        {"A empty name", [](Arena& a, const std::string&) { return RYX_OpenA("", &a.handle); },
         RYX_ERROR_FILE_NOT_FOUND},
        {"A no such device", [](Arena& a, const std::string&) { return RYX_OpenA("/dev/ryx-no-such-port", &a.handle); },
         RYX_ERROR_FILE_NOT_FOUND},
        {"A not a serial device", [](Arena& a, const std::string&) { return RYX_OpenA("/dev/null", &a.handle); },
         RYX_ERROR_INVALID_PARAMETER},
        {"A name component too long",
         [&](Arena& a, const std::string&) { return RYX_OpenA(longPath.c_str(), &a.handle); },
         RYX_ERROR_SYSTEM_BIT | ENAMETOOLONG},
        {"A path too long", [&](Arena& a, const std::string&) { return RYX_OpenA(longName.c_str(), &a.handle); },
         RYX_ERROR_SYSTEM_BIT | ENAMETOOLONG},
        {"W null name", [](Arena& a, const std::string&) { return RYX_OpenW(nullptr, &a.handle); },
         RYX_ERROR_INVALID_PARAMETER},
        {"W null handle", [](Arena&, const std::string&) { return RYX_OpenW(u"/dev/null", nullptr); },
         RYX_ERROR_INVALID_PARAMETER},
        {"W empty name", [](Arena& a, const std::string&) { return RYX_OpenW(u"", &a.handle); },
         RYX_ERROR_FILE_NOT_FOUND},
        {"W unpaired high surrogate",
         [](Arena& a, const std::string&) {
             const RYX_WCHAR name[] = {u'/', u'd', 0xD800, 0};
             return RYX_OpenW(name, &a.handle);
         },
         RYX_ERROR_INVALID_NAME},
        {"W unpaired low surrogate at the end",
         [](Arena& a, const std::string&) {
             const RYX_WCHAR name[] = {u'/', 0xDC00, 0};
             return RYX_OpenW(name, &a.handle);
         },
         RYX_ERROR_INVALID_NAME},
    };
    for (const OpenCase& c : cases) {
        Arena arena;
        const Arena expected = arena;
        EXPECT_EQ(c.call(arena, sim.SlavePath()), c.status) << c.name;
        EXPECT_EQ(Difference(expected, arena), "") << c.name;
    }
    EXPECT_TRUE(sim.ReceivedFrames().empty()) << "a refused open sent a frame";

    // A good open writes the handle and nothing else; a second open of the same port is refused and writes nothing.
    Arena arena;
    Arena expected = arena;
    ASSERT_EQ(RYX_OpenA(sim.SlavePath().c_str(), &arena.handle), RYX_SUCCESS);
    expected.handle = arena.handle;
    EXPECT_EQ(Difference(expected, arena), "");
    const RYX_HANDLE handle = arena.handle;
    const std::u16string wide(sim.SlavePath().begin(), sim.SlavePath().end());
    Arena again;
    const Arena untouched = again;
    EXPECT_EQ(RYX_OpenA(sim.SlavePath().c_str(), &again.handle), RYX_ERROR_ACCESS_DENIED);
    EXPECT_EQ(RYX_OpenW(wide.c_str(), &again.handle), RYX_ERROR_ACCESS_DENIED);
    EXPECT_EQ(Difference(untouched, again), "");
    ExpectGoodExchange(handle, "after the refused second opens");
    EXPECT_EQ(RYX_Close(handle), RYX_SUCCESS);

    // The wide open of the same port, once it is free again.
    Arena wideArena;
    Arena wideExpected = wideArena;
    ASSERT_EQ(RYX_OpenW(wide.c_str(), &wideArena.handle), RYX_SUCCESS);
    wideExpected.handle = wideArena.handle;
    EXPECT_EQ(Difference(wideExpected, wideArena), "");
    ExpectGoodExchange(wideArena.handle, "after the wide open");
    EXPECT_EQ(RYX_Close(wideArena.handle), RYX_SUCCESS);
}

}  // namespace
}  // namespace ryx::test
