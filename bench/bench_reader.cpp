#include "bench_reader.h"

#include <cstdio>
#include <stdexcept>
#include <string>

#include "bench_card.h"

namespace ryx::bench {
namespace {

std::runtime_error Failure(const char* step, std::uint32_t status) {
    char text[96];
    std::snprintf(text, sizeof text, "%s: 0x%08X", step, static_cast<unsigned>(status));
    return std::runtime_error(text);
}

}  // namespace

BenchReader::BenchReader(sim::Config config) {
    for (auto& card : config.cards) card = sim::SlotCard::BuiltIn();
    sim_ = std::make_unique<sim::Simulator>(std::move(config));
    if (!sim_->Start()) throw std::runtime_error("the simulator does not start");
    sim_->SetApduHandler([](std::uint8_t, std::span<const std::uint8_t> apdu) { return BenchCardResponse(apdu); });
    floor_ = std::make_unique<FloorClient>(sim_->SlavePath());
    if (const std::uint32_t status = RYX_OpenA(sim_->SlavePath().c_str(), &handle_); status != RYX_SUCCESS) {
        throw Failure("RYX_OpenA", status);
    }
    std::uint8_t atr[64];
    std::uint32_t atrLength = sizeof atr;
    if (const std::uint32_t status = RYX_PowerOnIcc(handle_, 0, atr, &atrLength); status != RYX_SUCCESS) {
        RYX_Close(handle_);
        throw Failure("RYX_PowerOnIcc", status);
    }
    sim_->ClearRecords();
}

BenchReader::~BenchReader() {
    if (handle_ != nullptr) RYX_Close(handle_);
    sim_->Stop();
}

bool BenchReader::LibraryExchange(std::span<const std::uint8_t> command, std::span<std::uint8_t> response,
                                  std::size_t expectedLength) {
    auto length = static_cast<std::uint32_t>(response.size());
    const std::uint32_t status = RYX_ExchangeApdu(handle_, 0, command.data(),
                                                  static_cast<std::uint32_t>(command.size()), response.data(), &length);
    return status == RYX_SUCCESS && length == expectedLength;
}

bool BenchReader::FloorExchange(const std::vector<Frame>& frames, std::span<std::uint8_t> response,
                                std::size_t expectedLength) {
    // The empty blocks are numbered on from the prepared ones; the reader answers any number.
    const auto next = static_cast<std::uint8_t>(floorSeq_ + frames.size());
    const long length = floor_->ExchangeApdu(frames, 0, next, response);
    return length >= 0 && static_cast<std::size_t>(length) == expectedLength;
}

std::vector<Frame> BenchReader::FloorFrames(std::span<const std::uint8_t> command) {
    return XfrCommandFrames(command, sim_->BlockSize(), 0, floorSeq_);
}

std::size_t BenchReader::LineBytes() const {
    std::size_t bytes = 0;
    for (const auto& frame : sim_->ReceivedFrames()) bytes += frame.bytes.size();
    for (const auto& frame : sim_->SentFrames()) bytes += frame.bytes.size();
    return bytes;
}

}  // namespace ryx::bench
