// One simulated reader in this process, with the floor client and the library both on its pty and the card in
// slot 0 powered: the rig every exchange benchmark runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <ryx.h>

#include "bench_card.h"
#include "chain_frames.h"
#include "floor_client.h"
#include "sim/simulator.h"

namespace ryx::bench {

class BenchReader {
public:
    // Starts a simulator with config and the benchmark card in every slot, opens the floor client and then the
    // library on its pty, and powers the card in slot 0 on. Throws std::runtime_error naming the step that failed
    // (and its status code).
    explicit BenchReader(sim::Config config = {});
    // Closes the library's handle and stops the simulator.
    ~BenchReader();
    BenchReader(const BenchReader&) = delete;
    BenchReader& operator=(const BenchReader&) = delete;

    [[nodiscard]] sim::Simulator& Sim() { return *sim_; }
    [[nodiscard]] RYX_HANDLE Handle() const { return handle_; }
    [[nodiscard]] FloorClient& Floor() { return *floor_; }

    // RYX_ExchangeApdu on slot 0 with a response buffer of response.size() bytes. True when it returned 0 and a
    // response of expectedLength bytes.
    [[nodiscard]] bool LibraryExchange(std::span<const std::uint8_t> command, std::span<std::uint8_t> response,
                                       std::size_t expectedLength);
    // The floor carrying the prepared frames of one APDU (see FloorFrames). True for a response of expectedLength.
    [[nodiscard]] bool FloorExchange(const std::vector<Frame>& frames, std::span<std::uint8_t> response,
                                     std::size_t expectedLength);
    // The command frames the floor sends for command, cut at the reader's block size.
    [[nodiscard]] std::vector<Frame> FloorFrames(std::span<const std::uint8_t> command);

    // Every byte that crossed the line in either direction since the simulator's records were last cleared.
    [[nodiscard]] std::size_t LineBytes() const;

private:
    std::unique_ptr<sim::Simulator> sim_;
    std::unique_ptr<FloorClient> floor_;
    RYX_HANDLE handle_ = nullptr;
    std::uint8_t floorSeq_ = 0;
};

// The response buffer size the console program hands the library for every APDU.
inline constexpr std::size_t kResponseBufferSize = 65538;

// The short exchange (a kShortCommandLength command, answered with 90 00) on a reader, through the library or
// through the floor, with its command, frames and response buffer made once.
class ShortExchangePair {
public:
    explicit ShortExchangePair(BenchReader& reader)
        : reader_(reader),
          command_(BenchCommand(kShortCommandLength)),
          frames_(reader.FloorFrames(command_)),
          response_(kResponseBufferSize) {}

    [[nodiscard]] bool Library() { return reader_.LibraryExchange(command_, response_, 2); }
    [[nodiscard]] bool Floor() { return reader_.FloorExchange(frames_, response_, 2); }

private:
    BenchReader& reader_;
    std::vector<std::uint8_t> command_;
    std::vector<Frame> frames_;
    std::vector<std::uint8_t> response_;
};

}  // namespace ryx::bench
