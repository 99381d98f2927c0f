// A card description: what a described card holds and how it answers, as read from its TOML file (ryx-card(5)).
// Plain data; CardEngine gives it behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ryx::sim::card {

// Who may read or change a file or a data object: anyone, no one, or whoever verified the PIN `pin`.
struct Access {
    enum class Kind : std::uint8_t { Always, Never, Pin } kind = Kind::Always;
    std::uint8_t pin = 0;  // the PIN's reference, for Kind::Pin
};

struct Pin {
    std::vector<std::uint8_t> refs;  // the references VERIFY names it by (e.g. 81 and 82 for one PIN)
    std::vector<std::uint8_t> value;
    std::size_t minLength = 1;
    std::size_t maxLength = 255;
    unsigned retries = 3;  // the counter's starting value and what a right PIN sets it back to
    std::optional<std::vector<std::uint8_t>> resetCode;  // RESET RETRY COUNTER P1 00/01 with this code
    std::optional<std::uint8_t> unblocker;               // RESET RETRY COUNTER P1 02/03 once this PIN is verified
};

struct File {
    enum class Kind : std::uint8_t { Df, Binary, Records } kind = Kind::Binary;
    std::vector<std::uint16_t> path;  // file identifiers from the MF on, the MF's 3F00 first
    std::vector<std::uint8_t> name;   // a DF's name (AID), may be empty
    std::optional<std::uint8_t> sfi;  // an EF's short identifier, 1 to 30
    std::vector<std::uint8_t> data;   // a transparent EF's contents
    std::vector<std::vector<std::uint8_t>> records;
    Access read, update;
    [[nodiscard]] std::string PathText() const;  // "3F00/5015/4401"
};

// One piece of a data object's value: bytes, or a value computed when the object is read.
struct Piece {
    enum class Kind : std::uint8_t { Bytes, Retries, Counter } kind = Kind::Bytes;
    std::vector<std::uint8_t> bytes;  // Kind::Bytes
    std::uint8_t pin = 0;             // Kind::Retries: one byte, the PIN's retries left
    std::size_t counter = 0;          // Kind::Counter: index into Description::counters, big-endian in its size
};

struct DataObject {
    std::uint16_t tag = 0;
    std::vector<Piece> value;          // a primitive object's value
    std::vector<std::uint16_t> parts;  // a constructed object: the TLVs of these objects, in order
    Access read;
    Access write{Access::Kind::Never, 0};
    std::size_t maxLength = 255;         // PUT DATA refuses longer values
    [[nodiscard]] bool Dynamic() const;  // constructed, or computed: PUT DATA cannot replace it
};

struct Counter {
    std::string name;
    std::size_t size = 3;  // bytes
    std::uint32_t value = 0;
};

// Checked before the built-in commands: a command that matches the pattern (and the conditions) gets this answer.
struct Rule {
    std::string pattern;  // nibbles, 'X'/'x' for any; the command must have as many bytes unless `prefix`
    bool prefix = false;  // the pattern ended in '*': any bytes may follow
    std::optional<std::vector<std::uint8_t>> selected;  // the current DF's name starts with these bytes
    std::optional<std::uint8_t> verified;               // this PIN is verified
    std::vector<std::uint8_t> response;                 // data, then the SW
    std::optional<std::size_t> counts;                  // adds one to this counter
};

struct Description {
    std::vector<std::uint8_t> atr;
    bool t0 = false;        // T=0 response-length rules: 61 xx and GET RESPONSE, 6C xx for a wrong Le
    bool extended = false;  // extended-length APDUs are taken (otherwise 67 00)
    std::uint16_t unknownSw = 0x6D00;
    std::vector<Pin> pins;
    std::vector<File> files;  // the MF (3F00) first; every other file after its DF
    std::vector<DataObject> objects;
    std::vector<Counter> counters;
    std::vector<Rule> rules;
};

// Reads the description at `path`; contents named by `file = "..."` are read beside it. nullopt with
// "PATH:LINE: what is wrong" in *error (no line when the file cannot be read at all).
[[nodiscard]] std::optional<Description> LoadDescription(const std::string& path, std::string* error);
// The same from text: `source` names it in errors, and `directory` is where contents files are read from (empty:
// contents files are refused). Pure but for those files.
[[nodiscard]] std::optional<Description> ParseDescription(std::string_view text, const std::string& source,
                                                          const std::string& directory, std::string* error);

}  // namespace ryx::sim::card
