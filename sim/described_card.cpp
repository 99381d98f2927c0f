#include "sim/described_card.h"

namespace ryx::sim {

bool DescribedCard::PowerOn() {
    std::lock_guard lock(mu_);
    engine_.Reset();
    return true;
}

std::vector<std::uint8_t> DescribedCard::Process(std::span<const std::uint8_t> apdu) {
    std::lock_guard lock(mu_);
    return engine_.Process(apdu);
}

std::vector<std::string> DescribedCard::Changes() const {
    std::lock_guard lock(mu_);
    return engine_.Changes();
}

std::optional<SlotCard> LoadCardFile(const std::string& path, std::string* error) {
    auto description = card::LoadDescription(path, error);
    if (!description) return std::nullopt;
    auto logic = std::make_shared<DescribedCard>(std::move(*description));
    return SlotCard{true, logic->Atr(), false, logic};
}

}  // namespace ryx::sim
