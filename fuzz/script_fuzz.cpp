// libFuzzer harness for ryx_test's script handling: the script runner on arbitrary file contents with a stub
// sender in place of the reader, the line splitting and command-token conversion, CompareResponse on arbitrary
// patterns and responses, and the console's input routines on arbitrary input.
//
// Input: byte 0 selects the part (low 2 bits: 0 script run, 1 comparison, 2 tokens of one line, 3 console input).
// Script run: byte 1 tells the stub sender how to answer (see Answer), the rest is the script file.
// Comparison: bytes 1-2 the response length n (modulo 300), then n response bytes, the rest is the expected text.
// Tokens: the rest is the line. Console input: byte 1 the slot count (modulo 4, plus 1), the rest is the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compare.h"
#include "console_input.h"
#include "fuzz_input.h"
#include "hex.h"
#include "script_line.h"
#include "script_runner.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

// A read stream over a copy of bytes (fmemopen wants at least one byte: an empty input reads as an empty line).
struct MemoryInput {
    explicit MemoryInput(std::span<const std::uint8_t> bytes)
        : storage(bytes.begin(), bytes.end()),
          file(fmemopen(storage.empty() ? const_cast<char*>("\n") : storage.data(),
                        storage.empty() ? 1 : storage.size(), "r")) {}
    std::vector<char> storage;
    File file;
};

// A write stream whose text can be read back once it is closed.
struct MemoryOutput {
    MemoryOutput() : file(open_memstream(&text, &size)) {}
    ~MemoryOutput() {
        file.reset();
        std::free(text);
    }
    std::string Close() {
        file.reset();
        return std::string(text, size);
    }
    char* text = nullptr;
    std::size_t size = 0;
    File file;
};

std::size_t CountHexDigits(std::span<const std::uint8_t> bytes) {
    return static_cast<std::size_t>(std::count_if(
        bytes.begin(), bytes.end(), [](std::uint8_t c) { return ryx_test::HexDigitValue(static_cast<char>(c)) >= 0; }));
}

// The stub reader of a script run: checks what the runner hands it and answers from the command.
struct StubSender {
    std::uint8_t policy = 0;
    std::size_t hexDigits = 0;  // in the whole script: no command can hold more than half as many bytes
    int sends = 0;
    std::vector<std::uint32_t> responseLengths;  // as the runner will see them

    std::uint32_t operator()(RYX_HANDLE handle, std::uint32_t slot, const std::uint8_t* command,
                             std::uint32_t commandLength, std::uint8_t* response, std::uint32_t responseCapacity,
                             std::uint32_t* responseLength, std::FILE* out) {
        RYX_FUZZ_REQUIRE(handle == reinterpret_cast<RYX_HANDLE>(this) && slot == 2);
        RYX_FUZZ_REQUIRE(command != nullptr && commandLength >= 1 && commandLength <= hexDigits / 2);
        RYX_FUZZ_REQUIRE(response != nullptr && responseCapacity == ryx_test::kScriptResponseCapacity);
        RYX_FUZZ_REQUIRE(responseLength != nullptr && *responseLength == responseCapacity);
        // The whole capacity is there to write (AddressSanitizer checks the last byte).
        response[responseCapacity - 1] = 0;
        ++sends;
        if (policy == 0xFE) {
            std::fprintf(out, "Error: RYX_ExchangeApdu failed with error 0x%08X\n", 31u);
            return 31;
        }
        // The answer: the command's bytes over and over, as long as the command plus the policy (modulo 70).
        const std::uint32_t length = (commandLength + policy) % 70;
        for (std::uint32_t i = 0; i < length; ++i) {
            response[i] = command[i % commandLength];
        }
        // A faulty sender that claims more than the buffer holds: the runner must stay inside its buffer.
        *responseLength = policy == 0xFF ? responseCapacity + 5 : length;
        responseLengths.push_back(policy == 0xFF ? responseCapacity : length);
        return 0;
    }
};

void CheckScriptRun(std::uint8_t policy, std::span<const std::uint8_t> script) {
    MemoryInput in(script);
    MemoryOutput out;
    if (!in.file || !out.file) {
        return;
    }
    StubSender stub;
    stub.policy = policy;
    stub.hexDigits = CountHexDigits(script);
    ryx_test::RunScriptFile(reinterpret_cast<RYX_HANDLE>(&stub), 2, in.file.get(), std::ref(stub), out.file.get());
    const std::string text = out.Close();

    // Every mismatch index printed lies inside the response it was found in; a run stops at its first failure.
    const int compared = static_cast<int>(stub.responseLengths.size());
    std::size_t oks = 0;
    std::size_t errors = 0;
    for (std::size_t pos = 0; (pos = text.find("Compare OK\n", pos)) != std::string::npos; ++pos) {
        ++oks;
    }
    const std::string_view marker = "Error: Unexpected response at byte ";
    if (const std::size_t at = text.find(marker); at != std::string::npos) {
        ++errors;
        const long index = std::strtol(text.c_str() + at + marker.size(), nullptr, 10);
        RYX_FUZZ_REQUIRE(compared >= 1);
        RYX_FUZZ_REQUIRE(index >= 0 && static_cast<std::uint64_t>(index) < stub.responseLengths.back());
    }
    if (text.find("Error: Unexpected response\n") != std::string::npos) {
        ++errors;
    }
    RYX_FUZZ_REQUIRE(errors <= 1);
    RYX_FUZZ_REQUIRE(oks + errors == stub.responseLengths.size());
    RYX_FUZZ_REQUIRE(stub.sends <= compared + 1);
    RYX_FUZZ_REQUIRE(text.find("Error: Not enough memory") == std::string::npos);
}

void CheckCompare(std::span<const std::uint8_t> response, std::span<const std::uint8_t> pattern) {
    const std::size_t n = response.size();
    const auto bytes = std::make_unique<std::uint8_t[]>(n);
    if (n != 0) {
        std::memcpy(bytes.get(), response.data(), n);
    }
    const auto chars = std::make_unique<char[]>(pattern.size());
    if (!pattern.empty()) {
        std::memcpy(chars.get(), pattern.data(), pattern.size());
    }
    const std::string_view expected(chars.get(), pattern.size());

    std::int32_t index = 12345;
    const int result = ryx_test::CompareResponse(expected, bytes.get(), static_cast<std::uint32_t>(n), &index);
    RYX_FUZZ_REQUIRE(result == 0 || result == -1);
    RYX_FUZZ_REQUIRE(index == -1 || (index >= 0 && static_cast<std::size_t>(index) < n));
    RYX_FUZZ_REQUIRE(ryx_test::CompareResponse(expected, bytes.get(), static_cast<std::uint32_t>(n), nullptr) ==
                     result);

    const std::size_t nibbles = static_cast<std::size_t>(
        std::count_if(expected.begin(), expected.end(), [](char c) { return ryx_test::IsNibbleCharacter(c); }));
    if (n == 0 || nibbles == 0) {
        RYX_FUZZ_REQUIRE(result == -1 && index == -1);
        return;
    }
    RYX_FUZZ_REQUIRE(index >= 0);
    // A match: two nibble characters per byte, each a wildcard or the nibble itself; the last byte compared last.
    bool matches = nibbles == 2 * n;
    std::size_t k = 0;
    for (const char c : expected) {
        if (!matches) {
            break;
        }
        if (!ryx_test::IsNibbleCharacter(c)) {
            continue;
        }
        const std::uint8_t byte = bytes[k / 2];
        const int nibble = k % 2 == 0 ? byte >> 4 : byte & 0x0F;
        matches = c == 'X' || c == 'x' || ryx_test::HexDigitValue(c) == nibble;
        ++k;
    }
    RYX_FUZZ_REQUIRE((result == 0) == matches);
    if (matches) {
        RYX_FUZZ_REQUIRE(static_cast<std::size_t>(index) == n - 1);
    }
    // Without the response, nothing matches and nothing is compared.
    RYX_FUZZ_REQUIRE(ryx_test::CompareResponse(expected, nullptr, static_cast<std::uint32_t>(n), &index) == -1 &&
                     index == -1);
    RYX_FUZZ_REQUIRE(
        ryx_test::CompareResponse(std::string_view(), bytes.get(), static_cast<std::uint32_t>(n), &index) == -1 &&
        index == -1);
}

void CheckTokens(std::span<const std::uint8_t> bytes) {
    const std::string line(bytes.begin(), bytes.end());
    const std::vector<std::string_view> tokens = ryx_test::SplitScriptTokens(line);
    // The tokens are the runs of non-separators of the line, in order, viewed in place.
    std::size_t pos = 0;
    for (const std::string_view token : tokens) {
        RYX_FUZZ_REQUIRE(!token.empty());
        RYX_FUZZ_REQUIRE(token.data() >= line.data() && token.data() + token.size() <= line.data() + line.size());
        const auto begin = static_cast<std::size_t>(token.data() - line.data());
        RYX_FUZZ_REQUIRE(begin >= pos);
        for (std::size_t i = pos; i < begin; ++i) {
            RYX_FUZZ_REQUIRE(ryx_test::IsTokenSeparator(line[i]));
        }
        RYX_FUZZ_REQUIRE(pos == 0 || begin > pos);
        for (const char c : token) {
            RYX_FUZZ_REQUIRE(!ryx_test::IsTokenSeparator(c));
        }
        pos = begin + token.size();
        RYX_FUZZ_REQUIRE(pos == line.size() || ryx_test::IsTokenSeparator(line[pos]));

        // The token's bytes: its hex digits paired in order, an unpaired last one dropped.
        const std::vector<std::uint8_t> parsed = ryx_test::ParseHexToken(token);
        std::vector<int> digits;
        for (const char c : token) {
            if (ryx_test::HexDigitValue(c) >= 0) {
                digits.push_back(ryx_test::HexDigitValue(c));
            }
        }
        RYX_FUZZ_REQUIRE(parsed.size() == digits.size() / 2);
        for (std::size_t i = 0; i < parsed.size(); ++i) {
            RYX_FUZZ_REQUIRE(parsed[i] == ((digits[2 * i] << 4) | digits[2 * i + 1]));
        }
    }
    for (std::size_t i = pos; i < line.size(); ++i) {
        RYX_FUZZ_REQUIRE(ryx_test::IsTokenSeparator(line[i]));
    }

    // Read back as a script file, line by line: the lines, newlines kept, give the file back.
    MemoryInput in(bytes);
    MemoryOutput out;
    if (!in.file || !out.file) {
        return;
    }
    std::string joined;
    while (const std::optional<std::string> read = ryx_test::ReadScriptLine(in.file.get(), out.file.get())) {
        RYX_FUZZ_REQUIRE(!read->empty());
        const std::size_t newline = read->find('\n');
        RYX_FUZZ_REQUIRE(newline == std::string::npos || newline == read->size() - 1);
        joined += *read;
    }
    RYX_FUZZ_REQUIRE(joined == (bytes.empty() ? std::string("\n") : line));
    RYX_FUZZ_REQUIRE(out.Close().empty());
}

void CheckConsole(std::uint32_t slotCount, std::span<const std::uint8_t> bytes) {
    MemoryInput in(bytes);
    MemoryOutput out;
    if (!in.file || !out.file) {
        return;
    }
    ryx_test::Console console{in.file.get(), out.file.get()};
    // Every routine consumes input or reports its end, so this ends; bound it anyway.
    for (int round = 0; round < 4096; ++round) {
        std::int32_t slot = -7;
        if (!ryx_test::PromptForSlot(console, slotCount, &slot)) {
            RYX_FUZZ_REQUIRE(slot == -7);
            break;
        }
        RYX_FUZZ_REQUIRE(slot >= 0 && static_cast<std::uint32_t>(slot) < slotCount);
        std::int32_t number = 0;
        if (!ryx_test::PromptForNumber(console, "Number: ", &number)) {
            break;
        }
        std::string name = "unchanged";
        if (!ryx_test::PromptForScriptFileName(console, &name)) {
            RYX_FUZZ_REQUIRE(name == "unchanged");
            break;
        }
        RYX_FUZZ_REQUIRE(!name.empty() && name.size() < ryx_test::kScriptFileNameSize);
        RYX_FUZZ_REQUIRE(name.find('\n') == std::string::npos);
        if (!ryx_test::WaitForEnter(console)) {
            break;
        }
    }
    out.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ryx::fuzz::FuzzInput input(data, size);
    const std::uint8_t selector = input.Byte();
    switch (selector & 0x03) {
        case 0: {
            const std::uint8_t policy = input.Byte();
            CheckScriptRun(policy, input.Rest());
            break;
        }
        case 1: {
            const std::size_t n = input.U16() % 300;
            const auto response = input.Take(n);
            CheckCompare(response, input.Rest());
            break;
        }
        case 2:
            CheckTokens(input.Rest());
            break;
        default: {
            const std::uint32_t slotCount = input.Byte() % 4 + 1;
            CheckConsole(slotCount, input.Rest());
            break;
        }
    }
    return 0;
}
