// pcscd exports its logging function to the drivers it loads; a weak reference finds it there and is null in any
// other process (the unit tests), where the message goes to standard error instead.
#include "pcsc/log.h"

#include <cstdarg>
#include <cstdio>

extern "C" void log_msg(const int priority, const char* fmt, ...) __attribute__((weak));

namespace ryx::pcsc {

namespace {
constexpr int kPcscLogError = 2;  // PCSC_LOG_ERROR of pcscd's debuglog.h
}

void LogError(const char* format, ...) noexcept {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (log_msg != nullptr) {
        log_msg(kPcscLogError, "ifd_ryx: %s", text);
    } else {
        std::fprintf(stderr, "ifd_ryx: %s\n", text);
    }
}

}  // namespace ryx::pcsc
