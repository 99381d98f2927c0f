// Simulated readers on ptys, opened through the driver's IFDH functions the way pcscd opens them: one channel per
// slot, Lun 0xRRRRSSSS. Every channel opened is closed at the end of the test, before its simulator stops.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "pcsc/pcsc_headers.h"
#include "sim/simulator.h"

namespace ryx::pcsctest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

inline const Bytes kBuiltInAtr = B({0x3B, 0x16, 0x96, 0x52, 0x59, 0x58, 0x53, 0x49, 0x4D});

// Message types of the reader's protocol, as the simulator records them.
inline constexpr std::uint8_t kIccPowerOn = 0x62;
inline constexpr std::uint8_t kIccPowerOff = 0x63;
inline constexpr std::uint8_t kGetSlotStatus = 0x65;
inline constexpr std::uint8_t kEscape = 0x6B;
inline constexpr std::uint8_t kXfrBlock = 0x6F;

constexpr DWORD Lun(std::uint32_t reader, std::uint32_t slot) {
    return (DWORD{reader} << 16) | slot;
}

// A command as the reader took it: message type and slot.
struct Command {
    std::uint8_t type;
    std::uint8_t slot;
    bool operator==(const Command&) const = default;
};

class DriverTest : public ::testing::Test {
protected:
    // Starts a simulator and opens a channel for each of its slots as reader `reader`, DEVICENAME its pty path
    // followed by `suffix` (e.g. ":escape").
    sim::Simulator& StartReader(sim::Config config = {}, std::uint32_t reader = 0, const std::string& suffix = "") {
        sims_.push_back(std::make_unique<sim::Simulator>(std::move(config)));
        sim::Simulator& sim = *sims_.back();
        EXPECT_TRUE(sim.Start());
        std::string name = sim.SlavePath() + suffix;
        for (std::uint32_t slot = 0; slot < sim.SlotCount(); ++slot) {
            EXPECT_EQ(OpenChannel(Lun(reader, slot), name), IFD_SUCCESS) << "slot " << slot;
        }
        sim.ClearRecords();
        return sim;
    }
    // IFDHCreateChannelByName; a successful channel is closed in TearDown.
    RESPONSECODE OpenChannel(DWORD lun, const std::string& name) {
        std::string copy = name;
        const RESPONSECODE rc = IFDHCreateChannelByName(lun, copy.data());
        if (rc == IFD_SUCCESS) open_.push_back(lun);
        return rc;
    }
    // IFDHCloseChannel of a channel opened through OpenChannel.
    RESPONSECODE CloseChannel(DWORD lun) {
        std::erase(open_, lun);
        return IFDHCloseChannel(lun);
    }
    void TearDown() override {
        while (!open_.empty()) {
            EXPECT_EQ(IFDHCloseChannel(open_.back()), IFD_SUCCESS);
            open_.pop_back();
        }
        sims_.clear();
    }

    // IFD_POWER_UP (or another action) with a pcscd-sized ATR buffer; the ATR on success.
    RESPONSECODE Power(DWORD lun, DWORD action, Bytes* atr = nullptr) {
        UCHAR buffer[MAX_ATR_SIZE] = {};
        DWORD length = MAX_ATR_SIZE;
        const RESPONSECODE rc = IFDHPowerICC(lun, action, buffer, &length);
        if (atr != nullptr) atr->assign(buffer, buffer + length);
        return rc;
    }
    // One APDU through IFDHTransmitToICC with a response buffer of rxSize bytes.
    RESPONSECODE Transmit(DWORD lun, Bytes command, Bytes& response, DWORD rxSize = MAX_BUFFER_SIZE_EXTENDED) {
        response.assign(rxSize, 0);
        SCARD_IO_HEADER send{SCARD_PROTOCOL_T0, 0};
        SCARD_IO_HEADER recv{0, 0};
        DWORD length = rxSize;
        const RESPONSECODE rc =
            IFDHTransmitToICC(lun, send, command.data(), command.size(), response.data(), &length, &recv);
        response.resize(length);
        return rc;
    }
    // The ATR the driver reports for a tag.
    Bytes CachedAtr(DWORD lun, DWORD tag = TAG_IFD_ATR) {
        UCHAR buffer[64] = {};
        DWORD length = sizeof buffer;
        EXPECT_EQ(IFDHGetCapabilities(lun, tag, &length, buffer), IFD_SUCCESS);
        return Bytes(buffer, buffer + length);
    }
    // The commands a simulator took since its last ClearRecords().
    static std::vector<Command> Commands(const sim::Simulator& sim) {
        std::vector<Command> out;
        for (const auto& f : sim.ReceivedFrames()) {
            if (f.kind == sim::FrameRecord::Kind::kCommand && f.header && !f.droppedSpeedMismatch && !f.refused &&
                !f.ignoredSilent) {
                out.push_back({f.header->type, f.header->slot});
            }
        }
        return out;
    }

    std::vector<std::unique_ptr<sim::Simulator>> sims_;
    std::vector<DWORD> open_;
};

}  // namespace ryx::pcsctest
