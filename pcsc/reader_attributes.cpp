// The attribute table and the PC/SC part 10 structures. Byte orders: the feature list carries each control code
// big-endian, the TLV properties carry their numbers little-endian, and DWORD attributes are unsigned 32-bit numbers
// in the host's order: pcscd hands the bytes to the client unchanged, and PC/SC clients and the other drivers take
// an attribute DWORD as 4 bytes even where pcsc-lite's own DWORD type is 8 (64-bit Linux).
#include "pcsc/reader_attributes.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace ryx::pcsc {

namespace {

constexpr std::string_view kVendor = "ryx";
constexpr std::uint32_t kSerialChannel = 0x0001;
constexpr std::uint8_t kTagFirmwareId = PCSCv2_PART10_PROPERTY_sFirmwareID;
constexpr std::uint8_t kTagMaxApduDataSize = PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize;

std::vector<std::uint8_t> Text(std::string_view text) {
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Dword(std::uint32_t value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// Reads decimal digits at text[pos...]; nullopt when there are none.
std::optional<std::uint32_t> Number(std::string_view text, std::size_t& pos) {
    std::uint32_t n = 0;
    const std::size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0 && n < 0x10000000u) {
        n = n * 10 + static_cast<std::uint32_t>(text[pos] - '0');
        ++pos;
    }
    if (pos == start) return std::nullopt;
    return n;
}

}  // namespace

std::string ModelOf(std::string_view firmware) {
    return std::string(firmware.substr(0, firmware.find(' ')));
}

std::uint32_t FirmwareVersion(std::string_view firmware) {
    const std::size_t space = firmware.find(' ');
    if (space == std::string_view::npos) return 0;
    for (std::size_t pos = space + 1; pos < firmware.size(); ++pos) {
        if (std::isdigit(static_cast<unsigned char>(firmware[pos])) == 0) continue;
        const auto major = Number(firmware, pos);
        if (pos >= firmware.size() || firmware[pos] != '.') continue;
        ++pos;
        const auto minor = Number(firmware, pos);
        if (!minor) continue;
        std::uint32_t build = 0;
        if (pos < firmware.size() && firmware[pos] == '.') {
            ++pos;
            build = Number(firmware, pos).value_or(0);
        }
        return ((*major & 0xFFu) << 24) | ((*minor & 0xFFu) << 16) | (build & 0xFFFFu);
    }
    return 0;
}

std::uint32_t ChannelId(std::string_view devicePath) {
    std::size_t start = devicePath.size();
    while (start > 0 && std::isdigit(static_cast<unsigned char>(devicePath[start - 1])) != 0) --start;
    std::size_t pos = start;
    const std::uint32_t number = Number(devicePath, pos).value_or(0);
    return (kSerialChannel << 16) | (number & 0xFFFFu);
}

std::optional<std::vector<std::uint8_t>> AttributeValue(DWORD tag, const ReaderFacts& reader, const SlotFacts& slot) {
    switch (tag) {
        case SCARD_ATTR_VENDOR_NAME:
            return Text(kVendor);
        case SCARD_ATTR_VENDOR_IFD_TYPE:
            return Text(ModelOf(reader.firmware));
        case SCARD_ATTR_VENDOR_IFD_VERSION:
            return Dword(FirmwareVersion(reader.firmware));
        case SCARD_ATTR_CHANNEL_ID:
            return Dword(ChannelId(reader.devicePath));
        case SCARD_ATTR_MAXINPUT:
            return Dword(kMaxCommandApdu);
        case SCARD_ATTR_ICC_PRESENCE:
            return std::vector<std::uint8_t>{slot.cardPresent ? std::uint8_t{2} : std::uint8_t{0}};
        case SCARD_ATTR_ICC_INTERFACE_STATUS:
            return std::vector<std::uint8_t>{slot.cardPowered ? std::uint8_t{1} : std::uint8_t{0}};
        case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
            return Dword(static_cast<std::uint32_t>(slot.protocol));
        default:
            return std::nullopt;
    }
}

std::vector<std::uint8_t> FeatureList() {
    const std::uint32_t code = static_cast<std::uint32_t>(kTlvPropertiesControlCode);
    return {FEATURE_GET_TLV_PROPERTIES,
            4,
            static_cast<std::uint8_t>(code >> 24),
            static_cast<std::uint8_t>(code >> 16),
            static_cast<std::uint8_t>(code >> 8),
            static_cast<std::uint8_t>(code)};
}

std::vector<std::uint8_t> TlvProperties(const ReaderFacts& reader) {
    const std::string_view firmware = std::string_view(reader.firmware).substr(0, 255);
    std::vector<std::uint8_t> out(2 + firmware.size());
    out[0] = kTagFirmwareId;
    out[1] = static_cast<std::uint8_t>(firmware.size());
    std::copy(firmware.begin(), firmware.end(), out.begin() + 2);
    out.push_back(kTagMaxApduDataSize);
    out.push_back(4);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(kMaxApduDataSize >> shift));
    return out;
}

}  // namespace ryx::pcsc
