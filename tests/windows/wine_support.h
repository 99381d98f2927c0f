// Running the Windows build under wine from a Linux test: programs with bounded runs, COM ports mapped onto
// pseudo-terminals in the wine prefix, and the API exerciser as a line-by-line session.
//
// The prefix is the one in $WINEPREFIX (ctest sets it; the prefix is made once by make_wineprefix.sh). Tests
// that use it must not run at the same time: they share the prefix's wineserver, and each waits for it to end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/child_program.h"

namespace ryx::wine {

// The directory holding ryx.dll, ryx_test.exe and api_exerciser.exe.
[[nodiscard]] std::string WindowsBinDir();
// The wine prefix, from $WINEPREFIX; empty when it is not set.
[[nodiscard]] std::string Prefix();

// Programs run whole as every test runs them.
using test::Outcome;
using test::ReadFile;
using test::RunProgram;
using test::ShellQuote;

// Makes COM<number> of the prefix stand for device (a symbolic link in dosdevices, replacing any there).
[[nodiscard]] bool MapComPort(int number, const std::string& device);
void UnmapComPort(int number);

// Waits until the prefix's wineserver has gone, which it does once its last program has ended. Must come before
// a pty it used is closed: wineserver takes the pty as its controlling terminal and would get its hang-up.
// True when it went within the bound; otherwise it is killed and false is returned.
bool WaitForWineServer(std::chrono::seconds bound = std::chrono::seconds(60));

// api_exerciser.exe under wine, answering one command line at a time (see api_exerciser.cpp for the commands).
class ExerciserSession {
public:
    ExerciserSession() = default;
    ~ExerciserSession();  // Finish()
    ExerciserSession(const ExerciserSession&) = delete;
    ExerciserSession& operator=(const ExerciserSession&) = delete;

    // Starts the program and waits for its "ready" line. False (with the reason in Error()) when it does not come.
    [[nodiscard]] bool Start();
    // Sends one command and returns the first line of the answer, without its line end; "" when none came within
    // the bound (the reason is then in Error()).
    [[nodiscard]] std::string Call(const std::string& command, std::chrono::seconds bound = std::chrono::seconds(120));
    // The next line of a multi-line answer.
    [[nodiscard]] std::string NextLine(std::chrono::seconds bound = std::chrono::seconds(30));
    // Sends "quit", waits for the program to end (killing it when it does not) and for the wineserver to go.
    // True when the program ended on its own with status 0. Safe to call more than once.
    bool Finish();

    [[nodiscard]] const std::string& Error() const { return error_; }
    // What the program wrote on standard error so far.
    [[nodiscard]] const std::string& ErrorOutput() const { return stderr_; }

private:
    bool WriteAll(const std::string& text);
    // Reads what is there into the buffers, waiting up to ms; false when standard output has closed.
    bool Pump(int ms);

    pid_t child_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    int errFromChild_ = -1;
    std::string pending_;
    std::string stderr_;
    std::string error_;
};

// The hex text of bytes as the exerciser writes it: upper case, contiguous, "-" for none.
[[nodiscard]] std::string Hex(const std::vector<unsigned char>& bytes);

// Splits an answer line at its spaces.
[[nodiscard]] std::vector<std::string> Words(const std::string& line);

}  // namespace ryx::wine
