// What the driver tells PC/SC clients about a reader and a slot: the attributes of SCardGetAttrib, the feature
// list of CM_IOCTL_GET_FEATURE_REQUEST and the TLV properties of FEATURE_GET_TLV_PROPERTIES. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pcsc/pcsc_headers.h"

namespace ryx::pcsc {

// The control code of FEATURE_GET_TLV_PROPERTIES, as the feature list gives it to clients.
inline constexpr DWORD kTlvPropertiesControlCode = SCARD_CTL_CODE(3600 + FEATURE_GET_TLV_PROPERTIES);
// The largest data field of a command or response APDU the driver passes (the library chains any length).
inline constexpr std::uint32_t kMaxApduDataSize = 65536;
// The longest command APDU: header, 3-byte Lc, 65,535 data bytes, 2-byte Le.
inline constexpr std::uint32_t kMaxCommandApdu = 4 + 3 + 65535 + 2;

// What is known of a reader from its opening.
struct ReaderFacts {
    std::string firmware;  // the firmware version text, as the reader sends it
    std::string devicePath;
};

// What is known of one slot at the time of the question.
struct SlotFacts {
    bool cardPresent = false;
    bool cardPowered = false;
    DWORD protocol = 0;  // SCARD_PROTOCOL_T0 or _T1 once selected
};

/** The model named by a firmware text (its first word, up to a space), e.g. "KT4470RS_V3". Pure. */
[[nodiscard]] std::string ModelOf(std::string_view firmware);

/**
 * The firmware version as 0xMMmmbbbb (major, minor, build) from the first "M.m" or "M.m.b" numbers after the model
 * in the firmware text; 0 when the text has none. Pure.
 */
[[nodiscard]] std::uint32_t FirmwareVersion(std::string_view firmware);

/** SCARD_ATTR_CHANNEL_ID: 0x0001CCCC (a serial line), CCCC the number that ends the device's name (else 0). Pure. */
[[nodiscard]] std::uint32_t ChannelId(std::string_view devicePath);

/** The bytes of a reader or slot attribute; nullopt for a tag the driver does not answer. Pure. */
[[nodiscard]] std::optional<std::vector<std::uint8_t>> AttributeValue(DWORD tag, const ReaderFacts& reader,
                                                                      const SlotFacts& slot);

/** The reply to CM_IOCTL_GET_FEATURE_REQUEST: one TLV, FEATURE_GET_TLV_PROPERTIES and its code, big-endian. */
[[nodiscard]] std::vector<std::uint8_t> FeatureList();

/** The reply to FEATURE_GET_TLV_PROPERTIES: the firmware text and dwMaxAPDUDataSize, values little-endian. */
[[nodiscard]] std::vector<std::uint8_t> TlvProperties(const ReaderFacts& reader);

}  // namespace ryx::pcsc
