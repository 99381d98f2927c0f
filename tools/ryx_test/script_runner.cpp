#include "script_runner.h"

#include "byte_buffer.h"
#include "compare.h"
#include "hex.h"
#include "hex_dump.h"
#include "script_line.h"
#include "stop_request.h"

#include <memory>
#include <new>
#include <string_view>

namespace ryx_test {

namespace {

constexpr uint32_t kCommandCapacity = 1024;
constexpr uint32_t kExpectedCapacity = 1024;

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct ScriptBuffers {
    std::unique_ptr<ByteBuffer> command;
    std::unique_ptr<ByteBuffer> response;
    std::unique_ptr<ByteBuffer> expected;
    int linesRead = 0;
    int commandLine = 0;  // line of the current pair's command
};

// What reading one pair gave.
enum class PairRead { Complete, EndOfFile, OutOfMemory };

void PrintNotEnoughMemory(std::FILE* out) {
    std::fputs("Error: Not enough memory\n", out);
}

// Adds the bytes of one command line to the command buffer. False when memory runs out (already reported).
bool AddCommandLine(const std::vector<std::string_view>& tokens, ByteBuffer& command, std::FILE* out) {
    for (std::string_view token : tokens) {
        const std::vector<uint8_t> bytes = ParseHexToken(token);
        if (bytes.empty()) {
            continue;
        }
        if (bytes.size() > UINT32_MAX || !command.Append(bytes.data(), static_cast<uint32_t>(bytes.size()), out)) {
            PrintNotEnoughMemory(out);
            return false;
        }
    }
    return true;
}

// Joins the tokens of the expected line with single spaces and ends the text with a NUL.
bool AddExpectedLine(const std::vector<std::string_view>& tokens, ByteBuffer& expected, std::FILE* out) {
    static const char kSpace = ' ';
    static const char kNul = '\0';
    for (std::string_view token : tokens) {
        if (expected.Length() != 0 && !expected.Append(&kSpace, 1, out)) {
            PrintNotEnoughMemory(out);
            return false;
        }
        if (token.size() > UINT32_MAX || !expected.Append(token.data(), static_cast<uint32_t>(token.size()), out)) {
            PrintNotEnoughMemory(out);
            return false;
        }
    }
    if (!expected.Append(&kNul, 1, out)) {
        PrintNotEnoughMemory(out);
        return false;
    }
    return true;
}

// Reads significant lines until a command line and its expected line are both in the buffers.
PairRead ReadPair(std::FILE* file, ScriptBuffers& buffers, const ScriptRunOptions& options, std::FILE* out) {
    buffers.command->Clear();
    buffers.expected->Clear();
    bool haveCommand = false;
    bool haveExpected = false;
    while (!(haveCommand && haveExpected)) {
        const std::optional<std::string> line = ReadScriptLine(file, out);
        if (!line) {
            return PairRead::EndOfFile;
        }
        ++buffers.linesRead;
        const std::vector<std::string_view> tokens = SplitScriptTokens(*line);
        if (tokens.empty() || tokens.front().front() == ';' ||
            (options.hashComments && tokens.front().front() == '#')) {
            continue;
        }
        if (!haveCommand) {
            if (!AddCommandLine(tokens, *buffers.command, out)) {
                return PairRead::OutOfMemory;
            }
            haveCommand = buffers.command->Length() != 0;
            buffers.commandLine = buffers.linesRead;
        } else {
            if (!AddExpectedLine(tokens, *buffers.expected, out)) {
                return PairRead::OutOfMemory;
            }
            haveExpected = true;
        }
    }
    return PairRead::Complete;
}

// Sends one pair and checks its response; `result` tells how it went. True when the run goes on.
bool RunPair(RYX_HANDLE handle, uint32_t slot, const ScriptSender& sender, ScriptBuffers& buffers,
             const ScriptRunOptions& options, ScriptPairResult& result, std::FILE* out) {
    result.commandLine = buffers.commandLine;
    ByteBuffer& command = *buffers.command;
    ByteBuffer& response = *buffers.response;
    std::fputs("Command:\n", out);
    PrintHexDump(out, command.Data(), command.Length());

    uint32_t responseLength = response.Capacity();
    result.status = sender(handle, slot, command.Data(), command.Length(), response.Data(), response.Capacity(),
                           &responseLength, out);
    if (result.status != 0) {
        return false;
    }
    // A sender never reports more than the buffer holds; a faulty one must not make the dump read past it.
    response.SetLength(responseLength);

    // The expected text's length counts its terminating NUL.
    const std::string_view expected(reinterpret_cast<const char*>(buffers.expected->Data()),
                                    buffers.expected->Length() - 1);
    std::fputs("Response:\n", out);
    PrintHexDump(out, response.Data(), response.Length());
    std::fputs("Expected:\n", out);
    PrintExpected(out, expected);

    int32_t index = -1;
    result.matched = CompareResponse(expected, response.Data(), response.Length(), &index) == 0;
    result.mismatchIndex = result.matched ? -1 : index;
    if (!result.matched) {
        if (!options.printMismatch) {
            return false;
        }
        if (index < 0) {
            std::fputs("Error: Unexpected response\n", out);
        } else {
            std::fprintf(out, "Error: Unexpected response at byte %d\n", index);
        }
        return false;
    }
    std::fputs("Compare OK\n", out);
    return true;
}

}  // namespace

void RunScript(RYX_HANDLE handle, uint32_t slot, const char* fileName, const ScriptSender& sender, std::FILE* out) {
    std::fprintf(out, "Opening %s...\n", fileName);
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(fileName, "r"));
    if (!file) {
        std::fprintf(out, "Error: Cannot open %s\n", fileName);
        return;
    }
    RunScriptFile(handle, slot, file.get(), sender, out);
}

ScriptEnd RunScriptFile(RYX_HANDLE handle, uint32_t slot, std::FILE* file, const ScriptSender& sender, std::FILE* out,
                        const ScriptRunOptions& options) {
    ScriptBuffers buffers;
    buffers.command = ByteBuffer::Create(kCommandCapacity);
    if (buffers.command) {
        buffers.response = ByteBuffer::Create(kScriptResponseCapacity);
    }
    if (buffers.response) {
        buffers.expected = ByteBuffer::Create(kExpectedCapacity);
    }
    if (!buffers.expected) {
        PrintNotEnoughMemory(out);
        return ScriptEnd::OutOfMemory;
    }
    try {
        while (!std::feof(file)) {
            switch (ReadPair(file, buffers, options, out)) {
                case PairRead::Complete:
                    break;
                case PairRead::EndOfFile:
                    return ScriptEnd::EndOfFile;
                case PairRead::OutOfMemory:
                    return ScriptEnd::OutOfMemory;
            }
            // A stop asked for by a signal ends the run before the next command goes out.
            if (StopRequested()) {
                return ScriptEnd::Stopped;
            }
            ScriptPairResult result;
            const bool goOn = RunPair(handle, slot, sender, buffers, options, result, out);
            if (options.pairDone) {
                options.pairDone(result);
            }
            if (!goOn) {
                return result.status != 0 ? ScriptEnd::SenderFailed : ScriptEnd::Mismatch;
            }
        }
    } catch (const std::bad_alloc&) {
        // Token lists and converted tokens live in the standard containers.
        PrintNotEnoughMemory(out);
        return ScriptEnd::OutOfMemory;
    }
    return ScriptEnd::EndOfFile;
}

}  // namespace ryx_test
