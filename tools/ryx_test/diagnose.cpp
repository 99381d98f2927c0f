#include "diagnose.h"

#include "atr_decode.h"
#include "diagnosis.h"
#include "hints.h"
#include "line_frames.h"
#include "port_check.h"
#include "raw_line.h"
#include "status_codes.h"
#include "stop_request.h"

#include <ryx.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace ryx_test {

namespace {

using std::chrono::milliseconds;

// Enough exchanges per rate to see a bad line, few enough to keep a run at 9600 bit/s around a second a rate.
constexpr int kLinkExchanges = 20;
// As long as the open waits for a silent reader at one rate.
constexpr milliseconds kFirstByteWait{500};
constexpr uint8_t kFirmwareCommand[] = {0xE0, 0x00, 0x00, 0x18, 0x00};

std::string Rate(uint32_t rate) {
    return std::to_string(rate) + " bit/s";
}

// "9600, 19200 and 500000 bit/s", or "every rate".
std::string Rates(const std::vector<uint32_t>& rates) {
    if (rates.size() == kLineRates.size()) {
        return "every rate";
    }
    std::string text;
    for (size_t i = 0; i < rates.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == rates.size() ? " and " : ", ") + std::to_string(rates[i]);
    }
    return text + " bit/s";
}

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : " ") + std::string{digits[bytes[i] >> 4], digits[bytes[i] & 0x0F]};
    }
    return text;
}

CheckResult Ok(std::string check, std::string finding) {
    return {std::move(check), Verdict::Ok, std::move(finding), "", "", false};
}

CheckResult Problem(std::string check, std::string finding, std::string action, std::string cause = "") {
    return {std::move(check), Verdict::Problem, std::move(finding), std::move(action), std::move(cause), false};
}

CheckResult Skipped(std::string check, std::string why) {
    return {std::move(check), Verdict::Skipped, std::move(why), "", "", false};
}

class DiagnosisRun {
public:
    DiagnosisRun(const std::string& port, bool json, std::FILE* out) : port_(port), json_(json), out_(out) {}

    int Run() {
        if (CheckPortAndLine()) {
            CheckReader();
        }
        if (StopRequested()) {
            return 128 + StopSignal();  // the reader has been put back at its rate and closed
        }
        if (json_) {
            std::fprintf(out_, "%s\n", DiagnosisJson(diagnosis_).c_str());
        } else {
            std::fprintf(out_, "%s\n", VerdictLine(diagnosis_).c_str());
        }
        return DiagnosisExitStatus(diagnosis_);
    }

private:
    void Add(CheckResult check) {
        if (!json_) {
            std::fprintf(out_, "%s\n", CheckLine(check).c_str());
            std::fflush(out_);
        }
        diagnosis_.checks.push_back(std::move(check));
    }

    void SkipFrom(const char* first, const std::string& why) {
        bool skipping = false;
        for (const char* check : {"line", "reader", "link", "slots"}) {
            skipping = skipping || std::string(check) == first;
            if (skipping) {
                Add(Skipped(check, why));
            }
        }
    }

    // False when nothing that could be a reader answered: the library's checks would only repeat that, slowly.
    bool CheckPortAndLine() {
        if (!RawLineAvailable()) {
            Add(Skipped("port " + port_, "not checked on this system; the open below reports what it finds"));
            Add(Skipped("line", "the raw line is only examined on Linux"));
            return true;
        }
        int fd = -1;
        const PortProblem problem = PortProblemOf(port_, &fd);
        const PortFinding finding = DescribePortProblem(port_, problem);
        if (problem.kind != PortProblem::None) {
            CheckResult check =
                Problem("port " + port_, finding.finding, finding.action, port_ + ": " + finding.finding);
            check.portUnusable = true;
            Add(std::move(check));
            SkipFrom("line", "the port cannot be opened");
            return false;
        }
        Add(Ok("port " + port_, finding.finding));
        const bool goOn = ExamineLine(fd);
#ifndef _WIN32
        close(fd);  // before the library opens the port: it takes the same exclusive lock
#endif
        return goOn;
    }

    // The rates of the line, sorted by what came back at each.
    struct LineScan {
        std::vector<uint32_t> frames, damaged, echo, noFrame, refused;

        // The list of the rates that gave `answer`; nullptr for no answer at all.
        std::vector<uint32_t>* RatesOf(LineAnswer answer) {
            switch (answer) {
                case LineAnswer::Frames:
                    return &frames;
                case LineAnswer::Damaged:
                    return &damaged;
                case LineAnswer::Echo:
                    return &echo;
                case LineAnswer::NoFrame:
                    return &noFrame;
                case LineAnswer::Nothing:
                    break;
            }
            return nullptr;
        }
    };

    // A firmware query in raw bytes at every rate; the first firmware text that comes back is kept.
    LineScan ScanLine(int fd) {
        LineScan scan;
        RawLine line(fd);
        for (size_t i = 0; i < kLineRates.size() && !StopRequested(); ++i) {
            if (!line.SetRate(kLineRates[i])) {
                scan.refused.push_back(kLineRates[i]);
                continue;
            }
            const std::vector<uint8_t> frame = FirmwareQueryFrame(static_cast<uint8_t>(i));
            const LineReply reply = ClassifyLineReply(frame, line.Exchange(frame, kFirstByteWait, &LineReplyComplete));
            if (reply.answer == LineAnswer::Frames && !firmware_) {
                firmware_ = reply.firmware;
            }
            if (std::vector<uint32_t>* rates = scan.RatesOf(reply.answer)) {
                rates->push_back(kLineRates[i]);
            }
        }
        return scan;
    }

    bool ExamineLine(int fd) {
        const LineScan scan = ScanLine(fd);
        std::string notes;
        if (!scan.noFrame.empty()) {
            notes += "; bytes without a frame at " + Rates(scan.noFrame);
        }
        if (!scan.refused.empty()) {
            notes += "; the port refused " + Rates(scan.refused);
        }
        if (!scan.damaged.empty()) {
            Add(Problem("line", "frames come back damaged at " + Rates(scan.damaged) + notes,
                        "check the cable (its length, shielding and ground) and the adapter",
                        "frames come back damaged at " + Rates(scan.damaged)));
            return true;
        }
        if (!scan.frames.empty()) {
            Add(Ok("line", "valid frames come back at " + Rates(scan.frames) + notes));
            return true;
        }
        if (!scan.echo.empty()) {
            Add(Problem("line", "our own frames come back unchanged at " + Rates(scan.echo) + notes,
                        "connect the reader to " + port_ + " instead",
                        "the line echoes our own frames: a loopback plug or a modem, not a reader"));
        } else if (!scan.noFrame.empty()) {
            Add(Problem("line",
                        "bytes arrive at " + Rates(scan.noFrame) + " but never form a frame" +
                            (scan.refused.empty() ? "" : "; the port refused " + Rates(scan.refused)),
                        "check that " + port_ +
                            " is the reader's port, and the adapter's setting (RS-232, not RS-485 or TTL levels)",
                        "bytes arrive but never form a frame: another device, noise or a wrong adapter setting"));
        } else {
            Add(Problem("line", "nothing answers at any rate" + notes,
                        "check the cable, the reader's power and the port name (ryx_test --list shows the ports)",
                        "no reader answered at any rate"));
        }
        SkipFrom("reader", "no reader answered on the line");
        return false;
    }

    // The reader answered every question: what it is, at which rate, and what each open costs at that rate.
    void ReaderWorks(uint32_t slots, uint32_t rate, const std::string& firmware) {
        const std::optional<KnownModel> model = ModelOfFirmware(firmware);
        std::string finding = std::string(model ? model->name : "unknown model") + ", firmware \"" + firmware + "\", " +
                              std::to_string(slots) + " slot" + (slots == 1 ? "" : "s") + ", blocks of up to " +
                              std::to_string(model ? model->blockSize : 0) + " bytes, at " + Rate(rate);
        const size_t index =
            static_cast<size_t>(std::find(kLineRates.begin(), kLineRates.end(), rate) - kLineRates.begin());
        if (index > 0 && index < kLineRates.size()) {
            finding += " (each open first tries the " + std::to_string(index) + " slower rate" +
                       (index == 1 ? "" : "s") + ", about " + std::to_string(index) + " s)";
        }
        Add(Ok("reader", finding));
        diagnosis_.summary = std::string("the reader works (") + (model ? model->name : "unknown model") + " at " +
                             Rate(rate) +
                             (index > 0 && index < kLineRates.size()
                                  ? "; each open first tries the " + std::to_string(index) + " slower rates"
                                  : "") +
                             ")";
    }

    void CheckReader() {
        if (firmware_ && !firmware_->empty() && !ModelOfFirmware(*firmware_)) {
            Add(Problem("reader", "firmware \"" + *firmware_ + "\" names no model the library drives",
                        "the library drives the KT4470RS, KT4470RS_V3 and KT6630RS; check that this is one of them",
                        "unknown reader model: firmware \"" + *firmware_ + "\""));
            SkipFrom("link", "the reader is not one the library drives");
            return;
        }
        RYX_HANDLE handle = nullptr;
        const uint32_t status = RYX_OpenA(port_.c_str(), &handle);
        if (status != 0) {
            CheckResult check =
                Problem("reader", "RYX_OpenA: " + DescribeStatus(status), HintForFailure("RYX_OpenA", status, port_),
                        "the reader could not be opened: " + DescribeStatus(status));
            check.portUnusable = status != RYX_ERROR_GEN_FAILURE;
            Add(std::move(check));
            SkipFrom("link", "the reader could not be opened");
            return;
        }
        uint32_t slots = 0;
        uint32_t rate = 0;
        uint8_t reply[35] = {};
        uint32_t replyLength = sizeof reply;
        uint32_t failed = RYX_GetNumSlots(handle, &slots);
        failed = failed != 0 ? failed : RYX_GetBaudRate(handle, &rate);
        failed = failed != 0 ? failed
                             : RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, kFirmwareCommand, sizeof kFirmwareCommand,
                                           reply, sizeof reply, &replyLength);
        if (failed != 0) {
            Add(Problem("reader", "the reader stopped answering: " + DescribeStatus(failed),
                        HintForFailure("", failed, port_)));
            SkipFrom("link", "the reader stopped answering");
        } else {
            ReaderWorks(slots, rate,
                        std::string(reinterpret_cast<const char*>(reply) + std::min<uint32_t>(5, replyLength),
                                    reinterpret_cast<const char*>(reply) + std::min<uint32_t>(replyLength, 35)));
            if (CheckLink(handle, rate)) {
                CheckSlots(handle, slots);
            } else {
                Add(Skipped("slots", "the reader is not back at its rate"));
            }
        }
        RYX_Close(handle);
    }

    // One rate: kLinkExchanges firmware queries with no retry allowed, so that each one a retry would have saved
    // shows as a failure. False when any needed a retry.
    bool MeasureRate(RYX_HANDLE handle, uint32_t rate, bool own, const LinkTimeouts& saved) {
        const LinkTimeouts strict = {2000, 0, 2000, 0};
        RYX_SetTimeouts(handle, &strict);
        int failures = 0;
        std::chrono::steady_clock::duration total{};
        for (int i = 0; i < kLinkExchanges && !StopRequested(); ++i) {
            uint8_t reply[35] = {};
            uint32_t length = sizeof reply;
            const auto start = std::chrono::steady_clock::now();
            const uint32_t status = RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, kFirmwareCommand,
                                                sizeof kFirmwareCommand, reply, sizeof reply, &length);
            if (status == 0) {
                total += std::chrono::steady_clock::now() - start;
            } else {
                ++failures;
            }
        }
        RYX_SetTimeouts(handle, &saved);
        char roundTrip[64] = "no exchange succeeded";
        if (failures < kLinkExchanges) {
            const double ms = std::chrono::duration<double, std::milli>(total).count() / (kLinkExchanges - failures);
            std::snprintf(roundTrip, sizeof roundTrip, "round trip %.2f ms on average", ms);
        }
        const std::string check = "link at " + Rate(rate);
        if (failures == 0) {
            Add(Ok(check, std::to_string(kLinkExchanges) + " exchanges, none needed a retry, " + roundTrip));
            return true;
        }
        const std::string share = std::to_string(failures) + " of " + std::to_string(kLinkExchanges) + " exchanges (" +
                                  std::to_string(failures * 100 / kLinkExchanges) + "%) needed a retry";
        Add(Problem(
            check, share + ", " + roundTrip,
            own ? "check the cable (its length, shielding and ground) and the adapter" : "stay below " + Rate(rate),
            "frames come back damaged or lost at " + Rate(rate) + " (" + share + ")"));
        return false;
    }

    // True when the reader is back at `own` afterwards.
    bool CheckLink(RYX_HANDLE handle, uint32_t own) {
        LinkTimeouts saved = {};
        RYX_GetTimeouts(handle, &saved);
        std::optional<uint32_t> best;
        bool started = false;
        for (const uint32_t rate : kLineRates) {
            started = started || rate == own;
            if (!started || StopRequested()) {
                continue;
            }
            if (rate != own) {
                const uint32_t status = RYX_SetBaudRate(handle, rate);
                if (status != 0) {
                    Add(Skipped("link at " + Rate(rate), "not accepted: " + DescribeStatus(status)));
                    if (!BackTo(handle, own)) {
                        break;
                    }
                    continue;
                }
            }
            if (MeasureRate(handle, rate, rate == own, saved)) {
                best = rate;
            }
        }
        if (!BackTo(handle, own)) {
            Add(Problem("link", "the reader could not be put back at " + Rate(own),
                        "switch the reader off and on (it then runs at its own rate again)"));
            return false;
        }
        if (!best) {
            Add(Problem("link", "no rate ran without a retry; the reader is back at " + Rate(own),
                        "check the cable (its length, shielding and ground) and the adapter"));
        } else {
            Add(Ok("link", "fastest rate without a retry: " + Rate(*best) + " (ryx_test " + port_ + " --baud " +
                               std::to_string(*best) + " sets it); the reader is back at " + Rate(own)));
            diagnosis_.summary += ", fastest clean rate " + Rate(*best);
        }
        return true;
    }

    static bool BackTo(RYX_HANDLE handle, uint32_t rate) {
        uint32_t now = 0;
        if (RYX_GetBaudRate(handle, &now) == 0 && now == rate) {
            return true;
        }
        return RYX_SetBaudRate(handle, rate) == 0;
    }

    void CheckSlots(RYX_HANDLE handle, uint32_t slots) {
        int cards = 0;
        int failed = 0;
        for (uint32_t slot = 0; slot < slots && !StopRequested(); ++slot) {
            const std::string check = "slot " + std::to_string(slot);
            uint32_t icc = 0;
            uint32_t status = RYX_GetIccStatus(handle, slot, &icc);
            if (status != 0) {
                Add(Problem(check, "RYX_GetIccStatus: " + DescribeStatus(status), HintForFailure("", status, port_)));
                ++failed;
                continue;
            }
            if (icc == RYX_ICC_ABSENT) {
                Add(Ok(check, "no card"));
                continue;
            }
            ++cards;
            uint8_t atr[64] = {};
            uint32_t atrLength = sizeof atr;
            status = RYX_PowerOnIcc(handle, slot, atr, &atrLength);
            if (status != 0) {
                const bool mute = status == RYX_W_UNRESPONSIVE_CARD;
                Add(Problem(
                    check, "a card, but power-on failed: " + DescribeStatus(status),
                    mute ? "check that the card is inserted the right way round and all the way, or try "
                           "another card"
                         : HintForFailure("RYX_PowerOnIcc", status, port_),
                    mute ? "the card in slot " + std::to_string(slot) + " does not answer the reset (mute card)" : ""));
                ++failed;
                continue;
            }
            atrLength = std::min<uint32_t>(atrLength, sizeof atr);
            const AtrSummary summary = DecodeAtr(atr, atrLength);
            const std::string atrText = "ATR " + Hex(atr, atrLength) + " (" + DescribeAtr(summary) + ")";
            uint32_t active = 0;
            status = summary.problem.empty() ? RYX_SetProtocol(handle, slot, RYX_PROTOCOL_T0 | RYX_PROTOCOL_T1, &active)
                                             : RYX_W_UNSUPPORTED_CARD;
            if (!summary.problem.empty()) {
                Add(Problem(check, atrText, "clean the card's contacts, or try another card",
                            "the card in slot " + std::to_string(slot) + " sends a malformed ATR"));
                ++failed;
            } else if (status != 0) {
                Add(Problem(check, atrText + "; protocol selection failed: " + DescribeStatus(status),
                            "try another card; the reader cannot use this one"));
                ++failed;
            } else {
                Add(Ok(check, atrText + ", " + (active == RYX_PROTOCOL_T1 ? "T=1" : "T=0") + " selected"));
            }
            RYX_PowerOffIcc(handle, slot);
        }
        if (cards == 0) {
            Add(Problem("slots", "no card in any slot", "insert a card and run the check again",
                        "the reader works, but there is no card in any slot"));
        } else if (failed == 0) {
            Add(Ok("slots",
                   std::to_string(cards) + " card" + (cards == 1 ? "" : "s") + " powered on and took a protocol"));
        }
    }

    std::string port_;
    bool json_;
    std::FILE* out_;
    Diagnosis diagnosis_;
    std::optional<std::string> firmware_;  // the version text the raw line check received
};

}  // namespace

int RunDiagnosis(const std::string& port, bool json, std::FILE* out) {
    DiagnosisRun run(port, json, out);
    return run.Run();
}

}  // namespace ryx_test
