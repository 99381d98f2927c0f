// Reading the driver options out of a reader.conf DEVICENAME.
#include "pcsc/device_name.h"

#include <sys/stat.h>

namespace ryx::pcsc {

namespace {

bool Fail(std::string* error, std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return false;
}

bool ApplyOption(std::string_view option, DriverOptions& options, std::string* error) {
    if (option == "escape") {
        options.escape = true;
        return true;
    }
    if (option.empty()) return Fail(error, "empty driver option");
    return Fail(error, "unknown driver option '" + std::string(option) + "' (known: escape)");
}

}  // namespace

std::optional<DeviceName> ParseDeviceName(std::string_view name, std::string* error) {
    DeviceName out;
    const std::size_t colon = name.rfind(':');
    out.path = std::string(name.substr(0, colon));
    if (out.path.empty()) {
        Fail(error, "no device path in '" + std::string(name) + "'");
        return std::nullopt;
    }
    if (colon == std::string_view::npos) return out;
    std::string_view rest = name.substr(colon + 1);
    for (;;) {
        const std::size_t comma = rest.find(',');
        if (!ApplyOption(rest.substr(0, comma), out.options, error)) return std::nullopt;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

std::optional<DeviceName> ChooseDeviceName(std::string_view name, std::string* error) {
    const std::string whole(name);
    struct stat st {};
    if (whole.find(':') != std::string::npos && ::stat(whole.c_str(), &st) == 0) return DeviceName{whole, {}};
    return ParseDeviceName(name, error);
}

}  // namespace ryx::pcsc
