// Answering a frame the reader takes: the status frame, the execution of the message, and the response frame, each
// as the frame's fault makes it.
#include <algorithm>

#include "sim/fault_effects.h"
#include "sim/frame.h"
#include "sim/pty_termios.h"
#include "sim/simulator_state.h"

namespace ryx::sim {

void Simulator::State::Answer(const FrameRecord& frame, const std::optional<Fault>& fault) {
    const FaultKind kind = fault ? fault->kind : FaultKind::kPass;
    if (kind == FaultKind::kVanish) {
        Vanish();
        return;
    }
    if (frame.kind == FrameRecord::Kind::kRepeatRequest) {
        AnswerRepeat(fault);
        return;
    }
    if (fault) {
        if (auto status = UntakenStatus(*fault)) {  // the frame is not taken
            if (kind != FaultKind::kNoStatus) SendStatus(*status, fault);
            return;
        }
    }
    const bool delayStatus = kind == FaultKind::kDelayStatus;
    if (delayStatus && !SleepFor(fault->delay)) return;
    Executed executed = frame.retransmission ? Resend() : Execute(frame, fault);
    if (!SendStatus(StatusFrame(0x00), delayStatus ? fault : std::nullopt)) return;
    if (executed.newRate) {
        // The confirmation goes out at the old speed, but the reader listens at the new one before the host can
        // have read it: a host that changes its port at once and sends must find the reader there.
        std::lock_guard lock(mu);
        device.SetRate(*executed.newRate);
    }
    SendResponse(std::move(executed.response), delayStatus ? std::nullopt : fault, executed.rate);
}

void Simulator::State::AnswerRepeat(const std::optional<Fault>& fault) {
    std::optional<std::vector<std::uint8_t>> again;
    std::uint32_t rate = 0;
    {
        std::lock_guard lock(mu);
        again = lastResponse;
        rate = device.Rate();
    }
    // Nothing to repeat yet: a reader has nothing to say.
    if (again) SendResponse(std::move(*again), fault, rate);
}

Simulator::State::Executed Simulator::State::Execute(const FrameRecord& frame, const std::optional<Fault>& fault) {
    const FaultKind kind = fault ? fault->kind : FaultKind::kPass;
    const auto message = std::span(frame.bytes).subspan(1, frame.bytes.size() - kFrameOverhead);
    std::lock_guard lock(mu);
    ReaderDevice::Outcome outcome;
    if (kind == FaultKind::kStatusError && (fault->bStatus & 0xC0) != 0) {
        // A failed command is not carried out.
        outcome.reply = device.StatusReply(message, fault->bStatus, fault->bError);
    } else if (kind == FaultKind::kRefuseSetParameters) {
        outcome = device.RefuseSetParameters(message);
    } else {
        outcome = device.Handle(message);
        if (kind == FaultKind::kStatusError) {
            outcome.reply[7] = fault->bStatus;
            outcome.reply[8] = fault->bError;
        }
    }
    if (kind == FaultKind::kWrongType) outcome.reply[0] ^= 0x01;
    if (kind == FaultKind::kWrongSlot) ++outcome.reply[5];
    if (kind == FaultKind::kWrongSequence) ++outcome.reply[6];
    if (outcome.setParameters) setParameters.push_back(std::move(*outcome.setParameters));
    Executed executed;
    executed.response = BuildFrame(outcome.reply);
    executed.newRate = outcome.newRate;
    executed.rate = device.Rate();
    lastResponse = executed.response;
    lastTaken = frame.bytes;
    return executed;
}

Simulator::State::Executed Simulator::State::Resend() {
    std::lock_guard lock(mu);
    Executed executed;
    executed.response = *lastResponse;
    executed.rate = device.Rate();
    return executed;
}

bool Simulator::State::SendStatus(std::span<const std::uint8_t> bytes, const std::optional<Fault>& fault) {
    // Recorded before it goes out, so that a host that has read it finds it in the records.
    FrameRecord record;
    record.kind = FrameRecord::Kind::kStatus;
    record.bytes.assign(bytes.begin(), bytes.end());
    if (fault) record.fault = fault->kind;
    {
        std::lock_guard lock(mu);
        record.readerRate = device.Rate();
    }
    record.hostSpeed = master >= 0 ? ReadSpeed(master) : 0;
    record.time = Clock::now();
    Record(std::move(record), true);
    return Write(bytes);
}

void Simulator::State::SendResponse(std::vector<std::uint8_t> frame, const std::optional<Fault>& fault,
                                    std::uint32_t rate) {
    const FaultKind kind = fault ? fault->kind : FaultKind::kPass;
    if (kind == FaultKind::kDamageResponse) {
        frame[std::min(fault->offset, frame.size() - 2)] ^= 0x01;
    } else if (kind == FaultKind::kTruncateResponse) {
        const std::size_t keep = fault->length != 0 ? std::min(fault->length, frame.size() - 1) : frame.size() / 2;
        frame.resize(std::max<std::size_t>(keep, 1));
    } else if (kind == FaultKind::kDelayResponse) {
        if (!SleepFor(fault->delay)) return;
    }
    FrameRecord record;
    record.kind = FrameRecord::Kind::kResponse;
    record.header = FrameHeader(frame);
    record.bytes = frame;
    if (fault) record.fault = fault->kind;
    record.readerRate = rate;
    record.hostSpeed = master >= 0 ? ReadSpeed(master) : 0;
    record.time = Clock::now();
    Record(std::move(record), true);
    if (kind == FaultKind::kChunkResponse && !fault->chunks.empty()) {
        std::size_t offset = 0;
        for (std::size_t i = 0; offset < frame.size(); ++i) {
            const std::size_t size =
                std::min(fault->chunks[std::min(i, fault->chunks.size() - 1)], frame.size() - offset);
            if (offset != 0 && !SleepFor(fault->gap)) return;
            if (!Write(std::span(frame).subspan(offset, size), rate)) return;
            offset += size;
        }
    } else {
        Write(frame, rate);
    }
}

}  // namespace ryx::sim
