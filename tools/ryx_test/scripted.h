// The command-line mode: the actions of the command line against one reader, with exit statuses for CI.
#pragma once

#include "cli_options.h"

#include <cstdio>

namespace ryx_test {

/**
 * Checks every script of the command line, opens the reader on `commandLine.port`, runs the actions in order until
 * one fails, and closes the reader in every case. Dumps go to `out` as the console prints them (as TAP diagnostics
 * with --tap); errors go to `err` naming the call, the code and its meaning.
 * @return the exit status: kExitOk, kExitMismatch, kExitFailure, kExitScriptRefused, or 128 + the signal's number
 *         after a stop was asked for.
 */
int RunScripted(const CommandLine& commandLine, std::FILE* out, std::FILE* err);

}  // namespace ryx_test
