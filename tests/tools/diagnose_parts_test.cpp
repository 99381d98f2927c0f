// The pure parts of ryx_test --diagnose and of the hints: frames in raw bytes, the ATR, the report and its texts.
#include "atr_decode.h"
#include "diagnosis.h"
#include "hints.h"
#include "line_frames.h"

#include <gtest/gtest.h>

#include <ryx.h>

#include <string>
#include <vector>

namespace ryx_test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(LineFrames, FirmwareQueryAndReplies) {
    const Bytes query = FirmwareQueryFrame(0x05);
    EXPECT_EQ(query, (Bytes{0x02, 0x6B, 0x05, 0, 0, 0, 0, 0x05, 0, 0, 0, 0xE0, 0, 0, 0x18, 0, 0x93, 0x03}));
    // The reply "KT 1": abData E1 00 00 00 04 4B 54 20 31.
    const Bytes status = {0x02, 0x00, 0x00, 0x03};
    Bytes response = {0x02, 0x83, 0x09, 0, 0, 0, 0, 0x05, 0, 0, 0, 0xE1, 0, 0, 0, 0x04, 'K', 'T', ' ', '1', 0, 0x03};
    uint8_t x = 0;
    for (size_t i = 1; i + 2 < response.size(); ++i) {
        x ^= response[i];
    }
    response[response.size() - 2] = x;
    Bytes whole = status;
    whole.insert(whole.end(), response.begin(), response.end());
    Bytes damaged = whole;
    damaged[10] ^= 0x01;
    struct Case {
        const char* name;
        Bytes received;
        LineAnswer answer;
        bool complete;
        std::string firmware;
    };
    const Case cases[] = {
        {"nothing", {}, LineAnswer::Nothing, false, ""},
        {"echo", query, LineAnswer::Echo, true, ""},
        {"status and response", whole, LineAnswer::Frames, true, "KT 1"},
        {"refusing status", {0x02, 0x01, 0x01, 0x03}, LineAnswer::Frames, true, ""},
        {"damaged response", damaged, LineAnswer::Damaged, true, ""},
        {"cut short", Bytes(whole.begin(), whole.end() - 3), LineAnswer::Damaged, false, ""},
        {"garbage", {0xFF, 0x55, 0xAA, 0x00, 0x13}, LineAnswer::NoFrame, false, ""},
        {"half an echo", Bytes(query.begin(), query.begin() + 6), LineAnswer::NoFrame, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LineReply reply = ClassifyLineReply(query, c.received);
        EXPECT_EQ(reply.answer, c.answer);
        EXPECT_EQ(reply.firmware, c.firmware);
        EXPECT_EQ(LineReplyComplete(query, c.received), c.complete);
    }
}

TEST(LineFrames, ModelOfFirmware) {
    EXPECT_STREQ(ModelOfFirmware("KT4470RS_V3 1.07")->name, "KT4470RS_V3");
    EXPECT_EQ(ModelOfFirmware("KT4470RS_V3 1.07")->slots, 3u);
    EXPECT_STREQ(ModelOfFirmware("KT4470RSX")->name, "KT4470RS");
    EXPECT_EQ(ModelOfFirmware("KT6630RS 2.01")->blockSize, 506u);
    EXPECT_FALSE(ModelOfFirmware("KT4470R"));
    EXPECT_FALSE(ModelOfFirmware("XY9000 1.0"));
}

TEST(AtrDecode, Descriptions) {
    struct Case {
        Bytes atr;
        std::string text;
    };
    const Case cases[] = {
        {{0x3B, 0x00}, "direct convention, T=0, Fi 372 Di 1 (no TA1), no TCK (T=0 only), 0 historical bytes"},
        {{0x3F, 0x00}, "inverse convention, T=0, Fi 372 Di 1 (no TA1), no TCK (T=0 only), 0 historical bytes"},
        {{0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D},
         "direct convention, T=0, Fi 512 Di 32 (TA1 96), no TCK (T=0 only), 6 historical bytes"},
        {{0x3B, 0x80, 0x01, 0x81}, "direct convention, T=1, Fi 372 Di 1 (no TA1), TCK correct, 0 historical bytes"},
        {{0x3B, 0x90, 0x18, 0x80, 0x31, 0x00, 0x00, 0xA9},  // wrong TCK
         "malformed: the check byte TCK is wrong"},
        {{0x3B, 0x90, 0x18, 0x80, 0x31, 0x00, 0x00, 0x39},
         "direct convention, T=0 and T=1, Fi 372 Di 12 (TA1 18), TCK correct, 0 historical bytes"},
        {{0x3B, 0x11, 0x71, 0x00},
         "direct convention, T=0, Fi 0 Di 1 (TA1 71), reserved Fi/Di, no TCK (T=0 only), "
         "1 historical byte"},
        {{0x3B, 0x80, 0x01, 0x80}, "malformed: the check byte TCK is wrong"},
        {{0x3B, 0x00, 0x3B}, "malformed: longer than its interface and historical bytes announce"},
        {{0x3B, 0xF0, 0x11}, "malformed: shorter than its interface and historical bytes announce"},
        {{0x3A, 0x00}, "malformed: TS is neither 3B (direct) nor 3F (inverse)"},
        {{0x3B}, "malformed: shorter than 2 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.atr));
        EXPECT_EQ(DescribeAtr(DecodeAtr(c.atr.data(), c.atr.size())), c.text);
    }
}

TEST(Diagnosis, LinesVerdictExitAndJson) {
    Diagnosis d;
    d.summary = "the reader works";
    d.checks.push_back({"line", Verdict::Ok, "valid frames", "", "", false});
    d.checks.push_back({"reader", Verdict::Skipped, "why", "", "", false});
    EXPECT_EQ(CheckLine(d.checks[1]), "reader: skipped: why");
    EXPECT_EQ(VerdictLine(d), "verdict: ok: the reader works");
    EXPECT_EQ(DiagnosisExitStatus(d), 0);
    d.checks.push_back({"slot 0", Verdict::Problem, "mute", "try \"another\"", "a mute card", false});
    d.checks.push_back({"slot 1", Verdict::Problem, "later", "", "", false});
    EXPECT_EQ(CheckLine(d.checks[2]), "slot 0: problem: mute; try \"another\"");
    EXPECT_EQ(VerdictLine(d), "verdict: problem: a mute card; try \"another\"");
    EXPECT_EQ(DiagnosisExitStatus(d), 1);
    d.checks.push_back({"port", Verdict::Problem, "busy\n", "", "", true});
    EXPECT_EQ(DiagnosisExitStatus(d), 2);
    EXPECT_EQ(DiagnosisJson(d),
              "{\"checks\":[{\"check\":\"line\",\"verdict\":\"ok\",\"finding\":\"valid frames\",\"action\":\"\"},"
              "{\"check\":\"reader\",\"verdict\":\"skipped\",\"finding\":\"why\",\"action\":\"\"},"
              "{\"check\":\"slot 0\",\"verdict\":\"problem\",\"finding\":\"mute\",\"action\":\"try \\\"another\\\"\"},"
              "{\"check\":\"slot 1\",\"verdict\":\"problem\",\"finding\":\"later\",\"action\":\"\"},"
              "{\"check\":\"port\",\"verdict\":\"problem\",\"finding\":\"busy\\u000a\",\"action\":\"\"}],"
              "\"verdict\":\"problem\",\"cause\":\"a mute card; try \\\"another\\\"\",\"exit\":2}");
}

TEST(Hints, PortProblemsAndFailedCalls) {
    struct Case {
        PortProblem problem;
        std::string text;
    };
    const Case cases[] = {
        {{PortProblem::PermissionDenied, 13, "dialout", 020660, ""},
         "permission denied: the device belongs to group dialout (mode 0660); join the group (sudo usermod -aG "
         "dialout $USER, then log in again), or give the device to your group with the udev rule in the README"},
        {{PortProblem::Busy, 11, "", 0, "minicom (pid 812)"},
         "in use by another program (minicom (pid 812)); end that program, or wait until it has closed the port"},
        {{PortProblem::NotSerial, 25, "", 0, ""},
         "not a serial device; name the reader's serial port; ryx_test --list shows them"},
        {{PortProblem::Missing, 2, "", 0, ""},
         "there is no /dev/ttyX; check the name; ryx_test --list shows the serial "
         "ports"},
    };
    for (const Case& c : cases) {
        const PortFinding f = DescribePortProblem("/dev/ttyX", c.problem);
        EXPECT_EQ(f.finding + "; " + f.action, c.text);
    }
    EXPECT_EQ(HintForFailure("RYX_OpenA", RYX_ERROR_GEN_FAILURE, "P"),
              "no reader answered at any rate: check the cable, the reader's power and the port name (try ryx_test "
              "--diagnose P)");
    EXPECT_EQ(HintForFailure("RYX_SetBaudRate", RYX_ERROR_INVALID_PARAMETER, "P"), "");
}

}  // namespace
}  // namespace ryx_test
