// A card program in a slot, over the vpcd protocol: ryx_sim listens on a TCP port and one card program connects.
// Every message, both ways, is a 2-byte big-endian length and then the payload. From the reader: 1-byte controls
// (00 power off, 01 power on, 02 reset: no answer; 04 get ATR: answered with the ATR) and command APDUs (answered
// with data and SW1 SW2). While no program is connected the slot is empty; a disconnect takes the card out. A
// program that sends what was not asked for, a bad answer, or nothing within kVpcdAnswerTime makes the card mute
// until it connects again.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "sim/simulator.h"

namespace ryx::sim {

inline constexpr std::chrono::milliseconds kVpcdAnswerTime{5000};

class VpcdSlot {
public:
    VpcdSlot(Simulator& reader, std::size_t slot) : reader_(reader), slot_(slot) {}
    ~VpcdSlot();  // Stop()s
    VpcdSlot(const VpcdSlot&) = delete;
    VpcdSlot& operator=(const VpcdSlot&) = delete;

    // Listens at host:port (an IPv4 address) and serves connections on its own thread. False with a reason in *why.
    [[nodiscard]] bool Start(const std::string& host, std::uint16_t port, std::string* why);
    // Ends the thread, takes the card out and closes the sockets.
    void Stop();

private:
    void Serve();

    Simulator& reader_;
    std::size_t slot_;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread thread_;
};

}  // namespace ryx::sim
