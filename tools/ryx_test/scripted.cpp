#include "scripted.h"

#include "hex_dump.h"
#include "hints.h"
#include "names.h"
#include "port_check.h"
#include "script_check.h"
#include "script_runner.h"
#include "status_codes.h"
#include "stop_request.h"
#include "tap.h"

#include <ryx.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace ryx_test {

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class ScriptedRun {
public:
    ScriptedRun(const CommandLine& commandLine, std::FILE* out, std::FILE* err)
        : line_(commandLine), out_(out), err_(err) {
        if (line_.tap) {
            // The dumps are collected here and passed on as diagnostic lines before each test point.
            capture_.reset(std::tmpfile());
        }
        sink_ = capture_ ? capture_.get() : out_;
    }

    int Run() {
        const int refused = CheckScripts();
        if (refused != kExitOk) {
            return refused;
        }
        if (line_.tap) {
            std::fputs(kTapHeader, out_);
        }
        const uint32_t openStatus = RYX_OpenA(line_.port.c_str(), &handle_);
        if (openStatus != 0) {
            std::fprintf(err_, "ryx_test: RYX_OpenA: %s (ryx_test --list shows the serial ports)\n",
                         DescribeStatus(openStatus).c_str());
            OpenHint(openStatus);
            if (line_.tap) {
                std::fprintf(out_, "Bail out! %s: RYX_OpenA: %s\n", line_.port.c_str(),
                             DescribeStatus(openStatus).c_str());
            }
            return kExitFailure;
        }
        int status = kExitOk;
        for (const Action& action : line_.actions) {
            if (StopRequested()) {
                break;
            }
            status = RunAction(action);
            std::fputs("\n", sink_);
            FlushCapture();
            if (status != kExitOk) {
                break;
            }
        }
        // Closing powers every slot off, whatever the actions left on.
        const uint32_t closeStatus = RYX_Close(handle_);
        if (closeStatus != 0) {
            Fail("RYX_Close", closeStatus);
            status = status == kExitOk ? kExitFailure : status;
        }
        if (StopRequested()) {
            if (line_.tap) {
                std::fprintf(out_, "Bail out! stopped by signal %d\n", StopSignal());
            }
            return 128 + StopSignal();
        }
        if (line_.tap) {
            std::fputs(TapPlan(points_).c_str(), out_);
        }
        return status;
    }

private:
    // Reads every script named on the command line and checks it; nothing is opened or sent before.
    int CheckScripts() {
        int status = kExitOk;
        for (const Action& action : line_.actions) {
            if (action.kind != ActionKind::Script && action.kind != ActionKind::EscapeScript) {
                continue;
            }
            std::ifstream in(action.file, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            if (!in) {
                std::fprintf(err_, "ryx_test: %s: cannot read the script: %s\n", action.file.c_str(),
                             std::strerror(errno));
                return kExitFailure;
            }
            if (line_.lenient) {
                continue;
            }
            const std::vector<ScriptProblem> problems = CheckScript(text.str());
            for (const ScriptProblem& problem : problems) {
                std::fprintf(err_, "%s:%d: %s\n", action.file.c_str(), problem.line, problem.what.c_str());
            }
            if (!problems.empty()) {
                std::fprintf(err_,
                             "ryx_test: %s: script refused, nothing was sent (fix the lines above, or run it by the "
                             "console's rules with --lenient)\n",
                             action.file.c_str());
                status = kExitScriptRefused;
            }
        }
        return status;
    }

    void Fail(const char* call, uint32_t status) {
        std::fprintf(err_, "ryx_test: %s: %s\n", call, DescribeStatus(status).c_str());
        Hint(HintForFailure(call, status, line_.port));
    }

    void Hint(const std::string& hint) {
        if (!hint.empty()) {
            std::fprintf(err_, "ryx_test: hint: %s\n", hint.c_str());
        }
    }

    // The codes of a port that cannot be opened are shared by several causes: the device itself tells them apart.
    void OpenHint(uint32_t status) {
        const PortProblem problem = status == RYX_ERROR_ACCESS_DENIED || status == RYX_ERROR_INVALID_PARAMETER
                                        ? PortProblemOf(line_.port, nullptr)
                                        : PortProblem{};
        if (problem.kind == PortProblem::None) {
            Hint(HintForFailure("RYX_OpenA", status, line_.port));
            return;
        }
        const PortFinding finding = DescribePortProblem(line_.port, problem);
        Hint(line_.port + ": " + finding.finding + "; " + finding.action);
    }

    // Passes what the actions printed on as TAP diagnostics.
    void FlushCapture() {
        if (!capture_) {
            return;
        }
        // The script runner keeps writing to the same stream: read what is new and go on at the end.
        std::FILE* capture = capture_.get();
        std::fflush(capture);
        const long end = std::ftell(capture);
        std::string text(static_cast<size_t>(end - passedOn_), '\0');
        std::fseek(capture, passedOn_, SEEK_SET);
        text.resize(std::fread(text.data(), 1, text.size(), capture));
        std::fseek(capture, end, SEEK_SET);
        passedOn_ = end;
        std::fputs(TapDiagnostics(text).c_str(), out_);
    }

    void Point(bool ok, const std::string& description) {
        if (!line_.tap) {
            return;
        }
        FlushCapture();
        std::fputs(TapTestPoint(++points_, ok, description).c_str(), out_);
        std::fflush(out_);
    }

    // The outcome of an action that only calls the library.
    int Called(const Action& action, const char* call, uint32_t status) {
        if (status != 0) {
            Fail(call, status);
        }
        Point(status == 0, action.written);
        return status == 0 ? kExitOk : kExitFailure;
    }

    int RunAction(const Action& action) {
        const uint32_t slot = line_.slot;
        const int slotNumber = static_cast<int>(slot);
        switch (action.kind) {
            case ActionKind::PowerOn: {
                std::fprintf(sink_, "Slot %d: Powering on the ICC...\n", slotNumber);
                uint8_t atr[64] = {};
                uint32_t atrLength = sizeof atr;
                const uint32_t status = RYX_PowerOnIcc(handle_, slot, atr, &atrLength);
                if (status == 0) {
                    std::fputs("ATR:\n", sink_);
                    PrintHexDump(sink_, atr, atrLength <= sizeof atr ? atrLength : sizeof atr);
                }
                return Called(action, "RYX_PowerOnIcc", status);
            }
            case ActionKind::PowerOff: {
                std::fprintf(sink_, "Slot %d: Powering off the ICC...\n", slotNumber);
                const uint32_t status = RYX_PowerOffIcc(handle_, slot);
                if (status == 0) {
                    std::fputs("RYX_PowerOffIcc: OK\n", sink_);
                }
                return Called(action, "RYX_PowerOffIcc", status);
            }
            case ActionKind::Status: {
                std::fprintf(sink_, "Slot %d: Getting the ICC status...\n", slotNumber);
                uint32_t iccStatus = 0;
                const uint32_t status = RYX_GetIccStatus(handle_, slot, &iccStatus);
                if (status == 0) {
                    std::fprintf(sink_, "ICC Status: %s\n", IccStatusName(iccStatus));
                }
                return Called(action, "RYX_GetIccStatus", status);
            }
            case ActionKind::Protocol: {
                std::fprintf(sink_, "Slot %d: Setting the protocol...\n", slotNumber);
                uint32_t active = 0;
                const uint32_t status = RYX_SetProtocol(handle_, slot, action.value, &active);
                if (status == 0) {
                    std::fprintf(sink_, "Active Protocol: %s\n", ProtocolName(active));
                }
                return Called(action, "RYX_SetProtocol", status);
            }
            case ActionKind::Apdu:
            case ActionKind::Escape:
                return Exchange(action);
            case ActionKind::Script:
            case ActionKind::EscapeScript:
                return Script(action);
            case ActionKind::Baud:
                std::fputs("Setting the baud rate...\n", sink_);
                return Reported(action, "RYX_SetBaudRate", RYX_SetBaudRate(handle_, action.value));
            case ActionKind::Timeouts: {
                std::fputs("Setting the timeouts...\n", sink_);
                const LinkTimeouts timeouts = {action.timeouts[0], action.timeouts[1], action.timeouts[2],
                                               action.timeouts[3]};
                return Reported(action, "RYX_SetTimeouts", RYX_SetTimeouts(handle_, &timeouts));
            }
        }
        return kExitFailure;
    }

    // A call that the console reports with "<call>: OK".
    int Reported(const Action& action, const char* call, uint32_t status) {
        if (status == 0) {
            std::fprintf(sink_, "%s: OK\n", call);
        }
        return Called(action, call, status);
    }

    static bool IsApdu(const Action& action) {
        return action.kind == ActionKind::Apdu || action.kind == ActionKind::Script;
    }

    uint32_t Send(const Action& action, const uint8_t* command, uint32_t length, uint8_t* response, uint32_t capacity,
                  uint32_t* responseLength) const {
        if (IsApdu(action)) {
            return RYX_ExchangeApdu(handle_, line_.slot, command, length, response, responseLength);
        }
        return RYX_Control(handle_, line_.slot, RYX_CONTROL_ESCAPE, command, length, response, capacity,
                           responseLength);
    }

    const char* Activity(const Action& action) const {
        return IsApdu(action) ? "Exchanging the APDU" : "Sending the escape command";
    }

    const char* Call(const Action& action) const { return IsApdu(action) ? "RYX_ExchangeApdu" : "RYX_Control"; }

    int Exchange(const Action& action) {
        std::fprintf(sink_, "Slot %d: %s...\n", static_cast<int>(line_.slot), Activity(action));
        std::fputs("Command:\n", sink_);
        PrintHexDump(sink_, action.bytes.data(), action.bytes.size());
        const std::unique_ptr<uint8_t[]> response(new uint8_t[kScriptResponseCapacity]);
        uint32_t length = kScriptResponseCapacity;
        const uint32_t status = Send(action, action.bytes.data(), static_cast<uint32_t>(action.bytes.size()),
                                     response.get(), kScriptResponseCapacity, &length);
        if (status == 0) {
            std::fputs("Response:\n", sink_);
            PrintHexDump(sink_, response.get(), length <= kScriptResponseCapacity ? length : kScriptResponseCapacity);
        }
        return Called(action, Call(action), status);
    }

    int Script(const Action& action) {
        std::fprintf(sink_, "Slot %d: %s...\n", static_cast<int>(line_.slot), Activity(action));
        std::fprintf(sink_, "Opening %s...\n", action.file.c_str());
        const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(action.file.c_str(), "r"));
        if (!file) {
            std::fprintf(err_, "ryx_test: %s: cannot read the script: %s\n", action.file.c_str(), std::strerror(errno));
            Point(false, action.written);
            return kExitFailure;
        }
        const ScriptSender sender = [this, &action](RYX_HANDLE, uint32_t, const uint8_t* command, uint32_t length,
                                                    uint8_t* response, uint32_t capacity, uint32_t* responseLength,
                                                    std::FILE*) {
            return Send(action, command, length, response, capacity, responseLength);
        };
        ScriptRunOptions options;
        options.hashComments = !line_.lenient;
        options.printMismatch = false;
        options.pairDone = [this, &action](const ScriptPairResult& pair) {
            const std::string where = action.file + ":" + std::to_string(pair.commandLine);
            if (pair.status != 0) {
                std::fprintf(err_, "ryx_test: %s: %s: %s\n", where.c_str(), Call(action),
                             DescribeStatus(pair.status).c_str());
                Hint(HintForFailure(Call(action), pair.status, line_.port));
            } else if (!pair.matched) {
                if (pair.mismatchIndex >= 0) {
                    std::fprintf(err_, "ryx_test: %s: the response differs from the expected one at byte %d\n",
                                 where.c_str(), pair.mismatchIndex);
                } else {
                    std::fprintf(err_, "ryx_test: %s: the response differs from the expected one\n", where.c_str());
                }
            }
            Point(pair.status == 0 && pair.matched, where);
        };
        switch (RunScriptFile(handle_, line_.slot, file.get(), sender, sink_, options)) {
            case ScriptEnd::EndOfFile:
            case ScriptEnd::Stopped:
                return kExitOk;
            case ScriptEnd::Mismatch:
                return kExitMismatch;
            case ScriptEnd::SenderFailed:
                return kExitFailure;
            case ScriptEnd::OutOfMemory:
                std::fprintf(err_, "ryx_test: %s: not enough memory to run the script\n", action.file.c_str());
                Point(false, action.written);
                return kExitFailure;
        }
        return kExitFailure;
    }

    const CommandLine& line_;
    std::FILE* out_;
    std::FILE* err_;
    std::unique_ptr<std::FILE, CloseFile> capture_;
    std::FILE* sink_ = nullptr;
    RYX_HANDLE handle_ = nullptr;
    int points_ = 0;
    long passedOn_ = 0;  // how much of the capture has been passed on
};

}  // namespace

int RunScripted(const CommandLine& commandLine, std::FILE* out, std::FILE* err) {
    ScriptedRun run(commandLine, out, err);
    return run.Run();
}

}  // namespace ryx_test
