#include "sim/simulator.h"

#include "sim/pty_termios.h"
#include "sim/simulator_state.h"

namespace ryx::sim {

Simulator::Simulator(Config config) : state_(std::make_unique<State>(std::move(config))) {}

Simulator::~Simulator() {
    Stop();
}

void Simulator::InsertCard(std::size_t slot, std::span<const std::uint8_t> atr) {
    std::lock_guard lock(state_->mu);
    state_->device.InsertCard(slot, atr);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::InsertCard(std::size_t slot, SlotCard card) {
    std::lock_guard lock(state_->mu);
    state_->device.InsertCard(slot, std::move(card));
}

bool Simulator::SetAtr(std::size_t slot, std::span<const std::uint8_t> atr) {
    std::lock_guard lock(state_->mu);
    state_->lastTaken.reset();
    return state_->device.SetAtr(slot, atr);
}

SlotCard Simulator::Card(std::size_t slot) const {
    std::lock_guard lock(state_->mu);
    return state_->device.Card(slot);
}

void Simulator::RemoveCard(std::size_t slot) {
    std::lock_guard lock(state_->mu);
    state_->device.RemoveCard(slot);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetMute(std::size_t slot, bool mute) {
    std::lock_guard lock(state_->mu);
    state_->device.SetMute(slot, mute);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetApduHandler(ApduHandler handler) {
    std::lock_guard lock(state_->mu);
    state_->device.SetExecutor(std::move(handler));
}

bool Simulator::Powered(std::size_t slot) const {
    std::lock_guard lock(state_->mu);
    return state_->device.Powered(slot);
}

std::uint8_t Simulator::IccStatus(std::size_t slot) const {
    std::lock_guard lock(state_->mu);
    return state_->device.IccStatus(slot);
}

Model Simulator::GetModel() const {
    std::lock_guard lock(state_->mu);
    return state_->device.model();
}

void Simulator::SetModel(Model model) {
    std::lock_guard lock(state_->mu);
    state_->device.SetModel(model);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetFirmware(std::string text) {
    std::lock_guard lock(state_->mu);
    state_->device.SetFirmware(std::move(text));
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetRate(std::uint32_t rate) {
    std::lock_guard lock(state_->mu);
    state_->config.rate = rate;  // also the speed it comes back at after Replug()
    state_->device.SetRate(rate);
}

void Simulator::SetBlockSize(std::uint32_t size) {
    std::lock_guard lock(state_->mu);
    state_->device.SetBlockSize(size);
    state_->lastTaken.reset();  // the reader answers what follows from its state as it is now
}

void Simulator::SetSilent(bool silent) {
    std::lock_guard lock(state_->mu);
    state_->silent = silent;
}

void Simulator::SetWireTime(bool on) {
    std::lock_guard lock(state_->mu);
    state_->wireTime = on;
}

std::uint32_t Simulator::Rate() const {
    std::lock_guard lock(state_->mu);
    return state_->device.Rate();
}

std::uint32_t Simulator::BlockSize() const {
    std::lock_guard lock(state_->mu);
    return state_->device.BlockSize();
}

std::size_t Simulator::SlotCount() const {
    std::lock_guard lock(state_->mu);
    return state_->device.SlotCount();
}

std::uint32_t Simulator::HostSpeed() const {
    // Under the lock: Stop() and a vanishing reader close the master under it.
    std::lock_guard lock(state_->mu);
    return state_->master >= 0 ? ReadSpeed(state_->master) : 0;
}

void Simulator::QueueFault(const Fault& fault) {
    std::lock_guard lock(state_->mu);
    state_->faults.Queue(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard lock(state_->mu);
    state_->faults.Clear();
}

std::size_t Simulator::PendingFaults() const {
    std::lock_guard lock(state_->mu);
    return state_->faults.Pending();
}

void Simulator::SetChaos(double rate, std::uint64_t seed, std::vector<FaultKind> kinds) {
    std::lock_guard lock(state_->mu);
    state_->faults.SetChaos(rate, seed, std::move(kinds));
}

FaultCounters Simulator::FaultsInjected() const {
    std::lock_guard lock(state_->mu);
    return state_->faults.Counters();
}

std::vector<FrameRecord> Simulator::ReceivedFrames() const {
    std::lock_guard lock(state_->mu);
    return state_->received;
}

std::vector<FrameRecord> Simulator::SentFrames() const {
    std::lock_guard lock(state_->mu);
    return state_->sent;
}

std::vector<SetParametersRecord> Simulator::SetParametersMessages() const {
    std::lock_guard lock(state_->mu);
    return state_->setParameters;
}

bool Simulator::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->received.size() >= count; });
}

bool Simulator::WaitForSentFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->sent.size() >= count; });
}

void Simulator::ClearRecords() {
    std::lock_guard lock(state_->mu);
    state_->received.clear();
    state_->sent.clear();
    state_->setParameters.clear();
}

}  // namespace ryx::sim
