// What the reader answers to each message, without the line in between.
#include "sim/reader_device.h"

#include <gtest/gtest.h>

#include "raw_client.h"

namespace ryx::sim {
namespace {

using simtest::Bytes;
using simtest::Hex;
using simtest::Message;

Bytes Reply(ReaderDevice& d, const Bytes& message) {
    return d.Handle(message).reply;
}

TEST(ReaderDevice, ReplyTypeStatusAndCopiedSlotAndSequence) {
    struct Case {
        const char* name;
        Bytes command;
        Bytes reply;
    };
    Config config;
    config.cards[1] = SlotCard{true, Hex("3B 00"), true};  // slot 1: a mute card
    const std::vector<Case> cases = {
        {"power on", Message(0x62, 0, 0x11, 0, 0, 0), Hex("80 09 00 00 00 00 11 00 00 00 3B 16 96 52 59 58 53 49 4D")},
        {"status of a powered card", Message(0x65, 0, 0x12, 0, 0, 0), Hex("81 00 00 00 00 00 12 00 00 00")},
        {"power off", Message(0x63, 0, 0x13, 0, 0, 0), Hex("81 00 00 00 00 00 13 01 00 00")},
        {"status of an inactive card", Message(0x65, 0, 0x14, 0, 0, 0), Hex("81 00 00 00 00 00 14 01 00 00")},
        {"APDU to an inactive card", Message(0x6F, 0, 0x15, 0, 0, 0, Hex("80 10 00 00")),
         Hex("80 00 00 00 00 00 15 41 FE 00")},
        {"mute card power on", Message(0x62, 1, 0x16, 0, 0, 0), Hex("80 00 00 00 00 01 16 41 FE 00")},
        {"mute card status", Message(0x65, 1, 0x17, 0, 0, 0), Hex("81 00 00 00 00 01 17 01 00 00")},
        {"slot past the count", Message(0x62, 2, 0x18, 0, 0, 0), Hex("80 00 00 00 00 02 18 42 05 00")},
        {"status past the count", Message(0x65, 7, 0x19, 0, 0, 0), Hex("81 00 00 00 00 07 19 42 05 00")},
        {"unknown message type", Message(0x6C, 0, 0x1A, 0, 0, 0), Hex("81 00 00 00 00 00 1A 41 00 00")},
        {"firmware version", Message(0x6B, 0, 0x1B, 0, 0, 0, Hex("E0 00 00 18 00")),
         Hex("83 12 00 00 00 00 1B 01 00 00 E1 00 00 00 0D 4B 54 34 34 37 30 52 53 20 31 2E 30 37")},
        {"other escapes are echoed", Message(0x6B, 0, 0x1C, 0, 0, 0, Hex("01 02 03")),
         Hex("83 03 00 00 00 00 1C 01 00 00 01 02 03")},
        {"rate index outside the table", Message(0x6B, 0, 0x1D, 0, 0, 0, Hex("44 0A")),
         Hex("83 00 00 00 00 00 1D 41 0A 00")},
        {"rate command without index", Message(0x6B, 0, 0x1E, 0, 0, 0, Hex("44")),
         Hex("83 00 00 00 00 00 1E 41 0A 00")},
        {"parameters for an inactive card", Message(0x61, 0, 0x1F, 0, 0, 0, Hex("96 00 00 0A 00")),
         Hex("82 00 00 00 00 00 1F 41 FE 00")},
        {"no card: power on", Message(0x62, 0, 0x20, 0, 0, 0), Hex("80 00 00 00 00 00 20 42 FE 00")},
    };
    ReaderDevice d(config);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (std::string(cases[i].name) == "no card: power on") d.RemoveCard(0);
        EXPECT_EQ(Reply(d, cases[i].command), cases[i].reply) << cases[i].name;
    }
}

TEST(ReaderDevice, RateChangeAnswersThenNamesTheNewRate) {
    ReaderDevice d(Config{});
    for (std::uint8_t i = 0; i < kRateTable.size(); ++i) {
        auto out = d.Handle(Message(0x6B, 0, i, 0, 0, 0, Bytes{0x44, i}));
        EXPECT_EQ(Bytes(out.reply.begin() + 10, out.reply.end()), (Bytes{0x90, i}));
        ASSERT_TRUE(out.newRate.has_value());
        EXPECT_EQ(*out.newRate, kRateTable[i]);
    }
    EXPECT_FALSE(d.Handle(Message(0x6B, 0, 0, 0, 0, 0, Hex("44 0A"))).newRate.has_value());
}

TEST(ReaderDevice, SetParametersEchoesTheBodyAndRecordsIt) {
    ReaderDevice d(Config{});
    (void)d.Handle(Message(0x62, 0, 0, 0, 0, 0));
    auto t0 = d.Handle(Message(0x61, 0, 5, 0x00, 0, 0, Hex("96 00 00 0A 00")));
    EXPECT_EQ(t0.reply, Hex("82 05 00 00 00 00 05 00 00 00 96 00 00 0A 00"));
    ASSERT_TRUE(t0.setParameters.has_value());
    EXPECT_EQ(t0.setParameters->protocolNum, 0);
    EXPECT_EQ(t0.setParameters->body, Hex("96 00 00 0A 00"));
    EXPECT_FALSE(t0.setParameters->refused);
    auto t1 = d.Handle(Message(0x61, 0, 6, 0x01, 0, 0, Hex("11 13 00 4D 00 20 00")));
    EXPECT_EQ(t1.reply, Hex("82 07 00 00 00 00 06 00 00 01 11 13 00 4D 00 20 00"));
    EXPECT_EQ(Reply(d, Message(0x61, 0, 7, 0x02, 0, 0, Hex("11"))), Hex("82 00 00 00 00 00 07 40 07 00"));
    auto refused = d.RefuseSetParameters(Message(0x61, 0, 8, 0x00, 0, 0, Hex("96 00 00 0A 00")));
    EXPECT_EQ(refused.reply, Hex("82 00 00 00 00 00 08 40 0A 00"));
    ASSERT_TRUE(refused.setParameters.has_value());
    EXPECT_TRUE(refused.setParameters->refused);
}

// Sends one XfrBlock and returns the reply.
Bytes Xfr(ReaderDevice& d, std::uint8_t seq, std::uint16_t level, const Bytes& data) {
    return Reply(
        d, Message(0x6F, 0, seq, 0, static_cast<std::uint8_t>(level), static_cast<std::uint8_t>(level >> 8), data));
}

TEST(ReaderDevice, CommandChainingIsJoinedBeforeTheCardSeesIt) {
    ReaderDevice d(Config{});
    std::vector<Bytes> seen;
    d.SetExecutor([&](std::uint8_t, std::span<const std::uint8_t> apdu) {
        seen.emplace_back(apdu.begin(), apdu.end());
        return Hex("90 00");
    });
    (void)d.Handle(Message(0x62, 0, 0, 0, 0, 0));
    const Bytes block(261, 0x11);
    EXPECT_EQ(Xfr(d, 1, 0x0001, block), Hex("80 00 00 00 00 00 01 00 00 10"));
    EXPECT_EQ(Xfr(d, 2, 0x0003, block), Hex("80 00 00 00 00 00 02 00 00 10"));
    EXPECT_EQ(Xfr(d, 3, 0x0002, Hex("22 33")), Hex("80 02 00 00 00 00 03 00 00 00 90 00"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].size(), 2u * 261 + 2);
    EXPECT_EQ(seen[0].back(), 0x33);
    // Chaining out of order is refused; a new 0x0001 starts over.
    EXPECT_EQ(Xfr(d, 4, 0x0003, Hex("01")), Hex("80 00 00 00 00 00 04 40 08 00"));
    EXPECT_EQ(Xfr(d, 5, 0x0002, Hex("01")), Hex("80 00 00 00 00 00 05 40 08 00"));
    EXPECT_EQ(Xfr(d, 6, 0x0010, {}), Hex("80 00 00 00 00 00 06 40 08 00"));
    EXPECT_EQ(Xfr(d, 7, 0x0004, Hex("01")), Hex("80 00 00 00 00 00 07 40 08 00"));
    EXPECT_EQ(Xfr(d, 8, 0x0001, Hex("AA")), Hex("80 00 00 00 00 00 08 00 00 10"));
    EXPECT_EQ(Xfr(d, 9, 0x0001, Hex("BB")), Hex("80 00 00 00 00 00 09 00 00 10"));
    EXPECT_EQ(Xfr(d, 10, 0x0002, Hex("CC")), Hex("80 02 00 00 00 00 0A 00 00 00 90 00"));
    EXPECT_EQ(seen.back(), Hex("BB CC"));
    // A block longer than the model's block size is a failed command.
    EXPECT_EQ(Xfr(d, 11, 0x0000, Bytes(262, 0)), Hex("80 00 00 00 00 00 0B 40 01 00"));
}

TEST(ReaderDevice, ResponseChainingInPiecesOfTheBlockSize) {
    struct Case {
        Model model;
        std::optional<std::uint32_t> blockSize;
        std::size_t responseLength;
    };
    const Case cases[] = {{Model::KT4470RS, {}, 261},  {Model::KT4470RS, {}, 262},   {Model::KT4470RS, {}, 65538},
                          {Model::KT6630RS, {}, 1013}, {Model::KT4470RS_V3, 10, 25}, {Model::KT4470RS, {}, 0}};
    for (const auto& c : cases) {
        Config config;
        config.model = c.model;
        config.blockSize = c.blockSize;
        ReaderDevice d(config);
        Bytes response(c.responseLength);
        for (std::size_t i = 0; i < response.size(); ++i) response[i] = static_cast<std::uint8_t>(i * 7);
        d.SetExecutor([&](std::uint8_t, std::span<const std::uint8_t>) { return response; });
        (void)d.Handle(Message(0x62, 0, 0, 0, 0, 0));
        const std::size_t block = c.blockSize ? *c.blockSize : ModelBlockSize(c.model);
        Bytes gathered;
        std::vector<std::uint8_t> chains;
        Bytes reply = Xfr(d, 0, 0x0000, Hex("80 12 00 00"));
        for (std::uint8_t seq = 1;; ++seq) {
            ASSERT_EQ(reply[0], 0x80);
            ASSERT_EQ(reply[7], 0x00);
            ASSERT_LE(reply.size() - 10, block);
            gathered.insert(gathered.end(), reply.begin() + 10, reply.end());
            chains.push_back(reply[9]);
            if (reply[9] == 0x00 || reply[9] == 0x02) break;
            reply = Xfr(d, seq, 0x0010, {});
            ASSERT_EQ(reply[6], seq);
        }
        EXPECT_EQ(gathered, response);
        const std::size_t pieces = std::max<std::size_t>(1, (c.responseLength + block - 1) / block);
        ASSERT_EQ(chains.size(), pieces);
        if (pieces == 1) {
            EXPECT_EQ(chains[0], 0x00);
        } else {
            EXPECT_EQ(chains.front(), 0x01);
            for (std::size_t i = 1; i + 1 < pieces; ++i) EXPECT_EQ(chains[i], 0x03);
            EXPECT_EQ(chains.back(), 0x02);
        }
        // The chain is over: another 0x0010 is out of order.
        EXPECT_EQ(Xfr(d, 0, 0x0010, {})[7], 0x40);
    }
}

TEST(ReaderDevice, PowerLossEndsAChainAndRemovalEmptiesTheSlot) {
    ReaderDevice d(Config{});
    (void)d.Handle(Message(0x62, 0, 0, 0, 0, 0));
    EXPECT_TRUE(d.Powered(0));
    EXPECT_EQ(Xfr(d, 1, 0x0001, Hex("80 10 00 00 01"))[9], 0x10);
    (void)d.Handle(Message(0x62, 0, 2, 0, 0, 0));  // warm reset
    EXPECT_EQ(Xfr(d, 3, 0x0002, Hex("AA")), Hex("80 00 00 00 00 00 03 40 08 00"));
    d.SetMute(0, true);
    EXPECT_FALSE(d.Powered(0));
    EXPECT_EQ(d.IccStatus(0), 1);
    d.RemoveCard(0);
    EXPECT_EQ(d.IccStatus(0), 2);
    EXPECT_EQ(Xfr(d, 4, 0x0000, Hex("80 10 00 00")), Hex("80 00 00 00 00 00 04 42 FE 00"));
    EXPECT_EQ(Reply(d, Message(0x63, 0, 5, 0, 0, 0)), Hex("81 00 00 00 00 00 05 02 00 00"));
    d.InsertCard(0, Hex("3B 02 14 50"));
    EXPECT_EQ(d.IccStatus(0), 1);
    EXPECT_EQ(Reply(d, Message(0x62, 0, 6, 0, 0, 0)), Hex("80 04 00 00 00 00 06 00 00 00 3B 02 14 50"));
}

TEST(ReaderDevice, ModelsFirmwareAndBlockSizes) {
    struct Case {
        Model model;
        const char* text;
        std::size_t slots;
        std::uint32_t block;
    };
    const Case cases[] = {{Model::KT4470RS, "KT4470RS 1.07", 2, 261},
                          {Model::KT4470RS_V3, "KT4470RS_V3 1.07", 3, 261},
                          {Model::KT6630RS, "KT6630RS 2.01", 3, 506}};
    for (const auto& c : cases) {
        Config config;
        config.model = c.model;
        ReaderDevice d(config);
        const Bytes r = Reply(d, Message(0x6B, 0, 0, 0, 0, 0, Hex("E0 00 00 18 00")));
        ASSERT_GE(r.size(), 15u);
        EXPECT_LE(r.size() - 10, 35u);
        EXPECT_EQ(std::string(r.begin() + 15, r.end()), c.text);
        EXPECT_EQ(d.SlotCount(), c.slots);
        EXPECT_EQ(d.BlockSize(), c.block);
        EXPECT_EQ(ModelFromName(ModelName(c.model)), c.model);
    }
    ReaderDevice d(Config{});
    d.SetFirmware("XYZ9999 0.1");
    const Bytes r = Reply(d, Message(0x6B, 0, 0, 0, 0, 0, Hex("E0 00 00 18 00")));
    EXPECT_EQ(std::string(r.begin() + 15, r.end()), "XYZ9999 0.1");
    EXPECT_FALSE(ModelFromName("KT4470").has_value());
}

}  // namespace
}  // namespace ryx::sim
