// The exported API of ryx.dll under wine against the simulated reader, with the expectations of the Linux API
// tests: open and identification, time-outs, power, the ATR, protocol selection, APDUs of 1 to 65,544 bytes with
// chaining, escape commands and close. Each case sets up its own simulator on a pty mapped to COM5 and drives
// api_exerciser.exe call by call.
//
// Kept out of the wine run, because wine on a pty behaves unlike Windows there (the code is right for Windows):
// line speeds outside 9600..115200 and 230400 (wine falls back to 38400 silently, so the library refuses them);
// a second open of an open port (wine does not refuse it); a reader that vanishes mid-session (closing the pty
// under wineserver, which holds it as its controlling terminal, hangs it up).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "api/response_pattern.h"
#include "sim/simulator.h"
#include "wine_support.h"
#include "support/sim_faults.h"

namespace ryx::wine {
namespace {

constexpr int kCom = 5;
constexpr const char* kPort = "COM5";

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

std::string HexOf(const std::vector<std::uint8_t>& bytes) {
    return Hex({bytes.begin(), bytes.end()});
}

std::string HexOf(const std::string& text) {
    return Hex({text.begin(), text.end()});
}

class WineApiTest : public testing::Test {
protected:
    void StartReader(sim::Config config = {}) {
        sim_ = std::make_unique<sim::Simulator>(std::move(config));
        ASSERT_TRUE(sim_->Start());
        ASSERT_TRUE(MapComPort(kCom, sim_->SlavePath()));
        ASSERT_TRUE(session_.Start()) << session_.Error();
    }
    void OpenReader(sim::Config config = {}) {
        StartReader(std::move(config));
        ASSERT_EQ(Call(std::string("open ") + kPort), "open 0x00000000");
        sim_->ClearRecords();
    }
    void TearDown() override {
        // The program and wineserver end before the simulator closes the pty.
        EXPECT_TRUE(session_.Finish()) << session_.Error() << session_.ErrorOutput();
        sim_.reset();
        UnmapComPort(kCom);
    }
    std::string Call(const std::string& command) {
        const std::string answer = session_.Call(command);
        EXPECT_FALSE(answer.empty()) << command << ": " << session_.Error();
        return answer;
    }
    std::vector<sim::FrameRecord> Commands() const {
        std::vector<sim::FrameRecord> out;
        for (auto& f : sim_->ReceivedFrames()) {
            if (f.kind == sim::FrameRecord::Kind::kCommand && !f.droppedSpeedMismatch) out.push_back(f);
        }
        return out;
    }
    std::vector<std::uint8_t> CommandTypes() const {
        std::vector<std::uint8_t> types;
        for (const auto& f : Commands()) types.push_back(f.header ? f.header->type : 0);
        return types;
    }

    std::unique_ptr<sim::Simulator> sim_;
    ExerciserSession session_;
};

TEST_F(WineApiTest, OpenFindsTheReaderWithOneEscapeAndReportsTheDefaults) {
    StartReader();
    ASSERT_EQ(Call("open COM5"), "open 0x00000000");
    // The firmware-version escape, addressed to slot 0, is the only message of the open.
    const auto frames = Commands();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, Bytes({0x02, 0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x00,
                                      0x00, 0x18, 0x00, 0x6B ^ 0x05 ^ 0xE0 ^ 0x18, 0x03}));
    EXPECT_EQ(frames[0].hostSpeed, 9600u);
    EXPECT_EQ(Call("slots"), "slots 0x00000000 2");
    EXPECT_EQ(Call("getrate"), "getrate 0x00000000 9600");
    EXPECT_EQ(Call("gettimeouts"), "gettimeouts 0x00000000 2000 1 10000 1");
}

TEST_F(WineApiTest, AThreeSlotReaderLeftAt115200IsFoundAtTheFifthRate) {
    sim::Config config;
    config.model = sim::Model::KT6630RS;
    config.rate = 115200;
    StartReader(config);
    ASSERT_EQ(Call("open COM5"), "open 0x00000000");
    EXPECT_EQ(Call("slots"), "slots 0x00000000 3");
    EXPECT_EQ(Call("getrate"), "getrate 0x00000000 115200");
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].hostSpeed, 115200u);
}

TEST_F(WineApiTest, OpenWTakesTheWideNameAndAMissingPortIsNotFound) {
    StartReader();
    ASSERT_EQ(Call("openw COM5"), "openw 0x00000000");
    EXPECT_EQ(Call("slots"), "slots 0x00000000 2");
    EXPECT_EQ(Call("close"), "close 0x00000000");
    // Nothing is mapped to COM8.
    EXPECT_EQ(Call("open COM8"), "open 0x00000002");
    EXPECT_EQ(Call("slots"), "slots 0x00000006 0");
}

TEST_F(WineApiTest, CloseTurnsEverySlotOffAndInvalidatesTheHandle) {
    OpenReader();
    ASSERT_EQ(Call("close"), "close 0x00000000");
    const auto frames = Commands();
    ASSERT_EQ(frames.size(), 2u);
    for (std::uint8_t slot = 0; slot < 2; ++slot) {
        ASSERT_TRUE(frames[slot].header);
        EXPECT_EQ(frames[slot].header->type, 0x63);
        EXPECT_EQ(frames[slot].header->slot, slot);
    }
    EXPECT_EQ(Call("close"), "close 0x00000006");
    EXPECT_EQ(Call("slots"), "slots 0x00000006 0");
}

TEST_F(WineApiTest, TimeoutsRoundTripAndASilentReaderFailsAfterTwoAttempts) {
    OpenReader();
    EXPECT_EQ(Call("settimeouts 5 6 7 8"), "settimeouts 0x00000000");
    EXPECT_EQ(Call("gettimeouts"), "gettimeouts 0x00000000 5 6 7 8");
    EXPECT_EQ(Call("settimeouts 100 1 100 1"), "settimeouts 0x00000000");
    sim_->SetSilent(true);
    sim_->ClearRecords();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call("status 0"), "status 0x0000001F 0");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(sim_->ReceivedFrames().size(), 2u);  // one command frame, resent once
    sim_->SetSilent(false);
    EXPECT_EQ(Call("status 0"), "status 0x00000000 2");
}

TEST_F(WineApiTest, PowerOnReturnsTheAtrAndEveryCardStateIsReported) {
    OpenReader();
    EXPECT_EQ(Call("status 0"), "status 0x00000000 2");
    EXPECT_EQ(Call("poweron 0 64"), "poweron 0x00000000 9 3B169652595853494D");
    EXPECT_EQ(CommandTypes(), Bytes({0x65, 0x62}));
    EXPECT_EQ(Call("status 0"), "status 0x00000000 3");
    // Too small a buffer: the size needed, nothing copied, the card stays powered.
    EXPECT_EQ(Call("poweron 0 4"), "poweron 0x0000007A 9 -");
    EXPECT_EQ(Call("status 0"), "status 0x00000000 3");
    EXPECT_EQ(Call("poweroff 0"), "poweroff 0x00000000");
    EXPECT_EQ(Call("status 0"), "status 0x00000000 2");
    EXPECT_TRUE(!sim_->Powered(0));
    // No card, then a mute one.
    EXPECT_EQ(Call("status 1"), "status 0x00000000 1");
    EXPECT_EQ(Call("poweron 1 64"), "poweron 0xA0100069 0 -");
    sim_->InsertCard(1, Bytes({0x3B, 0x00}));
    sim_->SetMute(1, true);
    EXPECT_EQ(Call("poweron 1 64"), "poweron 0xA0100066 0 -");
    EXPECT_EQ(Call("status 2"), "status 0x00000057 99");  // two slots: 2 is out of range
}

TEST_F(WineApiTest, ProtocolSelectionSendsTheParametersOfTheAtr) {
    OpenReader();
    EXPECT_EQ(Call("setprotocol 0 1"), "setprotocol 0xA0100067 0");  // not powered yet
    ASSERT_EQ(Call("poweron 0 64"), "poweron 0x00000000 9 3B169652595853494D");
    EXPECT_EQ(Call("setprotocol 0 2"), "setprotocol 0xA010000F 0");  // the card offers T=0 only
    EXPECT_TRUE(sim_->SetParametersMessages().empty());
    EXPECT_EQ(Call("setprotocol 0 1"), "setprotocol 0x00000000 1");
    auto records = sim_->SetParametersMessages();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].protocolNum, 0);
    EXPECT_EQ(records[0].body, Bytes({0x96, 0x00, 0x00, 0x0A, 0x00}));

    // A dual card, both acceptable: T=1 with its IFSC.
    const auto dual = Bytes({0x3B, 0x80, 0x80, 0x31, 0xFE, 0x45, 0x80 ^ 0x80 ^ 0x31 ^ 0xFE ^ 0x45});
    sim_->InsertCard(1, dual);
    ASSERT_EQ(Call("poweron 1 64"), "poweron 0x00000000 7 " + HexOf(dual));
    sim_->ClearRecords();
    EXPECT_EQ(Call("setprotocol 1 3"), "setprotocol 0x00000000 2");
    records = sim_->SetParametersMessages();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].slot, 1);
    EXPECT_EQ(records[0].protocolNum, 1);
    EXPECT_EQ(records[0].body, Bytes({0x11, 0x10, 0x00, 0x45, 0x00, 0xFE, 0x00}));
}

using test::ResponseFor;

std::uint32_t Blocks(std::uint32_t length, std::uint32_t blockSize) {
    return std::max<std::uint32_t>(1, (length + blockSize - 1) / blockSize);
}

class WineExchangeTest : public WineApiTest, public testing::WithParamInterface<sim::Model> {};

TEST_P(WineExchangeTest, CommandsAndResponsesOfEverySizeArriveIntactInBlocks) {
    sim::Config config;
    config.model = GetParam();
    OpenReader(config);
    ASSERT_EQ(Call("poweron 0 64"), "poweron 0x00000000 9 3B169652595853494D");
    std::mutex lock;  // written on the simulator's thread
    std::vector<std::uint8_t> received;
    std::uint32_t responseLength = 0;
    sim_->SetApduHandler([&](std::uint8_t, std::span<const std::uint8_t> apdu) {
        std::lock_guard guard(lock);
        received.assign(apdu.begin(), apdu.end());
        return ResponseFor(apdu, responseLength);
    });
    const std::uint32_t blockSize = sim::ModelBlockSize(GetParam());
    const struct {
        std::uint32_t command;
        std::uint32_t response;
    } cases[] = {{1, 2},     {5, 0},      {261, 2},       {262, 261}, {506, 262},
                 {507, 506}, {1000, 507}, {65544, 65538}, {5, 65536}, {5, 65538}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.command << " -> " << c.response);
        {
            std::lock_guard guard(lock);
            responseLength = c.response;
            received.clear();
        }
        sim_->ClearRecords();
        std::vector<std::uint8_t> command(c.command);
        for (std::uint32_t i = 0; i < c.command; ++i) command[i] = static_cast<std::uint8_t>(i);
        const auto answer = Words(Call("apdufill 0 - " + std::to_string(c.command) + " 65538"));
        ASSERT_EQ(answer.size(), 4u);
        EXPECT_EQ(answer[1], "0x00000000");
        EXPECT_EQ(answer[2], std::to_string(c.response));
        // Compared as a whole, reported by its first difference: a 64 KiB dump helps nobody.
        const std::string expected = HexOf(ResponseFor(command, c.response));
        const auto diff = std::mismatch(expected.begin(), expected.end(), answer[3].begin(), answer[3].end());
        EXPECT_TRUE(diff.first == expected.end() && diff.second == answer[3].end())
            << "response differs from hex digit " << (diff.first - expected.begin()) << " on";
        {
            std::lock_guard guard(lock);
            EXPECT_TRUE(received == command) << "the card got " << received.size() << " bytes";
        }
        std::uint32_t blocks = 0;
        for (const auto& f : Commands()) {
            ASSERT_TRUE(f.header);
            EXPECT_EQ(f.header->type, 0x6F);
            EXPECT_LE(f.header->dwLength, blockSize);
            ++blocks;
        }
        // Each block of the command, then one empty block for each further block of the response.
        EXPECT_EQ(blocks, Blocks(c.command, blockSize) + Blocks(c.response, blockSize) - 1);
    }
    // A response longer than the buffer is refused and nothing of it reported.
    {
        std::lock_guard guard(lock);
        responseLength = 300;
    }
    EXPECT_EQ(Call("apdufill 0 - 5 299"), "apdu 0x0000007A 0 -");
}

INSTANTIATE_TEST_SUITE_P(Models, WineExchangeTest, testing::Values(sim::Model::KT4470RS, sim::Model::KT6630RS),
                         [](const testing::TestParamInfo<sim::Model>& param) {
                             return std::string(sim::ModelName(param.param));
                         });

TEST_F(WineApiTest, TheBuiltInCardAnswersItsCommands) {
    OpenReader();
    ASSERT_EQ(Call("poweron 0 64"), "poweron 0x00000000 9 3B169652595853494D");
    EXPECT_EQ(Call("apdu 0 00A4000002010100 300"), "apdu 0x00000000 2 9000");
    EXPECT_EQ(Call("apdu 0 00B0000010 300"), "apdu 0x00000000 18 " + HexOf("RYX SIM CARD 1.0") + "9000");
    EXPECT_EQ(Call("apdu 0 00FF0000 300"), "apdu 0x00000000 2 6D00");
}

TEST_F(WineApiTest, EscapeCommandsPassAndTheirRepliesComeBack) {
    OpenReader();
    const std::string firmware = Call("control 0 3500 E000001800 35");
    const std::string text = HexOf("KT4470RS 1.07");
    EXPECT_EQ(firmware.substr(0, 19), "control 0x00000000 ");
    EXPECT_EQ(firmware.substr(firmware.size() - text.size()), text);
    EXPECT_EQ(Words(firmware).at(2), "18");                                              // 5 header bytes and the text
    EXPECT_EQ(Call("control 1 3500 0102030405 64"), "control 0x00000000 5 0102030405");  // echoed
    EXPECT_EQ(Call("control 0 3500 E000001800 6"), "control 0x0000007A 0 -");            // reply too long
    EXPECT_EQ(Call("control 0 3500 4401 64"), "control 0x00000057 0 -");  // the line-speed escape is reserved
    EXPECT_EQ(Call("control 0 3501 E000001800 64"), "control 0x00000057 0 -");
    // The reader's "no card" passes unchanged.
    sim_->QueueFault(test::StatusFault(0x42));
    EXPECT_EQ(Call("control 0 3500 0102 64"), "control 0x00000458 0 -");
}

TEST_F(WineApiTest, TheLineSpeedMovesOnBothEnds) {
    OpenReader();
    EXPECT_EQ(Call("setrate 19200"), "setrate 0x00000000");
    EXPECT_EQ(sim_->Rate(), 19200u);
    EXPECT_EQ(Call("getrate"), "getrate 0x00000000 19200");
    EXPECT_EQ(Call("status 0"), "status 0x00000000 2");  // the link works at the new speed
    EXPECT_EQ(Call("setrate 12345"), "setrate 0x00000057");
    EXPECT_EQ(Call("setrate 19200"), "setrate 0x00000000");  // already in force: nothing is sent
    sim_->ClearRecords();
    EXPECT_EQ(Call("setrate 115200"), "setrate 0x00000000");
    EXPECT_EQ(sim_->Rate(), 115200u);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].bytes[11], 0x44);
    EXPECT_EQ(Commands()[0].bytes[12], 4);  // the rate's index
    EXPECT_EQ(Call("getrate"), "getrate 0x00000000 115200");
}

}  // namespace
}  // namespace ryx::wine
