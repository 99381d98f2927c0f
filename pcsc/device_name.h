// The DEVICENAME of a reader.conf entry: the serial device's path, optionally followed by ":option,option,...".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ryx::pcsc {

// What the options after the path switch on.
struct DriverOptions {
    // Pass reader escape commands from PC/SC clients (IFDHControl) to the reader. Off by default: any local
    // PC/SC client could otherwise send arbitrary commands to the reader.
    bool escape = false;
};

struct DeviceName {
    std::string path;
    DriverOptions options;
};

/**
 * Splits a DEVICENAME into the device path and the driver options. Pure.
 *
 * The options are the text after the last ':' (device paths such as /dev/serial/by-path/... contain colons of their
 * own, so the caller first tries the whole name as a path, see ChooseDeviceName). Known options: "escape".
 * @param name  the DEVICENAME as pcscd passes it.
 * @param error when not null, receives a one-line reason on failure.
 * @return the path and options; nullopt for an empty path, an empty option or an unknown option.
 */
[[nodiscard]] std::optional<DeviceName> ParseDeviceName(std::string_view name, std::string* error = nullptr);

/**
 * The DEVICENAME as given when it names an existing file (a path with colons of its own and no options),
 * otherwise ParseDeviceName(name). Looks at the file system.
 */
[[nodiscard]] std::optional<DeviceName> ChooseDeviceName(std::string_view name, std::string* error = nullptr);

}  // namespace ryx::pcsc
