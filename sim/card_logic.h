// A card that is not the built-in one: a card description's engine, or a card program at the end of a socket. The
// reader calls it on its own thread, one call at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ryx::sim {

class CardLogic {
public:
    virtual ~CardLogic() = default;
    // Power-on, or a warm reset of a powered card. False when the card does not answer: the slot reports it mute.
    [[nodiscard]] virtual bool PowerOn() = 0;
    virtual void PowerOff() {}
    // One whole command APDU in, its response (data, SW1 SW2) out. Empty when the card fell silent: the slot then
    // reports it mute until it is inserted again.
    [[nodiscard]] virtual std::vector<std::uint8_t> Process(std::span<const std::uint8_t> apdu) = 0;
    // What the card changed since it was inserted, one line each, for the control socket's status. May be called
    // from any thread.
    [[nodiscard]] virtual std::vector<std::string> Changes() const { return {}; }
};

}  // namespace ryx::sim
