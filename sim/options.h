// The command line of ryx_sim, parsed into a Config and what the program itself does. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/config.h"
#include "sim/fault.h"

namespace ryx::sim {

struct Options {
    Config config;
    std::vector<Fault> faults;           // --fault, in order
    std::optional<std::string> link;     // --link PATH
    std::optional<std::string> run;      // --run COMMAND, {port} not yet replaced
    std::optional<std::string> control;  // --control PATH
    std::vector<std::string> send;       // --send COMMAND: client mode, in order
    // --card SLOT:FILE: card descriptions the program loads before it serves (the slot's card until then: none).
    std::vector<std::pair<std::size_t, std::string>> cardFiles;
    // --card SLOT:vpcd:[HOST:]PORT: slots whose card is a card program connecting over the vpcd protocol.
    struct Vpcd {
        std::size_t slot;
        std::string host;  // where to listen, 127.0.0.1 unless given
        std::uint16_t port;
    };
    std::vector<Vpcd> vpcd;
    bool help = false;
    bool seedGiven = false;  // --seed is refused without --chaos
};

// Parses the arguments after the program name. nullopt with a one-line reason in *error on a bad command line
// (an unknown option is one: a typo must not pass unnoticed).
[[nodiscard]] std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);

// COMMAND with every "{port}" replaced by the slave path.
[[nodiscard]] std::string SubstitutePort(std::string command, const std::string& port);

// The text of --help: every option, the fault kinds and the built-in card's command set.
[[nodiscard]] std::string HelpText();

}  // namespace ryx::sim
