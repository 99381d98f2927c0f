// ryx_spy: the lines its decoder prints for known bytes, and the real program between the real ryx_sim (as the
// reader's port) and the real ryx_test, through a rate change and line faults.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "tools/ryx_spy/describe.h"
#include "tools/ryx_spy/frame_splitter.h"

namespace ryx::spy {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
constexpr auto H = Direction::kToReader;
constexpr auto R = Direction::kToHost;

struct Chunk {
    Direction direction;
    Bytes bytes;
};

// Feeds the chunks in order at time 0, then silence on both sides; the lines printed.
std::vector<std::string> Decode(const std::vector<Chunk>& chunks, Format format = Format::kText) {
    FrameSplitter toReader(H), toHost(R);
    Describer describer(format);
    std::vector<Piece> pieces;
    for (const Chunk& c : chunks) (c.direction == H ? toReader : toHost).Feed(c.bytes, 0, &pieces);
    toReader.Silence(&pieces);
    toHost.Silence(&pieces);
    std::vector<std::string> lines;
    for (const Piece& p : pieces) lines.push_back(describer.Piece(p));
    return lines;
}

const Bytes kSelect = {0x02, 0x6F, 0x04, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x00, 0xA4, 0x04, 0x00, 0xDB, 0x03};
const Bytes kStatusAndReply = {0x02, 0, 0, 0x03, 0x02, 0x80, 0x02, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x90, 0x00, 0x02, 0x03};

TEST(SpyDecoder, PrintsEachPieceOfTheLine) {
    struct Case {
        const char* name;
        std::vector<Chunk> chunks;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"an APDU, its status and reply in one chunk",
         {{H, kSelect}, {R, kStatusAndReply}},
         {"0.000000 host>reader command PC_to_RDR_XfrBlock slot 0 seq 16 len 4 level 0x0000 CLA 0x00 INS 0xA4 P1 "
          "0x04 P2 0x00",
          "0.000000 reader>host status accepted",
          "0.000000 reader>host response RDR_to_PC_DataBlock slot 0 seq 16 len 2 bStatus 0x00 (processed, card "
          "active) bError 0x00 chain 0x00 SW 90 00"}},
        {"a frame in pieces, a refusal, a damaged reply, RepeatRequest",
         {{H, {0x02, 0x63, 0, 0, 0, 0, 0x01}},
          {H, {0x07, 0, 0, 0, 0x65, 0x03}},
          {R, {0x02, 0x01, 0x01, 0x03, 0x02, 0x81, 0, 0, 0, 0, 0x01, 0x07, 0x42, 0xFE, 0, 0x00, 0x03}},
          {H, {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}}},
         {"0.000000 host>reader command PC_to_RDR_IccPowerOff slot 1 seq 7 len 0",
          "0.000000 reader>host status refused 0x01",
          "0.000000 reader>host damaged wrong check byte bytes 13 data 02 81 00 00 00 00 01 07 42 FE 00 00 03",
          "0.000000 host>reader RepeatRequest"}},
        {"a failed command, noise, a frame cut short",
         {{R, {0xFF, 0xFE, 0x02, 0x81, 0, 0, 0, 0, 0x01, 0x07, 0x42, 0xFE, 0, 0x3B, 0x03, 0x02, 0x80, 0x05}}},
         {"0.000000 reader>host no-frame bytes 2 data FF FE",
          "0.000000 reader>host response RDR_to_PC_SlotStatus slot 1 seq 7 len 0 bStatus 0x42 (failed, no card) "
          "bError 0xFE (card mute)",
          "0.000000 reader>host incomplete bytes 3 data 02 80 05"}},
        {"extended APDU header; a length no frame has",
         {{H, {0x02, 0x6F, 0x0C, 0, 0, 0, 0, 0x02, 0, 0, 0, 0x00, 0xB0, 0, 0, 0, 0, 0x03, 1, 2, 3, 0, 0, 0xD2, 0x03}},
          {H, {0x02, 0x6F, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0}}},
         {"0.000000 host>reader command PC_to_RDR_XfrBlock slot 0 seq 2 len 12 level 0x0000 CLA 0x00 INS 0xB0 P1 "
          "0x00 P2 0x00 Lc 3 Le 65536",
          "0.000000 host>reader no-frame bytes 11 data 02 6F FF FF FF FF 00 00 00 00 00"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Decode(c.chunks), c.lines) << c.name;
}

TEST(SpyDecoder, JsonHasTheSameFields) {
    EXPECT_EQ(Decode({{H, kSelect}, {R, kStatusAndReply}}, Format::kJson),
              (std::vector<std::string>{
                  R"({"time":0.000000,"dir":"host>reader","kind":"command","type":"PC_to_RDR_XfrBlock","slot":0,)"
                  R"("seq":16,"len":4,"level":0,"CLA":0,"INS":164,"P1":4,"P2":0})",
                  R"({"time":0.000000,"dir":"reader>host","kind":"status","result":"accepted"})",
                  R"({"time":0.000000,"dir":"reader>host","kind":"response","type":"RDR_to_PC_DataBlock","slot":0,)"
                  R"("seq":16,"len":2,"bStatus":0,"bStatusMeaning":"processed, card active","bError":0,"chain":0,)"
                  R"("SW":"9000"})"}));
    EXPECT_EQ(Describer(Format::kText).Chunk(R, 1.5, std::vector<std::uint8_t>{0x02, 0, 0, 0x03}),
              "1.500000 reader>host chunk bytes 4 data 02 00 00 03");
}

TEST(SpyProgram, SaysWhatIsWrongAndExitsWithItsCode) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {{}, 64, "ryx_spy: name the reader's serial port (see ryx_spy --help)\n"},
        {{"--raw", "--bogus"}, 64, "ryx_spy: unknown option --bogus (see ryx_spy --help)\n"},
        {{"/dev/null", "--link"}, 64, "ryx_spy: --link needs a PATH\n"},
        {{"/nonexistent/port"}, 2, "ryx_spy: cannot open /nonexistent/port: No such file or directory\n"},
        {{"/dev/null"}, 2, "ryx_spy: /dev/null is not a serial port (Inappropriate ioctl for device)\n"},
        {{"/dev/ptmx", "--link", "/dev/null"},
         2,
         "ryx_spy: /dev/null exists and is not a symbolic link; name another --link PATH\n"},
        {{"--help"}, 0, ""},
    };
    for (const Case& c : cases) {
        test::ChildProgram spy(RYX_SPY_BINARY, c.args);
        EXPECT_EQ(spy.Stderr(), c.error);
        EXPECT_EQ(spy.Wait(), c.status) << c.error;
    }
}

// The lines of ryx_spy's output without their time.
std::vector<std::string> Untimed(const std::string& output) {
    std::istringstream in(output);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
}

TEST(SpyProgram, WatchesARyxTestSessionThroughARateChangeAndFaults) {
    char dirTemplate[] = "/tmp/ryx-spy-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    // The first frame is refused; the fifth (the APDU) gets a damaged reply, which the host asks for again.
    test::ChildProgram sim(RYX_SIM_BINARY, {"--link", dir + "/reader", "--fault", "refuse-status", "--fault", "pass:3",
                                            "--fault", "damage-response"});
    ASSERT_FALSE(sim.ReadLine().empty());
    test::ChildProgram spy(RYX_SPY_BINARY, {dir + "/reader", "--link", dir + "/spied"});
    ASSERT_FALSE(spy.ReadLine().empty());
    test::ChildProgram client(RYX_TEST_BINARY, {dir + "/spied", "--baud", "500000", "--timeouts", "2000,1,300,1",
                                                "--power-on", "--apdu", "0084000008"});
    EXPECT_EQ(client.Wait(60s), 0) << client.Stderr();
    spy.Signal(SIGTERM);
    const std::string output = spy.Stdout();
    EXPECT_EQ(spy.Wait(), 0);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    std::filesystem::remove_all(dir);

    const std::vector<std::string> expected = {
        "host>reader command PC_to_RDR_Escape slot 0 seq 0 len 5 data E0 00 00 18 00",
        "reader>host status refused 0x01",
        "host>reader command PC_to_RDR_Escape slot 0 seq 0 len 5 data E0 00 00 18 00",
        "reader>host status accepted",
        "reader>host response RDR_to_PC_Escape slot 0 seq 0 len 18 bStatus 0x01 (processed, card inactive) bError "
        "0x00 data E1 00 00 00 0D 4B 54 34 34 37 30 52 53 20 31 2E 30 37",
        "host>reader command PC_to_RDR_Escape slot 0 seq 1 len 2 data 44 09",
        "reader>host status accepted",
        "reader>host response RDR_to_PC_Escape slot 0 seq 1 len 2 bStatus 0x01 (processed, card inactive) bError "
        "0x00 data 90 09",
        "line rate bps 500000",
        "host>reader command PC_to_RDR_IccPowerOn slot 0 seq 2 len 0",
        "reader>host status accepted",
        "reader>host response RDR_to_PC_DataBlock slot 0 seq 2 len 9 bStatus 0x00 (processed, card active) bError "
        "0x00 chain 0x00 ATR 3B 16 96 52 59 58 53 49 4D",
        "host>reader command PC_to_RDR_XfrBlock slot 0 seq 3 len 5 level 0x0000 CLA 0x00 INS 0x84 P1 0x00 P2 0x00 "
        "Le 8",
        "reader>host status accepted",
        "reader>host damaged wrong check byte bytes 15 data 02 80 02 00 00 00 00 02 00 00 00 6D 00 EC 03",
        "host>reader RepeatRequest",
        "reader>host response RDR_to_PC_DataBlock slot 0 seq 3 len 2 bStatus 0x00 (processed, card active) bError "
        "0x00 chain 0x00 SW 6D 00",
        "host>reader command PC_to_RDR_IccPowerOff slot 0 seq 4 len 0",
        "reader>host status accepted",
        "reader>host response RDR_to_PC_SlotStatus slot 0 seq 4 len 0 bStatus 0x01 (processed, card inactive) "
        "bError 0x00",
        "host>reader command PC_to_RDR_IccPowerOff slot 1 seq 5 len 0",
        "reader>host status accepted",
        "reader>host response RDR_to_PC_SlotStatus slot 1 seq 5 len 0 bStatus 0x02 (processed, no card) bError 0x00",
    };
    EXPECT_EQ(Untimed(output), expected) << output;
}

}  // namespace
}  // namespace ryx::spy
