#include "names.h"

#include <array>
#include <cstddef>

namespace ryx_test {

namespace {

constexpr const char* kUnknown = "Unknown";

// Indexed with the value as unsigned, so a negative value read from the console counts as out of range.
template <std::size_t N>
const char* Lookup(const std::array<const char*, N>& table, uint32_t value) {
    return value < table.size() ? table[value] : kUnknown;
}

}  // namespace

const char* ProtocolName(uint32_t activeProtocol) {
    static constexpr std::array<const char*, 3> kNames = {kUnknown, "T=0", "T=1"};
    return Lookup(kNames, activeProtocol);
}

const char* IccStatusName(uint32_t iccStatus) {
    static constexpr std::array<const char*, 4> kNames = {kUnknown, "Absent", "Present", "Powered"};
    return Lookup(kNames, iccStatus);
}

}  // namespace ryx_test
