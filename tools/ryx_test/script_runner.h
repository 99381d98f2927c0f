// Playing a script file of commands and expected responses against one slot of the open reader.
#pragma once

#include <ryx.h>

#include <cstdint>
#include <cstdio>
#include <functional>

namespace ryx_test {

/** Size of the response buffer of a run: the most one send may return. */
inline constexpr uint32_t kScriptResponseCapacity = 65538;

/**
 * Sends one script command and receives its response.
 * Arguments, in order: reader handle, slot, command bytes, command length, response storage, response capacity,
 * address of the response length (holding the capacity on entry, the received byte count on success), and the
 * stream on which the sender reports its own failure.
 * Returns 0 on success, otherwise the library's error code after printing the failure line.
 */
using ScriptSender =
    std::function<uint32_t(RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t commandLength,
                           uint8_t* response, uint32_t responseCapacity, uint32_t* responseLength, std::FILE* out)>;

/**
 * Runs the script file `fileName` against `slot`: each pair of a command line and an expected line is sent with
 * `sender`, dumped as "Command:", "Response:" and "Expected:", and compared. The run stops at the end of the
 * file, at a sender failure, at the first mismatch ("Error: Unexpected response at byte %d\n" or
 * "Error: Unexpected response\n") or when memory runs out; every outcome is printed on `out`, nothing returned.
 * The file is opened and closed here; `handle` is only passed on to the sender.
 */
void RunScript(RYX_HANDLE handle, uint32_t slot, const char* fileName, const ScriptSender& sender,
               std::FILE* out = stdout);

/** How one pair of a run ended: its command was sent and the response compared, or the send failed. */
struct ScriptPairResult {
    int commandLine = 0;         ///< 1-based line of the command in the file
    uint32_t status = 0;         ///< the sender's result; 0 when the command went through
    bool matched = false;        ///< the response matched the expected line (only when status is 0)
    int32_t mismatchIndex = -1;  ///< on a mismatch: the byte compared last, or -1
};

/** Why a run ended. */
enum class ScriptEnd { EndOfFile, SenderFailed, Mismatch, OutOfMemory, Stopped };

/** Variations of a run for the command-line mode; the defaults are the console's rules. */
struct ScriptRunOptions {
    bool hashComments = false;  ///< a line whose first token begins with '#' is a comment too
    bool printMismatch = true;  ///< print "Error: Unexpected response..." on the run's output
    std::function<void(const ScriptPairResult&)> pairDone;  ///< called after every pair that was sent or refused
};

/**
 * Plays an already open script from its current position, as RunScript does after opening the file (without the
 * "Opening" line). The caller keeps `file` and closes it. Before each pair the run checks StopRequested() and
 * ends (ScriptEnd::Stopped) without sending when a stop was asked for.
 */
ScriptEnd RunScriptFile(RYX_HANDLE handle, uint32_t slot, std::FILE* file, const ScriptSender& sender,
                        std::FILE* out = stdout, const ScriptRunOptions& options = {});

}  // namespace ryx_test
