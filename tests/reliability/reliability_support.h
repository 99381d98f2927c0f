// Helpers shared by the reliability tests: APDUs whose responses the simulated card makes predictable, the codes
// each export documents, the worst-case length of a call from its link time-outs, and counts of what a process
// holds (descriptors, threads).
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ryx.h>

namespace ryx::test {

// One command APDU and the exact response the built-in card gives to it.
struct Apdu {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> response;
};

// ECHO (80 10): the card returns the data followed by 90 00. Short Lc up to 255 bytes, extended Lc above.
inline Apdu EchoApdu(std::size_t dataLength, std::uint8_t seed) {
    Apdu a;
    a.command = {0x80, 0x10, 0x00, 0x00};
    if (dataLength <= 255) {
        a.command.push_back(static_cast<std::uint8_t>(dataLength));
    } else {
        a.command.push_back(0x00);
        a.command.push_back(static_cast<std::uint8_t>(dataLength >> 8));
        a.command.push_back(static_cast<std::uint8_t>(dataLength));
    }
    for (std::size_t i = 0; i < dataLength; ++i) {
        const auto b = static_cast<std::uint8_t>(seed + i * 7);
        a.command.push_back(b);
        a.response.push_back(b);
    }
    a.response.push_back(0x90);
    a.response.push_back(0x00);
    return a;
}

// PATTERN (80 12): the card returns Le bytes 00 01 02 .. FF 00 .. followed by 90 00. Short Le up to 256 (00 means
// 256), extended Le above.
inline Apdu PatternApdu(std::size_t le) {
    Apdu a;
    a.command = {0x80, 0x12, 0x00, 0x00};
    if (le <= 256) {
        a.command.push_back(static_cast<std::uint8_t>(le == 256 ? 0 : le));
    } else {
        a.command.push_back(0x00);
        a.command.push_back(static_cast<std::uint8_t>(le >> 8));
        a.command.push_back(static_cast<std::uint8_t>(le));
    }
    for (std::size_t i = 0; i < le; ++i) a.response.push_back(static_cast<std::uint8_t>(i));
    a.response.push_back(0x90);
    a.response.push_back(0x00);
    return a;
}

// The codes each export may return, as include/ryx.h lists them.
inline const std::set<std::uint32_t> kExchangeApduCodes = {
    RYX_SUCCESS,        RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER, RYX_ERROR_INSUFFICIENT_BUFFER,
    RYX_W_REMOVED_CARD, RYX_ERROR_TIMEOUT,        RYX_ERROR_GEN_FAILURE,       RYX_ERROR_NOT_ENOUGH_MEMORY};
inline const std::set<std::uint32_t> kPowerOnCodes = {RYX_SUCCESS,
                                                      RYX_ERROR_INVALID_HANDLE,
                                                      RYX_ERROR_INVALID_PARAMETER,
                                                      RYX_ERROR_INSUFFICIENT_BUFFER,
                                                      RYX_W_UNRESPONSIVE_CARD,
                                                      RYX_W_REMOVED_CARD,
                                                      RYX_ERROR_GEN_FAILURE,
                                                      RYX_ERROR_NOT_ENOUGH_MEMORY};
inline const std::set<std::uint32_t> kPowerOffCodes = {
    RYX_SUCCESS,       RYX_ERROR_INVALID_HANDLE, RYX_ERROR_INVALID_PARAMETER,   RYX_W_REMOVED_CARD,
    RYX_ERROR_TIMEOUT, RYX_ERROR_GEN_FAILURE,    RYX_ERROR_INSUFFICIENT_BUFFER, RYX_ERROR_NOT_ENOUGH_MEMORY};
inline const std::set<std::uint32_t> kIccStatusCodes = kPowerOffCodes;
inline const std::set<std::uint32_t> kControlCodes = {RYX_SUCCESS,
                                                      RYX_ERROR_INVALID_HANDLE,
                                                      RYX_ERROR_INVALID_PARAMETER,
                                                      RYX_ERROR_INSUFFICIENT_BUFFER,
                                                      RYX_ERROR_NO_MEDIA_IN_DRIVE,
                                                      RYX_ERROR_TIMEOUT,
                                                      RYX_ERROR_GEN_FAILURE,
                                                      RYX_ERROR_NOT_ENOUGH_MEMORY};

// Of those, the ones a misbehaving reader can cause when the caller's arguments and buffers are right: anything
// else (a handle or argument refusal, memory) would be the library's own mistake. 122 is among them: after a late
// answer the host can take bytes from the middle of a frame for a reply header whose length field announces more
// than any buffer holds.
inline const std::set<std::uint32_t> kLinkFailureCodes = {RYX_ERROR_GEN_FAILURE, RYX_ERROR_TIMEOUT, RYX_W_REMOVED_CARD,
                                                          RYX_ERROR_INSUFFICIENT_BUFFER};
inline const std::set<std::uint32_t> kPowerOnFailureCodes = {RYX_ERROR_GEN_FAILURE, RYX_W_UNRESPONSIVE_CARD,
                                                             RYX_W_REMOVED_CARD, RYX_ERROR_INSUFFICIENT_BUFFER};
inline const std::set<std::uint32_t> kControlFailureCodes = {
    RYX_ERROR_GEN_FAILURE, RYX_ERROR_TIMEOUT, RYX_ERROR_NO_MEDIA_IN_DRIVE, RYX_ERROR_INSUFFICIENT_BUFFER};

// A read that receives nothing lasts its time-out rounded up to whole 500 ms slices, and one slice at least.
inline std::chrono::milliseconds SilentWait(std::uint32_t timeoutMs) {
    constexpr std::uint32_t kSlice = 500;
    const std::uint64_t slices = std::max<std::uint64_t>(1, (std::uint64_t{timeoutMs} + kSlice - 1) / kSlice);
    return std::chrono::milliseconds(slices * kSlice);
}

// The longest one message may take when the reader fails it in every way the retries allow: every command attempt
// waits out its status read, every response attempt its response read, and the line is drained (1 s at most)
// before the first command attempt and before each further one.
inline std::chrono::milliseconds MessageBound(const LinkTimeouts& t) {
    constexpr std::chrono::milliseconds kDrainLimit{1000};
    return (SilentWait(t.statusTimeout) + kDrainLimit) * (std::uint64_t{t.statusRetries} + 1) +
           SilentWait(t.responseTimeout) * (std::uint64_t{t.responseRetries} + 1);
}

// Messages of one APDU exchange: the command blocks, then the empty blocks that fetch the rest of the response
// (the reply to the last command block carries the response's first piece).
inline std::size_t ExchangeMessages(std::size_t commandLength, std::size_t responseLength, std::size_t blockSize) {
    const std::size_t blocks = std::max<std::size_t>(1, (commandLength + blockSize - 1) / blockSize);
    const std::size_t pieces = std::max<std::size_t>(1, (responseLength + blockSize - 1) / blockSize);
    return blocks + pieces - 1;
}

// Entries of a /proc/self directory (fd, task), the directory's own descriptor not counted.
inline int CountEntries(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

inline int OpenDescriptors() {
    return CountEntries("/proc/self/fd") - 1;
}
inline int Threads() {
    return CountEntries("/proc/self/task");
}

// Whether the thread count falls to at most expected within bound. A joined thread still counts for a moment: the
// kernel lets join return before it takes the thread out of /proc/self/task, and on a loaded machine that moment
// can be long. A thread that is truly left behind keeps the count up for the whole bound.
inline bool ThreadsFallTo(int expected, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (Threads() > expected) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::string Hex(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

}  // namespace ryx::test
