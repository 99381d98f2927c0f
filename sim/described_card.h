// A card from a description file in a slot of the simulated reader: the card engine behind the reader's card
// interface, with a lock so that the control socket can read its changes while the reader works.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "sim/card/engine.h"
#include "sim/config.h"

namespace ryx::sim {

class DescribedCard : public CardLogic {
public:
    explicit DescribedCard(card::Description description) : engine_(std::move(description)) {}
    bool PowerOn() override;
    std::vector<std::uint8_t> Process(std::span<const std::uint8_t> apdu) override;
    std::vector<std::string> Changes() const override;
    std::vector<std::uint8_t> Atr() const { return engine_.Atr(); }

private:
    mutable std::mutex mu_;
    card::CardEngine engine_;
};

// Loads the description at `path` as a slot's card (present, its ATR). nullopt with "PATH:LINE: what is wrong" in
// *error.
[[nodiscard]] std::optional<SlotCard> LoadCardFile(const std::string& path, std::string* error);

}  // namespace ryx::sim
