// The simulator over a real pseudo-terminal, driven byte by byte from a raw client on the slave.
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <thread>

#include "sim_fixture.h"

namespace ryx::simtest {
namespace {

using sim::Config;
using sim::Fault;
using sim::FaultKind;
using sim::FrameRecord;
using Clock = std::chrono::steady_clock;

TEST_F(SimTest, EveryMessageGetsTheStatusThenExactlyOneResponse) {
    Config config;
    config.cards[1] = sim::SlotCard{true, Hex("3B 02 14 50"), true};
    Start(config);
    struct Case {
        const char* name;
        Bytes command;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {"firmware", Message(0x6B, 0, 0, 0, 0, 0, Hex("E0 00 00 18 00")),
         Hex("83 12 00 00 00 00 00 01 00 00 E1 00 00 00 0D 4B 54 34 34 37 30 52 53 20 31 2E 30 37")},
        {"power on", Message(0x62, 0, 1, 0, 0, 0), Hex("80 09 00 00 00 00 01 00 00 00 3B 16 96 52 59 58 53 49 4D")},
        {"slot status", Message(0x65, 0, 2, 0, 0, 0), Hex("81 00 00 00 00 00 02 00 00 00")},
        {"APDU", Message(0x6F, 0, 0x10, 0, 0, 0, Hex("00 A4 04 00")), Hex("80 02 00 00 00 00 10 00 00 00 67 00")},
        {"SetParameters", Message(0x61, 0, 3, 0, 0, 0, Hex("96 00 00 0A 00")),
         Hex("82 05 00 00 00 00 03 00 00 00 96 00 00 0A 00")},
        {"APDU after SetParameters", Message(0x6F, 0, 4, 0, 0, 0, Hex("80 10 00 00 01 5A")),
         Hex("80 03 00 00 00 00 04 00 00 00 5A 90 00")},
        {"escape echo", Message(0x6B, 0, 5, 0, 0, 0, Hex("12 34")), Hex("83 02 00 00 00 00 05 00 00 00 12 34")},
        {"power off slot 0", Message(0x63, 0, 6, 0, 0, 0), Hex("81 00 00 00 00 00 06 01 00 00")},
        {"power off slot 1, counter 7", Message(0x63, 1, 7, 0, 0, 0), Hex("81 00 00 00 00 01 07 01 00 00")},
        {"mute card", Message(0x62, 1, 8, 0, 0, 0), Hex("80 00 00 00 00 01 08 41 FE 00")},
        {"bad slot", Message(0x62, 2, 9, 0, 0, 0), Hex("80 00 00 00 00 02 09 42 05 00")},
        {"unknown type", Message(0x50, 0, 0xFF, 0, 0, 0), Hex("81 00 00 00 00 00 FF 41 00 00")},
    };
    // Each answer is read to its last byte and the next exchange starts with a status: nothing else was sent.
    for (const auto& c : cases) EXPECT_EQ(Exchange(c.command), c.reply) << c.name;
    // The literal frame of the power-off example, and the XfrBlock frame, as the reader saw them.
    const auto received = sim_->ReceivedFrames();
    ASSERT_EQ(received.size(), cases.size());
    EXPECT_EQ(received[8].bytes, Hex("02 63 00 00 00 00 01 07 00 00 00 65 03"));
    EXPECT_EQ(received[3].bytes, Hex("02 6F 04 00 00 00 00 10 00 00 00 00 A4 04 00 DB 03"));
    ASSERT_TRUE(received[3].header.has_value());
    EXPECT_EQ(received[3].header->type, 0x6F);
    EXPECT_EQ(received[3].header->dwLength, 4u);
    EXPECT_EQ(received[3].header->seq, 0x10);
    for (const auto& r : received) {
        EXPECT_EQ(r.kind, FrameRecord::Kind::kCommand);
        EXPECT_EQ(r.hostSpeed, 9600u);
        EXPECT_FALSE(r.droppedSpeedMismatch || r.refused || r.ignoredSilent || r.fault);
    }
    const auto sent = sim_->SentFrames();
    ASSERT_EQ(sent.size(), 2 * cases.size());
    for (std::size_t i = 0; i < sent.size(); i += 2) {
        EXPECT_EQ(sent[i].kind, FrameRecord::Kind::kStatus);
        EXPECT_EQ(sent[i].bytes, kAccepted);
        EXPECT_EQ(sent[i + 1].kind, FrameRecord::Kind::kResponse);
    }
    const auto params = sim_->SetParametersMessages();
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].protocolNum, 0);
    EXPECT_EQ(params[0].seq, 3);
    EXPECT_EQ(params[0].body, Hex("96 00 00 0A 00"));
    sim_->ClearRecords();
    EXPECT_TRUE(sim_->ReceivedFrames().empty());
    EXPECT_TRUE(sim_->SentFrames().empty());
    EXPECT_TRUE(sim_->SetParametersMessages().empty());
}

TEST_F(SimTest, RepeatRequestGetsTheLastResponseAgainWithoutStatus) {
    Start();
    // Nothing to repeat yet: the reader stays silent and the next command is answered normally.
    client_->Write(kRepeat);
    ASSERT_TRUE(sim_->WaitForFrames(1, 5s));
    const Bytes atr = PowerOn();
    ASSERT_FALSE(atr.empty());
    const Bytes last = Frame(atr);
    for (int i = 0; i < 2; ++i) {
        client_->Write(kRepeat);
        EXPECT_EQ(client_->ReadFrame(), last);
    }
    const auto received = sim_->ReceivedFrames();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].kind, FrameRecord::Kind::kRepeatRequest);
    EXPECT_EQ(received[3].kind, FrameRecord::Kind::kRepeatRequest);
    EXPECT_EQ(sim_->SentFrames().size(), 4u);  // status + response, then two responses
    EXPECT_EQ(Exchange(Message(0x65, 0, 1, 0, 0, 0)), Hex("81 00 00 00 00 00 01 00 00 00"));
}

TEST_F(SimTest, ChainingBothWaysOverTheLine) {
    Start();
    PowerOn();
    // ECHO with extended Lc: 7 + 2 * 261 + 5 - 7 data bytes, sent as blocks of 261, 261 and 5.
    const std::size_t length = 2 * 261 + 5;
    Bytes apdu = {0x80, 0x10, 0x00, 0x00, 0x00, 0x02, 0x08};
    apdu.resize(length);
    for (std::size_t i = 7; i < length; ++i) apdu[i] = static_cast<std::uint8_t>(i);
    std::uint8_t seq = 0x20;
    auto block = [&](std::size_t from, std::size_t n, std::uint16_t level) {
        return Exchange(Message(0x6F, 0, seq++, 0, static_cast<std::uint8_t>(level),
                                static_cast<std::uint8_t>(level >> 8),
                                Bytes(apdu.begin() + static_cast<std::ptrdiff_t>(from),
                                      apdu.begin() + static_cast<std::ptrdiff_t>(from + n))));
    };
    EXPECT_EQ(block(0, 261, 0x0001), Hex("80 00 00 00 00 00 20 00 00 10"));
    EXPECT_EQ(block(261, 261, 0x0003), Hex("80 00 00 00 00 00 21 00 00 10"));
    Bytes reply = block(522, 5, 0x0002);
    // 520 data bytes + 90 00 come back as 261 (0x01) and 261 (0x02).
    ASSERT_EQ(reply.size(), 10u + 261);
    EXPECT_EQ(reply[9], 0x01);
    Bytes response(reply.begin() + 10, reply.end());
    reply = Exchange(Message(0x6F, 0, seq++, 0, 0x10, 0x00));
    ASSERT_EQ(reply.size(), 10u + 261);
    EXPECT_EQ(reply[6], 0x23);
    EXPECT_EQ(reply[9], 0x02);
    response.insert(response.end(), reply.begin() + 10, reply.end());
    Bytes expected(apdu.begin() + 7, apdu.end());
    expected.push_back(0x90);
    expected.push_back(0x00);
    EXPECT_EQ(response, expected);
    // A block longer than the model's block size is refused with a failed command, not a refused frame.
    EXPECT_EQ(Exchange(Message(0x6F, 0, seq++, 0, 0, 0, Bytes(262, 0x00))), Hex("80 00 00 00 00 00 24 40 01 00"));
}

TEST_F(SimTest, FramesAtAnotherSpeedAreDroppedUnanswered) {
    Start();
    const Bytes status = Message(0x65, 0, 1, 0, 0, 0);
    std::size_t frames = 0;
    for (std::uint32_t speed : {19200u, 4800u, 128000u}) {
        client_->SetSpeed(speed);
        EXPECT_EQ(sim_->HostSpeed(), speed);
        client_->Write(Frame(status));
        // The reader judges a frame by the speed in force when it arrives: keep this one until it has.
        ASSERT_TRUE(sim_->WaitForFrames(++frames, 5s));
    }
    client_->SetSpeed(9600);
    // The first bytes to arrive are the answer to this frame: the three before got nothing.
    EXPECT_EQ(Exchange(Message(0x65, 0, 2, 0, 0, 0)), Hex("81 00 00 00 00 00 02 01 00 00"));
    const auto received = sim_->ReceivedFrames();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].hostSpeed, 19200u);
    EXPECT_EQ(received[2].hostSpeed, 128000u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(received[i].droppedSpeedMismatch);
        EXPECT_EQ(received[i].readerRate, 9600u);
    }
    EXPECT_FALSE(received[3].droppedSpeedMismatch);
    EXPECT_EQ(sim_->SentFrames().size(), 2u);
}

TEST_F(SimTest, SpeedChangeAnswersAtTheOldSpeedThenListensOnlyAtTheNew) {
    Start();
    EXPECT_EQ(Exchange(Message(0x6B, 0, 1, 0, 0, 0, Hex("44 04"))), Hex("83 02 00 00 00 00 01 01 00 00 90 04"));
    EXPECT_EQ(sim_->Rate(), 115200u);
    // Straight away at the new speed, as a host that moves its port the moment it has the confirmation.
    client_->SetSpeed(115200);
    EXPECT_EQ(Exchange(Message(0x65, 0, 2, 0, 0, 0)), Hex("81 00 00 00 00 00 02 01 00 00"));
    client_->SetSpeed(9600);
    client_->Write(Frame(Message(0x65, 0, 3, 0, 0, 0)));
    ASSERT_TRUE(sim_->WaitForFrames(3, 5s));
    EXPECT_TRUE(sim_->ReceivedFrames()[2].droppedSpeedMismatch);
    // A non-standard rate of the table, index 8.
    client_->SetSpeed(115200);
    EXPECT_EQ(Exchange(Message(0x6B, 0, 4, 0, 0, 0, Hex("44 08"))), Hex("83 02 00 00 00 00 04 01 00 00 90 08"));
    client_->SetSpeed(256000);
    EXPECT_EQ(Exchange(Message(0x65, 0, 5, 0, 0, 0)), Hex("81 00 00 00 00 00 05 01 00 00"));
    // An index outside the table is refused and the speed stays.
    EXPECT_EQ(Exchange(Message(0x6B, 0, 6, 0, 0, 0, Hex("44 0A"))), Hex("83 00 00 00 00 00 06 41 0A 00"));
    EXPECT_EQ(sim_->Rate(), 256000u);
    // The response to the switch itself was recorded at the old rate.
    const auto sent = sim_->SentFrames();
    EXPECT_EQ(sent[1].readerRate, 9600u);
}

TEST_F(SimTest, StatusFaultsLeaveTheFrameUntakenAndTheResendSucceeds) {
    Start();
    struct Case {
        FaultKind kind;
        Bytes status;  // what arrives in place of 02 00 00 03 (empty: nothing)
    };
    Fault garbage{FaultKind::kGarbage};
    const std::vector<Case> cases = {
        {FaultKind::kRefuseStatus, kRefused},           {FaultKind::kBadStatusStart, Hex("05 00 00 03")},
        {FaultKind::kBadStatusEnd, Hex("02 00 00 05")}, {FaultKind::kBadStatusCheck, Hex("02 00 01 03")},
        {FaultKind::kGarbage, garbage.garbage},         {FaultKind::kNoStatus, {}},
    };
    std::uint8_t seq = 0;
    std::size_t frames = 0;
    for (const auto& c : cases) {
        sim_->QueueFault(Fault{c.kind});
        const Bytes frame = Frame(Message(0x62, 0, seq++, 0, 0, 0));
        client_->Write(frame);
        ++frames;
        if (!c.status.empty()) {
            EXPECT_EQ(client_->Read(c.status.size()), c.status) << FaultKindName(c.kind);
        } else {
            ASSERT_TRUE(sim_->WaitForFrames(frames, 5s));
        }
        EXPECT_FALSE(sim_->Powered(0)) << FaultKindName(c.kind);
        // The same frame again: taken this time. Had anything more been sent, it would show here first.
        client_->Write(frame);
        EXPECT_EQ(client_->Read(4), kAccepted) << FaultKindName(c.kind);
        EXPECT_EQ(client_->ReadFrame().at(1), 0x80);
        EXPECT_TRUE(sim_->Powered(0));
        EXPECT_EQ(Exchange(Message(0x63, 0, seq++, 0, 0, 0)).at(7), 0x01);
        frames += 2;
    }
    const auto counters = sim_->FaultsInjected();
    EXPECT_EQ(counters.total, cases.size());
    for (const auto& c : cases) EXPECT_EQ(counters.byKind[static_cast<std::size_t>(c.kind)], 1u);
}

TEST_F(SimTest, ResponseFaultsAreRepairedByARepeatRequest) {
    Start();
    PowerOn();
    const Bytes command = Message(0x6F, 0, 0x31, 0, 0, 0, Hex("80 12 00 00 10"));
    const Bytes good =
        Frame(Hex("80 12 00 00 00 00 31 00 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00"));

    // Damage: bSeq flipped, check byte as it was.
    sim_->QueueFault(Fault{FaultKind::kDamageResponse});
    auto a = client_->Exchange(command);
    EXPECT_EQ(a.status, kAccepted);
    Bytes damaged = good;
    damaged[7] ^= 0x01;
    EXPECT_EQ(a.response, damaged);
    client_->Write(kRepeat);
    EXPECT_EQ(client_->ReadFrame(), good);

    // Truncated to 10 bytes: the rest never comes; the repeat brings the whole frame.
    Fault truncate{FaultKind::kTruncateResponse};
    truncate.length = 10;
    sim_->QueueFault(truncate);
    client_->Write(Frame(command));
    EXPECT_EQ(client_->Read(4), kAccepted);
    EXPECT_EQ(client_->Read(10), Bytes(good.begin(), good.begin() + 10));
    client_->Write(kRepeat);
    EXPECT_EQ(client_->ReadFrame(), good);

    // Two damaged transmissions in a row: the fault's count covers the repeat too.
    Fault twice{FaultKind::kDamageResponse};
    twice.count = 2;
    twice.offset = 1000;  // clamped to the check byte
    sim_->QueueFault(twice);
    Bytes badCheck = good;
    badCheck[badCheck.size() - 2] ^= 0x01;
    a = client_->Exchange(command);
    EXPECT_EQ(a.response, badCheck);
    client_->Write(kRepeat);
    EXPECT_EQ(client_->ReadFrame(), badCheck);
    client_->Write(kRepeat);
    EXPECT_EQ(client_->ReadFrame(), good);
}

TEST_F(SimTest, HeaderFaultsGiveAValidFrameWithTheWrongField) {
    Start();
    PowerOn();
    struct Case {
        Fault fault;
        Bytes reply;
    };
    Fault failing{FaultKind::kStatusError};
    failing.bStatus = 0x42;
    failing.bError = 0xFE;
    Fault processed{FaultKind::kStatusError};
    processed.bStatus = 0x02;
    processed.bError = 0x00;
    const std::vector<Case> cases = {
        {Fault{FaultKind::kWrongType}, Hex("81 04 00 00 00 00 41 00 00 00 AA BB 90 00")},
        {Fault{FaultKind::kWrongSlot}, Hex("80 04 00 00 00 01 41 00 00 00 AA BB 90 00")},
        {Fault{FaultKind::kWrongSequence}, Hex("80 04 00 00 00 00 42 00 00 00 AA BB 90 00")},
        {failing, Hex("80 00 00 00 00 00 41 42 FE 00")},
        {processed, Hex("80 04 00 00 00 00 41 02 00 00 AA BB 90 00")},
    };
    for (const auto& c : cases) {
        sim_->QueueFault(c.fault);
        EXPECT_EQ(Exchange(Message(0x6F, 0, 0x41, 0, 0, 0, Hex("80 10 00 00 02 AA BB"))), c.reply)
            << FaultKindName(c.fault.kind);
    }
    // A failing status means the command was not carried out: a power-off so answered leaves the card powered.
    sim_->QueueFault(failing);
    EXPECT_EQ(Exchange(Message(0x63, 0, 0x50, 0, 0, 0)), Hex("81 00 00 00 00 00 50 42 FE 00"));
    EXPECT_TRUE(sim_->Powered(0));
    // The faulty reply is the last response: a repeat gives it again.
    client_->Write(kRepeat);
    EXPECT_EQ(Payload(client_->ReadFrame()), Hex("81 00 00 00 00 00 50 42 FE 00"));
}

TEST_F(SimTest, RefusedSetParametersAreRecordedAndTheNextIsTaken) {
    Start();
    PowerOn();
    Fault refuse{FaultKind::kRefuseSetParameters};
    refuse.count = 2;
    sim_->QueueFault(refuse);
    const Bytes body = Hex("96 00 00 0A 00");
    // An APDU in between does not use up the fault.
    EXPECT_EQ(Exchange(Message(0x6F, 0, 1, 0, 0, 0, Hex("80 10 00 00"))), Hex("80 02 00 00 00 00 01 00 00 00 90 00"));
    EXPECT_EQ(Exchange(Message(0x61, 0, 2, 0, 0, 0, body)), Hex("82 00 00 00 00 00 02 40 0A 00"));
    EXPECT_EQ(Exchange(Message(0x61, 0, 3, 0, 0, 0, body)), Hex("82 00 00 00 00 00 03 40 0A 00"));
    EXPECT_EQ(Exchange(Message(0x61, 0, 4, 0, 0, 0, body)), Hex("82 05 00 00 00 00 04 00 00 00 96 00 00 0A 00"));
    const auto params = sim_->SetParametersMessages();
    ASSERT_EQ(params.size(), 3u);
    EXPECT_TRUE(params[0].refused);
    EXPECT_TRUE(params[1].refused);
    EXPECT_FALSE(params[2].refused);
    for (const auto& p : params) EXPECT_EQ(p.body, body);
}

TEST_F(SimTest, DelaysAndChunksShowInTheTiming) {
    Start();
    const Bytes command = Message(0x65, 0, 1, 0, 0, 0);
    Fault delayStatus{FaultKind::kDelayStatus};
    delayStatus.delay = 300ms;
    sim_->QueueFault(delayStatus);
    auto t0 = Clock::now();
    EXPECT_EQ(Exchange(command), Hex("81 00 00 00 00 00 01 01 00 00"));
    EXPECT_GE(Clock::now() - t0, 300ms);

    Fault delayResponse{FaultKind::kDelayResponse};
    delayResponse.delay = 300ms;
    sim_->QueueFault(delayResponse);
    t0 = Clock::now();
    client_->Write(Frame(command));
    EXPECT_EQ(client_->Read(4), kAccepted);
    const auto statusTime = Clock::now() - t0;
    EXPECT_EQ(Payload(client_->ReadFrame()), Hex("81 00 00 00 00 00 01 01 00 00"));
    EXPECT_GE(Clock::now() - t0, 300ms);
    EXPECT_LT(statusTime, 300ms);

    // Pieces of 5 and 8 bytes, far enough apart to be told apart: the second has not come when the first is read.
    Fault chunks{FaultKind::kChunkResponse};
    chunks.gap = 400ms;
    sim_->QueueFault(chunks);
    client_->Write(Frame(command));
    EXPECT_EQ(client_->Read(4), kAccepted);
    const Bytes first = client_->Read(13, 200ms);
    EXPECT_EQ(first, Hex("02 81 00 00 00"));
    EXPECT_EQ(client_->Read(8), Hex("00 00 01 01 00 00 81 03"));
    EXPECT_EQ(sim_->SentFrames().back().bytes, Hex("02 81 00 00 00 00 00 01 01 00 00 81 03"));
    EXPECT_EQ(sim_->SentFrames().back().fault, FaultKind::kChunkResponse);
}

TEST_F(SimTest, PassAimsALaterFault) {
    Start();
    sim_->QueueFault(Fault{FaultKind::kPass, 2});
    sim_->QueueFault(Fault{FaultKind::kRefuseStatus});
    EXPECT_EQ(sim_->PendingFaults(), 2u);
    EXPECT_EQ(client_->Exchange(Message(0x65, 0, 1, 0, 0, 0)).status, kAccepted);
    EXPECT_EQ(client_->Exchange(Message(0x65, 0, 2, 0, 0, 0)).status, kAccepted);
    EXPECT_EQ(client_->Exchange(Message(0x65, 0, 3, 0, 0, 0)).status, kRefused);
    EXPECT_EQ(client_->Exchange(Message(0x65, 0, 3, 0, 0, 0)).status, kAccepted);
    EXPECT_EQ(sim_->PendingFaults(), 0u);
    sim_->QueueFault(Fault{FaultKind::kNoStatus});
    sim_->ClearFaults();
    EXPECT_EQ(client_->Exchange(Message(0x65, 0, 4, 0, 0, 0)).status, kAccepted);
}

TEST_F(SimTest, RandomFaultsAreCounted) {
    Start();
    sim_->SetChaos(1.0, 5, {FaultKind::kWrongSlot});
    for (std::uint8_t i = 0; i < 5; ++i) EXPECT_EQ(Exchange(Message(0x65, 0, i, 0, 0, 0)).at(5), 1);
    sim_->SetChaos(0.0, 5);
    EXPECT_EQ(Exchange(Message(0x65, 0, 9, 0, 0, 0)).at(5), 0);
    const auto counters = sim_->FaultsInjected();
    EXPECT_EQ(counters.total, 5u);
    EXPECT_EQ(counters.byKind[static_cast<std::size_t>(FaultKind::kWrongSlot)], 5u);
}

TEST_F(SimTest, BadInputIsAnsweredAsAReaderWouldAndTheLineRecovers) {
    Start();
    const Bytes good = Frame(Message(0x65, 0, 1, 0, 0, 0));
    const Bytes answer = Hex("81 00 00 00 00 00 01 01 00 00");
    Bytes badCheck = good;
    badCheck[badCheck.size() - 2] ^= 0x40;
    Bytes badEnd = good;
    badEnd.back() = 0x13;
    Bytes tooLong = Frame(Message(0x6B, 0, 1, 0, 0, 0, Bytes(2000, 0x02)));  // full of start bytes, too
    for (const Bytes& bad : {badCheck, badEnd, tooLong}) {
        client_->Write(bad);
        EXPECT_EQ(client_->Read(4), kRefused);
        auto a = client_->Exchange(Message(0x65, 0, 1, 0, 0, 0));
        EXPECT_EQ(a.status, kAccepted);
        EXPECT_EQ(Payload(a.response), answer);
    }
    // Noise before a frame is skipped.
    Bytes noisy = Hex("FF 00 13 03 55");
    noisy.insert(noisy.end(), good.begin(), good.end());
    client_->Write(noisy);
    EXPECT_EQ(client_->Read(4), kAccepted);
    EXPECT_EQ(Payload(client_->ReadFrame()), answer);
    // A frame broken off: after a silence the reader forgets it and the next start byte begins afresh. The pause
    // is the stimulus here, not a wait for something to happen.
    client_->Write(Bytes(good.begin(), good.begin() + 7));
    std::this_thread::sleep_for(300ms);
    client_->Write(good);
    EXPECT_EQ(client_->Read(4), kAccepted);
    EXPECT_EQ(Payload(client_->ReadFrame()), answer);
    const auto received = sim_->ReceivedFrames();
    ASSERT_GE(received.size(), 7u);
    EXPECT_TRUE(received[0].refused);
    EXPECT_TRUE(received[2].refused);
    EXPECT_TRUE(received[4].refused);
    EXPECT_EQ(received[4].bytes.size(), 11u);  // a too-long frame is recorded by its header only
}

TEST_F(SimTest, WireTimePacesTheLine) {
    Config config;
    config.wireTime = true;
    Start(config);
    PowerOn();
    // 17 bytes in, 4 + 13 + 202 bytes out, 10 bits each at 9600 bit/s: about 246 ms.
    const auto t0 = Clock::now();
    const Bytes reply = Exchange(Message(0x6F, 0, 1, 0, 0, 0, Hex("80 12 00 00 C8")));
    const auto elapsed = Clock::now() - t0;
    ASSERT_EQ(reply.size(), 10u + 202);
    const auto wire = std::chrono::microseconds((17 + 4 + 13 + 202) * 10 * 1'000'000LL / 9600);
    EXPECT_GE(elapsed, wire * 9 / 10);
    EXPECT_LT(elapsed, 5s);
    // Off again: the same exchange takes a fraction of it.
    sim_->SetWireTime(false);
    const auto t1 = Clock::now();
    (void)Exchange(Message(0x6F, 0, 2, 0, 0, 0, Hex("80 12 00 00 C8")));
    EXPECT_LT(Clock::now() - t1, wire);
}

TEST_F(SimTest, SilentReaderAnswersNothing) {
    Start();
    sim_->SetSilent(true);
    client_->Write(Frame(Message(0x65, 0, 1, 0, 0, 0)));
    ASSERT_TRUE(sim_->WaitForFrames(1, 5s));
    EXPECT_TRUE(sim_->ReceivedFrames()[0].ignoredSilent);
    sim_->SetSilent(false);
    EXPECT_EQ(Exchange(Message(0x65, 0, 2, 0, 0, 0)), Hex("81 00 00 00 00 00 02 01 00 00"));
    EXPECT_EQ(sim_->SentFrames().size(), 2u);
}

TEST_F(SimTest, ApduHandlerReplacesTheCard) {
    Start();
    sim_->InsertCard(1, Hex("3B 02 14 50"));
    // The handler runs on the reader's thread; the bytes through the pty are no synchronisation for the memory.
    std::mutex mutex;
    std::vector<std::pair<std::uint8_t, Bytes>> seen;
    sim_->SetApduHandler([&](std::uint8_t slot, std::span<const std::uint8_t> apdu) {
        std::lock_guard lock(mutex);
        seen.emplace_back(slot, Bytes(apdu.begin(), apdu.end()));
        return Hex("61 10");
    });
    EXPECT_EQ(PowerOn(1, 1), Hex("80 04 00 00 00 01 01 00 00 00 3B 02 14 50"));
    EXPECT_EQ(Exchange(Message(0x6F, 1, 2, 0, 0, 0, Hex("00 A4 04 00"))), Hex("80 02 00 00 00 01 02 00 00 00 61 10"));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].first, 1);
        EXPECT_EQ(seen[0].second, Hex("00 A4 04 00"));
    }
    sim_->SetApduHandler({});
    EXPECT_EQ(Exchange(Message(0x6F, 1, 3, 0, 0, 0, Hex("00 A4 04 00"))), Hex("80 02 00 00 00 01 03 00 00 00 67 00"));
}

TEST_F(SimTest, CardsChangeAtRunTime) {
    Start();
    PowerOn();
    EXPECT_TRUE(sim_->Powered(0));
    EXPECT_EQ(sim_->IccStatus(0), 0);
    sim_->RemoveCard(0);
    EXPECT_EQ(sim_->IccStatus(0), 2);
    EXPECT_EQ(Exchange(Message(0x65, 0, 1, 0, 0, 0)), Hex("81 00 00 00 00 00 01 02 00 00"));
    EXPECT_EQ(Exchange(Message(0x6F, 0, 2, 0, 0, 0, Hex("80 10 00 00"))), Hex("80 00 00 00 00 00 02 42 FE 00"));
    sim_->InsertCard(0, Hex("3B 00"));
    EXPECT_EQ(Exchange(Message(0x6F, 0, 3, 0, 0, 0, Hex("80 10 00 00"))), Hex("80 00 00 00 00 00 03 41 FE 00"));
    sim_->SetMute(0, true);
    EXPECT_EQ(PowerOn(0, 4), Hex("80 00 00 00 00 00 04 41 FE 00"));
    sim_->SetMute(0, false);
    EXPECT_EQ(PowerOn(0, 5), Hex("80 02 00 00 00 00 05 00 00 00 3B 00"));
    sim_->SetModel(sim::Model::KT6630RS);
    EXPECT_EQ(sim_->SlotCount(), 3u);
    EXPECT_EQ(sim_->BlockSize(), 506u);
    sim_->SetBlockSize(16);
    EXPECT_EQ(sim_->BlockSize(), 16u);
    EXPECT_EQ(Exchange(Message(0x6F, 0, 6, 0, 0, 0, Hex("80 12 00 00 11"))).at(9), 0x01);
    sim_->SetFirmware("OTHER 1.0");
    const Bytes fw = Exchange(Message(0x6B, 0, 7, 0, 0, 0, Hex("E0 00 00 18 00")));
    EXPECT_EQ(std::string(fw.begin() + 15, fw.end()), "OTHER 1.0");
}

TEST_F(SimTest, HostMayCloseAndReopenThePort) {
    Start();
    client_.reset();
    for (std::uint8_t i = 0; i < 3; ++i) {
        RawClient host(sim_->SlavePath());
        auto a = host.Exchange(Message(0x65, 0, i, 0, 0, 0));
        EXPECT_EQ(a.status, kAccepted);
        EXPECT_EQ(Payload(a.response).at(6), i);
    }
}

TEST_F(SimTest, StopInTheMiddleOfAnExchangeFailsTheHostsReads) {
    Start();
    Fault delay{FaultKind::kDelayResponse};
    delay.delay = 60s;
    sim_->QueueFault(delay);
    client_->Write(Frame(Message(0x65, 0, 1, 0, 0, 0)));
    EXPECT_EQ(client_->Read(4), kAccepted);
    const auto t0 = Clock::now();
    sim_->Stop();
    EXPECT_LT(Clock::now() - t0, 5s);  // the delay is cut short
    EXPECT_FALSE(sim_->Running());
    EXPECT_TRUE(client_->WaitForHangup());
    sim_->Stop();  // twice is fine
}

TEST_F(SimTest, VanishFaultClosesThePtyInsteadOfAnswering) {
    Start();
    PowerOn();
    sim_->QueueFault(Fault{FaultKind::kPass});
    sim_->QueueFault(Fault{FaultKind::kVanish});
    // The second block of a chained command is where the reader goes away.
    EXPECT_EQ(Exchange(Message(0x6F, 0, 1, 0, 0x01, 0, Bytes(261, 0))).at(9), 0x10);
    client_->Write(Frame(Message(0x6F, 0, 2, 0, 0x02, 0, Bytes(3, 0))));
    EXPECT_TRUE(client_->WaitForHangup());
    EXPECT_FALSE(sim_->Running());
    EXPECT_EQ(sim_->FaultsInjected().byKind[static_cast<std::size_t>(FaultKind::kVanish)], 1u);
    sim_->Stop();
}

TEST_F(SimTest, TraceShowsBothDirections) {
    std::ostringstream trace;
    Config config;
    config.trace = true;
    config.traceStream = &trace;
    Start(config);
    PowerOn();
    sim_->Stop();
    const std::string t = trace.str();
    EXPECT_NE(t.find("ryx_sim: rx 9600 IccPowerOn dwLength=0 bSlot=0 bSeq=0x00 07-09=00 00 00 | "
                     "02 62 00 00 00 00 00 00 00 00 00 62 03\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("ryx_sim: tx 9600 status 00 | 02 00 00 03\n"), std::string::npos) << t;
    EXPECT_NE(t.find("ryx_sim: tx 9600 DataBlock dwLength=9 bSlot=0 bSeq=0x00 bStatus=00 bError=00 b9=00 | 02 80 09"),
              std::string::npos)
        << t;
}

TEST_F(SimTest, ReaderAtANonStandardRate) {
    Config config;
    config.rate = 250000;
    Start(config);
    EXPECT_EQ(sim_->HostSpeed(), 250000u);
    EXPECT_EQ(Exchange(Message(0x65, 0, 1, 0, 0, 0)), Hex("81 00 00 00 00 00 01 01 00 00"));
    client_->SetSpeed(256000);
    client_->Write(Frame(Message(0x65, 0, 2, 0, 0, 0)));
    ASSERT_TRUE(sim_->WaitForFrames(2, 5s));
    EXPECT_TRUE(sim_->ReceivedFrames()[1].droppedSpeedMismatch);
}

}  // namespace
}  // namespace ryx::simtest
