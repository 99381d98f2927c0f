// A card description and the APDUs sent to the card it describes. The input is the description's text up to the
// first NUL byte, then APDUs, each a length byte and that many bytes. A description that cannot be used must be
// refused with an error; a card must answer every APDU with at least SW1 SW2.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "sim/card/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = all.find('\0');
    const std::string_view text = all.substr(0, nul);
    std::string error;
    auto description = ryx::sim::card::ParseDescription(text, "fuzz.toml", "", &error);
    if (!description) {
        if (error.rfind("fuzz.toml", 0) != 0) std::abort();  // every refusal names its source
        return 0;
    }
    ryx::sim::card::CardEngine card(std::move(*description));
    card.Reset();
    if (nul == std::string_view::npos) return 0;
    ryx::fuzz::FuzzInput in(data + nul + 1, size - nul - 1);
    while (in.Left() > 0) {
        const auto apdu = in.Take(in.Byte());
        if (card.Process(apdu).size() < 2) std::abort();
        if (in.Left() % 7 == 0) card.Reset();
    }
    (void)card.Changes();
    return 0;
}
