#include "scripted.h"

#include "action_calls.h"
#include "actions.h"
#include "hints.h"
#include "port_check.h"
#include "script_check.h"
#include "script_runner.h"
#include "script_senders.h"
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

void CannotRead(const std::string& file, std::FILE* err) {
    std::fprintf(err, "ryx_test: %s: cannot read the script: %s\n", file.c_str(), std::strerror(errno));
}

// Prints the problems of one script; true when there are none.
bool ReportScriptProblems(const std::string& file, const std::string& text, std::FILE* err) {
    const std::vector<ScriptProblem> problems = CheckScript(text);
    for (const ScriptProblem& problem : problems) {
        std::fprintf(err, "%s:%d: %s\n", file.c_str(), problem.line, problem.what.c_str());
    }
    if (!problems.empty()) {
        std::fprintf(err,
                     "ryx_test: %s: script refused, nothing was sent (fix the lines above, or run it by the "
                     "console's rules with --lenient)\n",
                     file.c_str());
    }
    return problems.empty();
}

// Reads every script named on the command line and checks it; nothing is opened or sent before.
int CheckScripts(const CommandLine& line, std::FILE* err) {
    int status = kExitOk;
    for (const Action& action : line.actions) {
        if (!IsScript(action.kind)) {
            continue;
        }
        std::ifstream in(action.file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in) {
            CannotRead(action.file, err);
            return kExitFailure;
        }
        if (!line.lenient && !ReportScriptProblems(action.file, text.str(), err)) {
            status = kExitScriptRefused;
        }
    }
    return status;
}

// Failures on standard error, each followed by a "hint:" line where the cause is known.
class ErrorReport {
public:
    ErrorReport(std::FILE* err, const std::string& port) : err_(err), port_(port) {}

    std::FILE* Stream() const { return err_; }

    void Fail(const char* call, uint32_t status) {
        std::fprintf(err_, "ryx_test: %s: %s\n", call, DescribeStatus(status).c_str());
        Hint(HintForFailure(call, status, port_));
    }

    // A failed script pair, named by `where` (FILE:LINE).
    void PairFailed(const std::string& where, const char* call, const ScriptPairResult& pair) {
        if (pair.status != 0) {
            std::fprintf(err_, "ryx_test: %s: %s: %s\n", where.c_str(), call, DescribeStatus(pair.status).c_str());
            Hint(HintForFailure(call, pair.status, port_));
        } else if (pair.mismatchIndex >= 0) {
            std::fprintf(err_, "ryx_test: %s: the response differs from the expected one at byte %d\n", where.c_str(),
                         pair.mismatchIndex);
        } else {
            std::fprintf(err_, "ryx_test: %s: the response differs from the expected one\n", where.c_str());
        }
    }

    // The codes of a port that cannot be opened are shared by several causes: the device itself tells them apart.
    void OpenFailed(uint32_t status) {
        std::fprintf(err_, "ryx_test: RYX_OpenA: %s (ryx_test --list shows the serial ports)\n",
                     DescribeStatus(status).c_str());
        const PortProblem problem = status == RYX_ERROR_ACCESS_DENIED || status == RYX_ERROR_INVALID_PARAMETER
                                        ? PortProblemOf(port_, nullptr)
                                        : PortProblem{};
        if (problem.kind == PortProblem::None) {
            Hint(HintForFailure("RYX_OpenA", status, port_));
            return;
        }
        const PortFinding finding = DescribePortProblem(port_, problem);
        Hint(port_ + ": " + finding.finding + "; " + finding.action);
    }

private:
    void Hint(const std::string& hint) {
        if (!hint.empty()) {
            std::fprintf(err_, "ryx_test: hint: %s\n", hint.c_str());
        }
    }

    std::FILE* err_;
    const std::string& port_;
};

// Standard output: what the actions print, passed on as it is, or with --tap collected and passed on as diagnostic
// lines before each test point.
class RunOutput {
public:
    RunOutput(std::FILE* out, bool tap) : out_(out) {
        if (tap) {
            capture_.reset(std::tmpfile());
        }
        sink_ = capture_ ? capture_.get() : out_;
    }

    // Where the actions print.
    std::FILE* Sink() const { return sink_; }

    void Header() {
        if (capture_) {
            std::fputs(kTapHeader, out_);
        }
    }

    // A test point of --tap, after what the action printed.
    void Point(bool ok, const std::string& description) {
        if (!capture_) {
            return;
        }
        Flush();
        std::fputs(TapTestPoint(++points_, ok, description).c_str(), out_);
        std::fflush(out_);
    }

    // The end of an action: an empty line, and with --tap what it printed passed on.
    void EndAction() {
        std::fputs("\n", sink_);
        Flush();
    }

    void BailOut(const std::string& why) {
        if (capture_) {
            std::fprintf(out_, "Bail out! %s\n", why.c_str());
        }
    }

    void Plan() {
        if (capture_) {
            std::fputs(TapPlan(points_).c_str(), out_);
        }
    }

private:
    // Passes what the actions printed since the last time on as TAP diagnostics.
    void Flush() {
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

    std::FILE* out_;
    std::unique_ptr<std::FILE, CloseFile> capture_;  // with --tap only
    std::FILE* sink_ = nullptr;
    int points_ = 0;
    long passedOn_ = 0;  // how much of the capture has been passed on
};

// The actions run in order against the open reader, until one fails or a stop is asked for.
class ScriptedRun {
public:
    ScriptedRun(const CommandLine& commandLine, RYX_HANDLE handle, RunOutput& output, ErrorReport& errors)
        : line_(commandLine), handle_(handle), output_(output), errors_(errors) {}

    int RunActions() {
        int status = kExitOk;
        for (const Action& action : line_.actions) {
            if (StopRequested()) {
                break;
            }
            status = IsScript(action.kind) ? PlayScript(action) : Call(action);
            output_.EndAction();
            if (status != kExitOk) {
                break;
            }
        }
        return status;
    }

private:
    // An action that makes one library call.
    int Call(const Action& action) {
        const uint32_t status = PerformAction(handle_, line_.slot, action, output_.Sink());
        if (status != 0) {
            errors_.Fail(EntryOf(action.kind).call, status);
        }
        output_.Point(status == 0, action.written);
        return status == 0 ? kExitOk : kExitFailure;
    }

    int PlayScript(const Action& action) {
        Announce(EntryOf(action.kind), line_.slot, output_.Sink());
        std::fprintf(output_.Sink(), "Opening %s...\n", action.file.c_str());
        const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(action.file.c_str(), "r"));
        if (!file) {
            CannotRead(action.file, errors_.Stream());
            output_.Point(false, action.written);
            return kExitFailure;
        }
        // The failures go to standard error through pairDone, not into the dumps.
        const ScriptSender sender = [send = SendOf(action.kind)](
                                        RYX_HANDLE handle, uint32_t slot, const uint8_t* command, uint32_t length,
                                        uint8_t* response, uint32_t capacity, uint32_t* responseLength, std::FILE*) {
            return send(handle, slot, command, length, response, capacity, responseLength);
        };
        ScriptRunOptions options;
        options.hashComments = !line_.lenient;
        options.printMismatch = false;
        options.pairDone = [this, &action](const ScriptPairResult& pair) { PairDone(action, pair); };
        return ScriptExit(action, RunScriptFile(handle_, line_.slot, file.get(), sender, output_.Sink(), options));
    }

    void PairDone(const Action& action, const ScriptPairResult& pair) {
        const std::string where = action.file + ":" + std::to_string(pair.commandLine);
        const bool ok = pair.status == 0 && pair.matched;
        if (!ok) {
            errors_.PairFailed(where, EntryOf(action.kind).call, pair);
        }
        output_.Point(ok, where);
    }

    int ScriptExit(const Action& action, ScriptEnd end) {
        switch (end) {
            case ScriptEnd::EndOfFile:
            case ScriptEnd::Stopped:
                return kExitOk;
            case ScriptEnd::Mismatch:
                return kExitMismatch;
            case ScriptEnd::SenderFailed:
                return kExitFailure;
            case ScriptEnd::OutOfMemory:
                std::fprintf(errors_.Stream(), "ryx_test: %s: not enough memory to run the script\n",
                             action.file.c_str());
                output_.Point(false, action.written);
                return kExitFailure;
        }
        return kExitFailure;
    }

    const CommandLine& line_;
    RYX_HANDLE handle_;
    RunOutput& output_;
    ErrorReport& errors_;
};

}  // namespace

int RunScripted(const CommandLine& commandLine, std::FILE* out, std::FILE* err) {
    const int refused = CheckScripts(commandLine, err);
    if (refused != kExitOk) {
        return refused;
    }
    RunOutput output(out, commandLine.tap);
    ErrorReport errors(err, commandLine.port);
    output.Header();
    RYX_HANDLE handle = nullptr;
    const uint32_t openStatus = RYX_OpenA(commandLine.port.c_str(), &handle);
    if (openStatus != 0) {
        errors.OpenFailed(openStatus);
        output.BailOut(commandLine.port + ": RYX_OpenA: " + DescribeStatus(openStatus));
        return kExitFailure;
    }
    int status = ScriptedRun(commandLine, handle, output, errors).RunActions();
    // Closing powers every slot off, whatever the actions left on.
    const uint32_t closeStatus = RYX_Close(handle);
    if (closeStatus != 0) {
        errors.Fail("RYX_Close", closeStatus);
        status = status == kExitOk ? kExitFailure : status;
    }
    if (StopRequested()) {
        output.BailOut("stopped by signal " + std::to_string(StopSignal()));
        return 128 + StopSignal();
    }
    output.Plan();
    return status;
}

}  // namespace ryx_test
