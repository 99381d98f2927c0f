// The checks every export makes before it touches a reader: the handle (6), then its arguments (87), with
// nothing written on failure except the optional out-values that RYX_SetProtocol and RYX_Control clear.
// These tests register a context directly, so no reader is needed.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <ryx.h>

#include "api/reader_context.h"
#include "api/registry.h"

namespace ryx {
namespace {

constexpr std::uint32_t kGuard = 0xA5A5A5A5;

// A registered, identified-looking context with two slots and no port: only calls that fail their checks may be
// made on it.
class RegisteredContext {
public:
    RegisteredContext() {
        context_.slotCount = 2;
        context_.slots.reset(new SlotRecord[2]());
        context_.link.statusTimeout = 2000;
        context_.link.statusRetries = 1;
        context_.link.responseTimeout = 10000;
        context_.link.responseRetries = 1;
        context_.ready = true;
        handle_ = RegistryInsert(std::shared_ptr<ReaderContext>(&context_, [](ReaderContext*) {}));
    }
    ~RegisteredContext() { RegistryRemove(handle_); }
    RYX_HANDLE handle() const { return handle_; }
    ReaderContext& context() { return context_; }

private:
    ReaderContext context_;
    RYX_HANDLE handle_ = nullptr;
};

struct Call {
    std::string name;
    std::function<std::uint32_t(RYX_HANDLE)> run;
};

// One call of each export that takes a handle, with valid arguments and guarded out-values.
struct GuardedCalls {
    std::uint32_t out = kGuard;
    std::uint32_t length = 64;
    std::uint32_t active = kGuard;
    std::uint32_t returned = kGuard;
    LinkTimeouts timeouts{kGuard, kGuard, kGuard, kGuard};
    std::uint8_t buffer[64];
    std::uint8_t command[5] = {0x00, 0xB0, 0x00, 0x00, 0x02};

    std::vector<Call> All() {
        return {
            {"RYX_Close", [](RYX_HANDLE h) { return RYX_Close(h); }},
            {"RYX_GetNumSlots", [this](RYX_HANDLE h) { return RYX_GetNumSlots(h, &out); }},
            {"RYX_GetBaudRate", [this](RYX_HANDLE h) { return RYX_GetBaudRate(h, &out); }},
            {"RYX_SetBaudRate", [](RYX_HANDLE h) { return RYX_SetBaudRate(h, 9600); }},
            {"RYX_GetTimeouts", [this](RYX_HANDLE h) { return RYX_GetTimeouts(h, &timeouts); }},
            {"RYX_SetTimeouts", [this](RYX_HANDLE h) { return RYX_SetTimeouts(h, &timeouts); }},
            {"RYX_PowerOnIcc", [this](RYX_HANDLE h) { return RYX_PowerOnIcc(h, 0, buffer, &length); }},
            {"RYX_PowerOffIcc", [](RYX_HANDLE h) { return RYX_PowerOffIcc(h, 0); }},
            {"RYX_SetProtocol", [this](RYX_HANDLE h) { return RYX_SetProtocol(h, 0, 3, &active); }},
            {"RYX_GetIccStatus", [this](RYX_HANDLE h) { return RYX_GetIccStatus(h, 0, &out); }},
            {"RYX_ExchangeApdu", [this](RYX_HANDLE h) { return RYX_ExchangeApdu(h, 0, command, 5, buffer, &length); }},
            {"RYX_Control",
             [this](RYX_HANDLE h) { return RYX_Control(h, 0, RYX_CONTROL_ESCAPE, command, 5, buffer, 64, &returned); }},
        };
    }
};

TEST(HandleCheck, UnknownHandlesGetInvalidHandleAndNothingIsWritten) {
    RegisteredContext closed;
    const RYX_HANDLE stale = closed.handle();
    ASSERT_TRUE(RegistryRemove(stale));
    const RYX_HANDLE forged[] = {nullptr, reinterpret_cast<RYX_HANDLE>(0xDEADBEEF),
                                 reinterpret_cast<RYX_HANDLE>(~std::uintptr_t{0}), stale};
    for (RYX_HANDLE handle : forged) {
        GuardedCalls calls;
        for (auto& call : calls.All()) {
            EXPECT_EQ(call.run(handle), RYX_ERROR_INVALID_HANDLE) << call.name;
        }
        EXPECT_EQ(calls.out, kGuard);
        EXPECT_EQ(calls.length, 64u);
        EXPECT_EQ(calls.timeouts.statusTimeout, kGuard);
        // The two optional out-values are cleared on every failure, this one included.
        EXPECT_EQ(calls.active, 0u);
        EXPECT_EQ(calls.returned, 0u);
    }
}

TEST(HandleCheck, ComesBeforeTheArgumentChecks) {
    const RYX_HANDLE unknown = reinterpret_cast<RYX_HANDLE>(0x1234);
    EXPECT_EQ(RYX_GetNumSlots(unknown, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_GetBaudRate(unknown, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_SetBaudRate(unknown, 1), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_GetTimeouts(unknown, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_SetTimeouts(unknown, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_PowerOnIcc(unknown, 99, nullptr, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_PowerOffIcc(unknown, 99), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_SetProtocol(unknown, 99, 0, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_GetIccStatus(unknown, 99, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_ExchangeApdu(unknown, 99, nullptr, 0, nullptr, nullptr), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_Control(unknown, 99, 0, nullptr, 0, nullptr, 0, nullptr), RYX_ERROR_INVALID_HANDLE);
}

TEST(HandleCheck, AContextStillBeingOpenedIsNotServed) {
    RegisteredContext opening;
    opening.context().ready = false;
    std::uint32_t slots = kGuard;
    EXPECT_EQ(RYX_GetNumSlots(opening.handle(), &slots), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(slots, kGuard);
    EXPECT_EQ(RYX_Close(opening.handle()), RYX_ERROR_INVALID_HANDLE);
}

TEST(HandleCheck, HandlesAreNeverReused) {
    RYX_HANDLE first;
    {
        RegisteredContext a;
        first = a.handle();
    }
    RegisteredContext b;  // very likely at the same address as a
    EXPECT_NE(b.handle(), first);
    std::uint32_t slots = 0;
    EXPECT_EQ(RYX_GetNumSlots(first, &slots), RYX_ERROR_INVALID_HANDLE);
    EXPECT_EQ(RYX_GetNumSlots(b.handle(), &slots), RYX_SUCCESS);
    EXPECT_EQ(slots, 2u);
}

struct ArgumentCase {
    const char* what;
    std::function<std::uint32_t(RYX_HANDLE, std::uint32_t* out)> run;
};

TEST(ArgumentChecks, EachBadArgumentGivesInvalidParameterAndChangesNothing) {
    std::uint8_t buffer[16] = {};
    std::uint8_t command[4] = {0x00, 0xA4, 0x04, 0x00};
    std::uint8_t baudEscape[2] = {0x44, 0x04};
    std::uint32_t zero = 0;
    std::uint32_t sixteen = 16;
    // The calls that take buffers, with the arguments each row gives.
    const auto exchange = [](std::uint32_t slot, const std::uint8_t* in, std::uint32_t inLength, std::uint8_t* response,
                             std::uint32_t* responseLength) {
        return [=](RYX_HANDLE h, std::uint32_t*) {
            return RYX_ExchangeApdu(h, slot, in, inLength, response, responseLength);
        };
    };
    const auto control = [](std::uint32_t slot, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLength,
                            std::uint8_t* outBuffer, std::uint32_t outSize) {
        return [=](RYX_HANDLE h, std::uint32_t* out) {
            return RYX_Control(h, slot, code, in, inLength, outBuffer, outSize, out);
        };
    };
    const ArgumentCase cases[] = {
        {"GetNumSlots null", [](RYX_HANDLE h, std::uint32_t*) { return RYX_GetNumSlots(h, nullptr); }},
        {"GetBaudRate null", [](RYX_HANDLE h, std::uint32_t*) { return RYX_GetBaudRate(h, nullptr); }},
        {"SetBaudRate 9601", [](RYX_HANDLE h, std::uint32_t*) { return RYX_SetBaudRate(h, 9601); }},
        {"SetBaudRate 0", [](RYX_HANDLE h, std::uint32_t*) { return RYX_SetBaudRate(h, 0); }},
        {"GetTimeouts null", [](RYX_HANDLE h, std::uint32_t*) { return RYX_GetTimeouts(h, nullptr); }},
        {"SetTimeouts null", [](RYX_HANDLE h, std::uint32_t*) { return RYX_SetTimeouts(h, nullptr); }},
        {"PowerOnIcc slot == count",
         [&](RYX_HANDLE h, std::uint32_t*) { return RYX_PowerOnIcc(h, 2, buffer, &sixteen); }},
        {"PowerOnIcc null length", [&](RYX_HANDLE h, std::uint32_t*) { return RYX_PowerOnIcc(h, 0, buffer, nullptr); }},
        {"PowerOffIcc slot == count", [](RYX_HANDLE h, std::uint32_t*) { return RYX_PowerOffIcc(h, 2); }},
        {"SetProtocol slot == count", [](RYX_HANDLE h, std::uint32_t* out) { return RYX_SetProtocol(h, 2, 3, out); }},
        {"SetProtocol mask 0", [](RYX_HANDLE h, std::uint32_t* out) { return RYX_SetProtocol(h, 0, 0, out); }},
        {"SetProtocol default speed alone",
         [](RYX_HANDLE h, std::uint32_t* out) { return RYX_SetProtocol(h, 0, RYX_PROTOCOL_DEFAULT_SPEED, out); }},
        {"SetProtocol only other bits",
         [](RYX_HANDLE h, std::uint32_t* out) { return RYX_SetProtocol(h, 0, 0x7FFFFFFC, out); }},
        {"GetIccStatus slot == count", [](RYX_HANDLE h, std::uint32_t* out) { return RYX_GetIccStatus(h, 2, out); }},
        {"GetIccStatus null", [](RYX_HANDLE h, std::uint32_t*) { return RYX_GetIccStatus(h, 0, nullptr); }},
        {"ExchangeApdu slot == count", exchange(2, command, 4, buffer, &sixteen)},
        {"ExchangeApdu null command", exchange(0, nullptr, 4, buffer, &sixteen)},
        {"ExchangeApdu length 0", exchange(0, command, 0, buffer, &sixteen)},
        {"ExchangeApdu null response", exchange(0, command, 4, nullptr, &sixteen)},
        {"ExchangeApdu null response length", exchange(0, command, 4, buffer, nullptr)},
        {"ExchangeApdu response size 0", exchange(0, command, 4, buffer, &zero)},
        {"Control slot == count", control(2, 3500, command, 4, buffer, 16)},
        {"Control code 3501", control(0, 3501, command, 4, buffer, 16)},
        {"Control null in", control(0, 3500, nullptr, 4, buffer, 16)},
        {"Control in length 0", control(0, 3500, command, 0, buffer, 16)},
        {"Control null out", control(0, 3500, command, 4, nullptr, 16)},
        {"Control out size 0", control(0, 3500, command, 4, buffer, 0)},
        {"Control line-speed escape", control(0, 3500, baudEscape, 2, buffer, 16)},
    };
    RegisteredContext reader;
    for (const auto& c : cases) {
        std::uint32_t out = kGuard;
        sixteen = 16;
        EXPECT_EQ(c.run(reader.handle(), &out), RYX_ERROR_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(sixteen, 16u) << c.what;
        const bool clearsOptional =
            std::string(c.what).starts_with("SetProtocol") || std::string(c.what).starts_with("Control");
        EXPECT_EQ(out, clearsOptional ? 0u : kGuard) << c.what;
        for (std::uint8_t b : buffer) ASSERT_EQ(b, 0) << c.what;
    }
    // A failed check sends nothing and changes no record.
    EXPECT_EQ(reader.context().link.sequence, 0);
    EXPECT_EQ(reader.context().slots[0].card.atrLength, 0);
}

// The four values in the order of LinkTimeouts: status time-out, status retries, response time-out, retries.
template <typename T>
std::vector<std::uint32_t> TimeoutFields(const T& t) {
    return {t.statusTimeout, t.statusRetries, t.responseTimeout, t.responseRetries};
}

TEST(Timeouts, ReadBackInTheirOwnOrderAnyValueAccepted) {
    RegisteredContext reader;
    LinkTimeouts t{};
    ASSERT_EQ(RYX_GetTimeouts(reader.handle(), &t), RYX_SUCCESS);
    EXPECT_EQ(TimeoutFields(t), (std::vector<std::uint32_t>{2000, 1, 10000, 1}));

    const LinkTimeouts set{5, 6, 7, 8};
    ASSERT_EQ(RYX_SetTimeouts(reader.handle(), &set), RYX_SUCCESS);
    EXPECT_EQ(TimeoutFields(reader.context().link), (std::vector<std::uint32_t>{5, 6, 7, 8}));
    LinkTimeouts back{};
    ASSERT_EQ(RYX_GetTimeouts(reader.handle(), &back), RYX_SUCCESS);
    EXPECT_EQ(TimeoutFields(back), (std::vector<std::uint32_t>{5, 6, 7, 8}));

    const LinkTimeouts zeros{0, 0, 0, 0};
    EXPECT_EQ(RYX_SetTimeouts(reader.handle(), &zeros), RYX_SUCCESS);
    ASSERT_EQ(RYX_GetTimeouts(reader.handle(), &back), RYX_SUCCESS);
    EXPECT_EQ(back.statusTimeout, 0u);
    EXPECT_EQ(back.responseRetries, 0u);
}

TEST(OpenArguments, NullNameOrHandleGivesInvalidParameter) {
    RYX_HANDLE handle = reinterpret_cast<RYX_HANDLE>(0x77);
    EXPECT_EQ(RYX_OpenA(nullptr, &handle), RYX_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RYX_OpenA("/dev/null", nullptr), RYX_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RYX_OpenW(nullptr, &handle), RYX_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RYX_OpenW(u"/dev/null", nullptr), RYX_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(handle, reinterpret_cast<RYX_HANDLE>(0x77));
}

}  // namespace
}  // namespace ryx
