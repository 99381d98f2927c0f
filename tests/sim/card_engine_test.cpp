// Described cards: the example descriptions answered command by command, and descriptions refused with their line.
#include <gtest/gtest.h>

#include "raw_client.h"
#include "sim/card/engine.h"

namespace ryx::sim::card {
namespace {

using simtest::Bytes;
using simtest::Hex;

struct Step {
    const char* command;
    const char* response;
};

// Runs the steps in order on one card: its state carries from step to step.
void RunCard(const std::string& path_or_text, bool isFile, std::initializer_list<Step> steps,
             std::vector<std::string> changes = {}) {
    std::string error;
    auto d = isFile ? LoadDescription(path_or_text, &error) : ParseDescription(path_or_text, "t.toml", "", &error);
    ASSERT_TRUE(d) << error;
    CardEngine card(std::move(*d));
    card.Reset();
    for (const Step& s : steps) {
        EXPECT_EQ(card.Process(Hex(s.command)), Hex(s.response)) << s.command;
    }
    if (!changes.empty()) {
        EXPECT_EQ(card.Changes(), changes);
    }
}

const std::string kExamples = RYX_EXAMPLES_DIR;

TEST(CardEngine, FileSystemExample) {
    RunCard(kExamples + "/filesystem.toml", true,
            {
                {"00 B0 81 00 05", "48 65 6C 6C 6F 90 00"},           // READ BINARY by SFI 1: "Hello"
                {"00 A4 04 0C 08 A0 00 00 05 52 59 58 02", "90 00"},  // the DF by name, no FCI
                {"00 A4 02 04 02 50 01 00", "62 0E 80 02 00 10 82 01 01 83 02 50 01 8A 01 05 90 00"},  // FCP
                {"00 B0 00 00 04", "69 82"},              // PIN 01 not verified
                {"00 20 00 01", "63 C3"},                 // status: 3 tries
                {"00 20 00 01 04 31 31 31 31", "63 C2"},  // wrong
                {"00 20 00 01 04 31 32 33 34", "90 00"},  // right: the counter is back at 3
                {"00 B0 00 00 06", "73 65 63 72 65 74 90 00"},
                {"00 D6 00 08 02 34 33", "90 00"},
                {"00 D6 00 0F 02 00 00", "6A 84"},  // past the end
                {"00 B0 00 0E 04", "20 20 62 82"},  // Le past the end
                {"00 B0 00 11 01", "6B 00"},
                {"00 B2 02 14 00", "0A 0B 0C 0D 90 00"},  // READ RECORD 2 by SFI 2
                {"00 B2 04 14 00", "6A 83"},
                {"00 A4 00 0C 02 50 07", "6A 82"},
                {"00 A4 08 0C 04 50 00 50 01", "90 00"},           // by path
                {"00 A4 03 0C", "90 00"},                          // parent: the MF
                {"00 B0 00 00 04", "69 86"},                       // no EF now
                {"00 24 00 01 07 31 32 33 34 39 39 39", "6A 80"},  // new PIN too short
                {"00 24 00 01 08 31 32 33 34 39 39 39 39", "90 00"},
                {"00 20 00 01 04 31 32 33 34", "63 C2"},
                {"00 20 00 01 04 31 32 33 34", "63 C1"},
                {"00 20 00 01 04 31 32 33 34", "63 C0"},
                {"00 20 00 01 04 39 39 39 39", "69 83"},  // blocked
                {"00 2C 02 01 04 31 32 33 34", "69 82"},  // no one may unblock it
                {"00 12 00 00", "6D 00"},
                {"00 A4 00 00 02 3F", "67 00"},
                {"00 B0 00 00 00 00 05", "67 00"},  // extended: not this card
            },
            {"file 3F00/5000/5001 7365637265743A203433202020202020", "pin 01 retries 0/3", "pin 01 changed"});
}

TEST(CardEngine, OpenPgpExample) {
    RunCard(kExamples + "/openpgp.toml", true,
            {
                {"00 A4 04 00 06 D2 76 00 01 24 01", "90 00"},
                {"00 CA 00 4F 00", "D2 76 00 01 24 01 03 04 FF FF 00 00 00 01 00 00 90 00"},
                {"00 CA 00 C4 00", "00 7F 7F 7F 03 00 03 90 00"},
                {"00 CA 00 7A 00", "93 03 00 00 00 90 00"},
                {"00 CA 00 65 00", "5B 09 44 6F 65 3C 3C 4A 61 6E 65 5F 2D 02 65 6E 5F 35 01 39 90 00"},
                {"00 DA 00 5E 02 6A 6F", "69 82"},
                {"00 20 00 83 08 31 32 33 34 35 36 37 30", "63 C2"},
                {"00 CA 00 C4 00", "00 7F 7F 7F 03 00 02 90 00"},  // the counter is live
                {"00 20 00 83 08 31 32 33 34 35 36 37 38", "90 00"},
                {"00 DA 00 5E 02 6A 6F", "90 00"},
                {"00 CA 00 5E 00", "6A 6F 90 00"},
                {"00 DA 00 C4 01 01", "69 82"},  // computed: never written
                {"00 CA 7F 21 00", "6A 88"},
                {"00 47 81 00 02 B6 00 00", "6A 88"},  // a rule: no keys
                {"00 2A 9E 9A 01 00 00", "69 82"},
                {"00 CA 00 6E 10", "4F 10 D2 76 00 01 24 01 03 04 FF FF 00 00 00 01 61 C7"},  // more to come
                {"00 C0 00 00 03", "00 00 5F 61 C4"},
                {"00 2C 02 81 06 36 35 34 33 32 31", "90 00"},  // PW3 verified: PW1 set anew
            },
            {"object 5E 6A6F", "pin 81 changed"});
}

TEST(CardEngine, RulesAndT0Lengths) {
    const char* text = R"(atr = "3B 00"
protocol = "T=0"
unknown_sw = "6E 00"
[[pin]]
ref = 1
value = "0000"
[[counter]]
name = "n"
size = 2
[[file]]
path = "3F00/A000"
type = "df"
name = "F0 01 02 03 04"
[[object]]
tag = "01"
value = "{counter n}"
[[object]]
tag = "02"
data = "AA BB CC"
[[rule]]
command = "80 10 00 XX"
data = "C0 FF EE"
[[rule]]
command = "80 20 *"
selected = "F0 01"
verified = "01"
sw = "90 01"
count = "n"
)";
    RunCard(text, false,
            {
                {"80 10 00 07", "61 03"},  // a rule: nibble wildcard, exact length; T=0 case 1
                {"00 C0 00 00 03", "C0 FF EE 90 00"},
                {"80 10 00 07 00", "6E 00"},     // one byte more: no rule matches
                {"80 20 00 00 01 AA", "6E 00"},  // not selected, not verified
                {"00 A4 04 0C 02 F0 01", "90 00"},
                {"00 20 00 01 04 30 30 30 30", "90 00"},
                {"80 20 00 00 01 AA", "90 01"},  // counted
                {"00 CA 00 01 00", "6C 02"},     // T=0: wrong Le
                {"00 CA 00 01 02", "00 01 90 00"},
                {"00 CA 00 02 01", "6C 03"},
                {"00 A4 04 00 05 F0 01 02 03 04 00", "61 13"},  // T=0 case 4: GET RESPONSE
                {"00 C0 00 00 17", "6C 13"},
                {"00 C0 00 00 13", "6F 11 82 01 38 83 02 A0 00 84 05 F0 01 02 03 04 8A 01 05 90 00"},
                {"00 C0 00 00 13", "69 85"},
            });
}

TEST(CardEngine, ExtendedApdusWhereTheDescriptionAllowsThem) {
    std::string error;
    auto d = ParseDescription("atr = \"3B 00\"\nextended = true\n[[file]]\npath = \"3F00/0001\"\nsfi = 1\nsize = 300\n",
                              "t.toml", "", &error);
    ASSERT_TRUE(d) << error;
    CardEngine card(std::move(*d));
    Bytes whole(300, 0x00);
    whole.insert(whole.end(), {0x90, 0x00});
    EXPECT_EQ(card.Process(Hex("00 B0 81 00 00 01 2C")), whole);  // extended Le 300
    EXPECT_EQ(card.Process(Hex("00 B0 81 00 00")).size(), 258u);  // short Le 00: 256 bytes
}

TEST(CardDescription, RefusedWithTheirLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"atr = 3B", "t.toml:1: "},  // toml++'s own words follow
        {"protocol = \"T=1\"", "t.toml:1: the card description needs 'atr'"},
        {"atr = \"3B 0\"", "t.toml:1: 'atr' must be hex bytes, not \"3B 0\""},
        {"atr = \"3B00\"\ncolour = 1", "t.toml:2: unknown key 'colour' in the card description"},
        {"atr = \"3B00\"\n[[file]]\npath = \"3F00/5000/5001\"",
         "t.toml:2: the DF above 3F00/5000/5001 is not described before it"},
        {"atr = \"3B00\"\n[[file]]\npath = \"3F00/0001\"\nread = \"pin 81\"", "t.toml:4: no PIN has the reference 129"},
        {"atr = \"3B00\"\n[[object]]\ntag = \"6E\"\nparts = [\"4F\"]",
         "t.toml:4: part '4F' is not an object described before"},
        {"atr = \"3B00\"\n[[object]]\ntag = \"01\"\nvalue = \"{retries 81\"",
         "t.toml:4: 'value' has a '{' without its '}'"},
        {"atr = \"3B00\"\n[[rule]]\ncommand = \"00 A4\"",
         "t.toml:3: 'command' must cover whole bytes: the 4 of the header, or CLA INS and a closing *"},
        {"atr = \"3B00\"\n[[pin]]\nref = \"81\"\nvalue = \"12\"\nmin = 4",
         "t.toml:4: the PIN's value is not from 'min' to 'max' characters long"},
        {"atr = \"3B00\"\n[[file]]\npath = \"3F00/0001\"\nfile = \"x.bin\"",
         "t.toml:4: contents files are not read here"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseDescription(c.text, "t.toml", "", &error)) << c.text;
        EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.text;
    }
}

}  // namespace
}  // namespace ryx::sim::card
