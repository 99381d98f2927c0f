// Opening a reader (the rate scan and the model test), and closing it, against the simulated reader.
#include <dirent.h>

#include <string>

#include "api/reader_context.h"
#include "api/registry.h"
#include "reader_fixture.h"

namespace ryx::test {
namespace {

int OpenFileDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

const ReaderContext& Context(RYX_HANDLE handle) {
    return *RegistryFind(handle);
}

class OpenTest : public ReaderTest {
protected:
    // Starts a reader whose line is left at `rate`, then asks the opened handle its rate.
    void ExpectFoundAtItsRate(std::uint32_t rate) {
        sim::Config config;
        config.rate = rate;
        StartReader(config);
        std::uint32_t found = 0;
        ASSERT_EQ(RYX_GetBaudRate(handle_, &found), RYX_SUCCESS);
        EXPECT_EQ(found, rate);
    }
};

TEST_F(OpenTest, FindsAKT4470RSAtTheFirstRateWithOneMessage) {
    StartReader();
    std::uint32_t slots = 0;
    ASSERT_EQ(RYX_GetNumSlots(handle_, &slots), RYX_SUCCESS);
    EXPECT_EQ(slots, 2u);
    LinkTimeouts t{};
    ASSERT_EQ(RYX_GetTimeouts(handle_, &t), RYX_SUCCESS);
    EXPECT_EQ(t.statusTimeout, 2000u);
    EXPECT_EQ(t.statusRetries, 1u);
    EXPECT_EQ(t.responseTimeout, 10000u);
    EXPECT_EQ(t.responseRetries, 1u);
    std::uint32_t rate = 0;
    ASSERT_EQ(RYX_GetBaudRate(handle_, &rate), RYX_SUCCESS);
    EXPECT_EQ(rate, 9600u);
    EXPECT_EQ(Context(handle_).link.maxBlockSize, 261u);

    // The firmware-version escape, addressed to slot 0, is the only message of the open.
    const auto frames = Commands();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, Bytes({0x02, 0x6B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x00,
                                      0x00, 0x18, 0x00, 0x6B ^ 0x05 ^ 0xE0 ^ 0x18, 0x03}));
    EXPECT_EQ(Context(handle_).link.sequence, 1);
}

struct ModelCase {
    sim::Model model;
    const char* firmware;  // nullptr: the model's own text
    std::uint32_t slots;
    std::uint32_t blockSize;
    SlotDescriptor slot0;
    SlotDescriptor lastSlot;
};

class ModelTest : public ReaderTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelTest, TheFirmwareTextDecidesSlotsBlockSizeAndDescriptors) {
    const ModelCase& c = GetParam();
    sim::Config config;
    config.model = c.model;
    if (c.firmware != nullptr) config.firmware = c.firmware;
    StartReader(config);
    const ReaderContext& reader = Context(handle_);
    ASSERT_EQ(reader.slotCount, c.slots);
    EXPECT_EQ(reader.link.maxBlockSize, c.blockSize);
    auto same = [](const SlotDescriptor& a, const SlotDescriptor& b) {
        return a.protocols == b.protocols && a.cardMode == b.cardMode && a.defaultClock == b.defaultClock &&
               a.maxClock == b.maxClock && a.defaultDataRate == b.defaultDataRate && a.maxDataRate == b.maxDataRate &&
               a.maxIfsd == b.maxIfsd;
    };
    EXPECT_TRUE(same(reader.slots[0].descriptor, c.slot0));
    EXPECT_TRUE(same(reader.slots[c.slots - 1].descriptor, c.lastSlot));
}

// The descriptors the models report: slot 0 of each, and the last slots that differ from it.
constexpr SlotDescriptor kSetASlot0{3, 0, 4000, 4000, 10752, 344100, 512};
constexpr SlotDescriptor kSetASlot1{3, 0, 4000, 4000, 10752, 344100, 254};
constexpr SlotDescriptor kSetASlot2{3, 0, 4000, 4000, 10752, 125000, 254};
constexpr SlotDescriptor kSetBSlot0{3, 0, 5000, 13560, 105938, 847500, 506};
constexpr SlotDescriptor kSetBSlot2{3, 0, 5000, 5000, 13441, 625000, 506};

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTest,
    ::testing::Values(ModelCase{sim::Model::KT4470RS, nullptr, 2, 261, kSetASlot0, kSetASlot1},
                      ModelCase{sim::Model::KT4470RS_V3, nullptr, 3, 261, kSetASlot0, kSetASlot2},
                      ModelCase{sim::Model::KT6630RS, nullptr, 3, 506, kSetBSlot0, kSetBSlot2},
                      // Exactly 11 bytes compared, no terminator: the bare name (a 16-byte reply) is a V3 ...
                      ModelCase{sim::Model::KT4470RS, "KT4470RS_V3", 3, 261, kSetASlot0, kSetASlot2},
                      // ... and a text that starts with KT4470RS but not KT4470RS_V3 is a 2-slot reader.
                      ModelCase{sim::Model::KT4470RS_V3, "KT4470RS_V2 9.9", 2, 261, kSetASlot0, kSetASlot1},
                      // 13 bytes are enough for the 8-byte names.
                      ModelCase{sim::Model::KT4470RS, "KT6630RS", 3, 506, kSetBSlot0, kSetBSlot2}));

TEST_F(OpenTest, AReaderLeftAt115200IsFoundAtTheFifthRate) {
    ExpectFoundAtItsRate(115200);
    if (HasFatalFailure()) return;
    // Each earlier rate was tried with the detection-time settings: two command attempts, never understood.
    int dropped = 0;
    for (const auto& f : sim_->ReceivedFrames()) dropped += f.droppedSpeedMismatch ? 1 : 0;
    EXPECT_EQ(dropped, 4 * 2);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].hostSpeed, 115200u);
}

TEST_F(OpenTest, AReaderAt500000NeedsTheWholeScan) {
    ExpectFoundAtItsRate(500000);
}

TEST_F(OpenTest, AnUnknownModelFailsAfterAllTenRatesAndClosesThePort) {
    // A 7-character text makes a 12-byte reply: too short for every model.
    sim::Config config;
    config.firmware = "KT4470R";
    sim_ = std::make_unique<sim::Simulator>(config);
    ASSERT_TRUE(sim_->Start());
    const int fds = OpenFileDescriptors();
    RYX_HANDLE handle = reinterpret_cast<RYX_HANDLE>(0x55);
    EXPECT_EQ(RYX_OpenA(sim_->SlavePath().c_str(), &handle), RYX_ERROR_GEN_FAILURE);
    EXPECT_EQ(handle, reinterpret_cast<RYX_HANDLE>(0x55));
    EXPECT_EQ(OpenFileDescriptors(), fds);
    // Answered at 9600 only, yet every other rate was tried too, twice each.
    int answered = 0, dropped = 0;
    for (const auto& f : sim_->ReceivedFrames()) (f.droppedSpeedMismatch ? dropped : answered)++;
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(dropped, 9 * 2);

    // The port was closed: with a known model the same port opens at once.
    sim_->SetFirmware("KT4470RS 1.07");
    ASSERT_EQ(RYX_OpenA(sim_->SlavePath().c_str(), &handle_), RYX_SUCCESS);
}

TEST_F(OpenTest, PortErrorsAreReportedAndLeaveNothingOpen) {
    const int fds = OpenFileDescriptors();
    RYX_HANDLE handle = nullptr;
    EXPECT_EQ(RYX_OpenA("/dev/ryx-no-such-port", &handle), RYX_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RYX_OpenA("/proc/self/status", &handle), RYX_ERROR_INVALID_PARAMETER);  // not a serial device
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(OpenFileDescriptors(), fds);
}

TEST_F(OpenTest, ASecondOpenOfAnOpenPortIsRefused) {
    StartReader();
    RYX_HANDLE second = nullptr;
    EXPECT_EQ(RYX_OpenA(sim_->SlavePath().c_str(), &second), RYX_ERROR_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
}

TEST_F(OpenTest, OpenWTakesUtf16AndRefusesAnUnpairedSurrogate) {
    sim_ = std::make_unique<sim::Simulator>();
    ASSERT_TRUE(sim_->Start());
    std::u16string name(sim_->SlavePath().begin(), sim_->SlavePath().end());
    ASSERT_EQ(RYX_OpenW(name.c_str(), &handle_), RYX_SUCCESS);
    std::uint32_t slots = 0;
    EXPECT_EQ(RYX_GetNumSlots(handle_, &slots), RYX_SUCCESS);
    EXPECT_EQ(slots, 2u);

    sim_->ClearRecords();
    const char16_t broken[] = {u'/', u'd', u'e', u'v', u'/', 0xD800, u'x', 0};
    RYX_HANDLE other = nullptr;
    EXPECT_EQ(RYX_OpenW(broken, &other), RYX_ERROR_INVALID_NAME);
    EXPECT_EQ(other, nullptr);
}

TEST_F(OpenTest, CloseTurnsEverySlotOffAndInvalidatesTheHandle) {
    StartReader();
    sim_->ClearRecords();
    ASSERT_EQ(RYX_Close(handle_), RYX_SUCCESS);
    const auto frames = Commands();
    ASSERT_EQ(frames.size(), 2u);
    for (std::size_t slot = 0; slot < 2; ++slot) {
        ASSERT_TRUE(frames[slot].header.has_value());
        EXPECT_EQ(frames[slot].header->type, 0x63);
        EXPECT_EQ(frames[slot].header->slot, slot);
    }
    EXPECT_EQ(RYX_Close(handle_), RYX_ERROR_INVALID_HANDLE);
    std::uint32_t slots = 0;
    EXPECT_EQ(RYX_GetNumSlots(handle_, &slots), RYX_ERROR_INVALID_HANDLE);
    handle_ = nullptr;
}

TEST_F(OpenTest, CloseSucceedsWithTheReaderSwitchedOff) {
    StartReader();
    UseShortTimeouts();
    sim_->SetSilent(true);
    EXPECT_EQ(RYX_Close(handle_), RYX_SUCCESS);
    EXPECT_EQ(RYX_Close(handle_), RYX_ERROR_INVALID_HANDLE);
    handle_ = nullptr;
}

}  // namespace
}  // namespace ryx::test
