// api_exerciser.exe: runs calls of ryx.dll on request, for the wine tests driven from Linux.
// It binds every export with GetProcAddress by ordinal, reads one command per line from standard input and
// answers each with one line on standard output, flushed at once, so that the test can change the simulated reader
// between two calls. Byte strings are written as contiguous upper-case hex, "-" for none.
//
//   exports                        ordinal N NAME same|different|missing   (one line per export, then "end")
//   version FILE                   version FILEVERSION PRODUCTVERSION DESCRIPTION   (FILE's version resource)
//   open PORT | openw PORT         open STATUS            (the handle is kept for the calls below)
//   close                          close STATUS
//   slots                          slots STATUS COUNT
//   getrate | setrate BPS          getrate STATUS BPS | setrate STATUS
//   gettimeouts | settimeouts A B C D
//   poweron SLOT SIZE              poweron STATUS LENGTH ATR
//   poweroff SLOT | status SLOT | setprotocol SLOT MASK
//   apdu SLOT HEX SIZE             apdu STATUS LENGTH RESPONSE
//   apdufill SLOT HEADERHEX N SIZE as apdu, with the command HEADERHEX followed by N bytes 00 01 02 ... (mod 256)
//   control SLOT CODE HEX SIZE     control STATUS LENGTH REPLY
//   quit
// STATUS is 0x%08X. A command it does not know gets "error ...".
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <ryx.h>

namespace {

struct Exports {
    decltype(&RYX_OpenA) openA;
    decltype(&RYX_OpenW) openW;
    decltype(&RYX_Close) close;
    decltype(&RYX_GetNumSlots) getNumSlots;
    decltype(&RYX_GetBaudRate) getBaudRate;
    decltype(&RYX_SetBaudRate) setBaudRate;
    decltype(&RYX_GetTimeouts) getTimeouts;
    decltype(&RYX_SetTimeouts) setTimeouts;
    decltype(&RYX_PowerOnIcc) powerOnIcc;
    decltype(&RYX_PowerOffIcc) powerOffIcc;
    decltype(&RYX_SetProtocol) setProtocol;
    decltype(&RYX_GetIccStatus) getIccStatus;
    decltype(&RYX_ExchangeApdu) exchangeApdu;
    decltype(&RYX_Control) control;
};

constexpr const char* kExportNames[14] = {"RYX_OpenA",        "RYX_OpenW",       "RYX_Close",       "RYX_GetNumSlots",
                                          "RYX_GetBaudRate",  "RYX_SetBaudRate", "RYX_GetTimeouts", "RYX_SetTimeouts",
                                          "RYX_PowerOnIcc",   "RYX_PowerOffIcc", "RYX_SetProtocol", "RYX_GetIccStatus",
                                          "RYX_ExchangeApdu", "RYX_Control"};

FARPROC ByOrdinal(HMODULE module, unsigned ordinal) {
    return ::GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

template <typename F>
void Bind(HMODULE module, unsigned ordinal, F* function) {
    *function = reinterpret_cast<F>(reinterpret_cast<void*>(ByOrdinal(module, ordinal)));
}

bool BindAll(HMODULE module, Exports* e) {
    Bind(module, 1, &e->openA);
    Bind(module, 2, &e->openW);
    Bind(module, 3, &e->close);
    Bind(module, 4, &e->getNumSlots);
    Bind(module, 5, &e->getBaudRate);
    Bind(module, 6, &e->setBaudRate);
    Bind(module, 7, &e->getTimeouts);
    Bind(module, 8, &e->setTimeouts);
    Bind(module, 9, &e->powerOnIcc);
    Bind(module, 10, &e->powerOffIcc);
    Bind(module, 11, &e->setProtocol);
    Bind(module, 12, &e->getIccStatus);
    Bind(module, 13, &e->exchangeApdu);
    Bind(module, 14, &e->control);
    return e->openA && e->openW && e->close && e->getNumSlots && e->getBaudRate && e->setBaudRate && e->getTimeouts &&
           e->setTimeouts && e->powerOnIcc && e->powerOffIcc && e->setProtocol && e->getIccStatus && e->exchangeApdu &&
           e->control;
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return "-";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

bool ParseHex(const std::string& text, std::vector<std::uint8_t>* out) {
    out->clear();
    if (text == "-") return true;
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
        out->push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

std::string Status(std::uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

// The version resource of a file: file version, product version and file description.
std::string VersionOf(const std::string& file) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) return "version missing";
    std::vector<char> data(size);
    if (!::GetFileVersionInfoA(file.c_str(), 0, size, data.data())) return "version unreadable";
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    if (!::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedLength) || fixed == nullptr) {
        return "version nofixed";
    }
    char* description = nullptr;
    UINT descriptionLength = 0;
    if (!::VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileDescription",
                          reinterpret_cast<void**>(&description), &descriptionLength)) {
        description = nullptr;
    }
    char text[160];
    std::snprintf(
        text, sizeof text, "version %u.%u.%u.%u %u.%u.%u.%u %s", static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)),
        static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)), static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)),
        static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)), static_cast<unsigned>(HIWORD(fixed->dwProductVersionMS)),
        static_cast<unsigned>(LOWORD(fixed->dwProductVersionMS)),
        static_cast<unsigned>(HIWORD(fixed->dwProductVersionLS)),
        static_cast<unsigned>(LOWORD(fixed->dwProductVersionLS)), description != nullptr ? description : "-");
    return text;
}

class Exerciser {
public:
    Exerciser(HMODULE module, const Exports& e) : module_(module), e_(e) {}

    // One command line; its answer, or an empty string for "quit".
    std::string Run(const std::string& line) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "exports") return ExportTable();
        if (command == "version") {
            std::string file;
            in >> file;
            return VersionOf(file);
        }
        if (command == "open" || command == "openw") {
            std::string port;
            in >> port;
            handle_ = nullptr;
            std::uint32_t status = 0;
            if (command == "open") {
                status = e_.openA(port.c_str(), &handle_);
            } else {
                const std::u16string wide(port.begin(), port.end());
                status = e_.openW(reinterpret_cast<const RYX_WCHAR*>(wide.c_str()), &handle_);
            }
            return command + " " + Status(status);
        }
        if (command == "close") return "close " + Status(e_.close(handle_));
        if (command == "slots") {
            std::uint32_t count = 0;
            const std::uint32_t status = e_.getNumSlots(handle_, &count);
            return "slots " + Status(status) + " " + std::to_string(count);
        }
        if (command == "getrate") {
            std::uint32_t rate = 0;
            const std::uint32_t status = e_.getBaudRate(handle_, &rate);
            return "getrate " + Status(status) + " " + std::to_string(rate);
        }
        if (command == "setrate") {
            std::uint32_t rate = 0;
            in >> rate;
            return "setrate " + Status(e_.setBaudRate(handle_, rate));
        }
        if (command == "gettimeouts") {
            LinkTimeouts t{};
            const std::uint32_t status = e_.getTimeouts(handle_, &t);
            return "gettimeouts " + Status(status) + " " + std::to_string(t.statusTimeout) + " " +
                   std::to_string(t.statusRetries) + " " + std::to_string(t.responseTimeout) + " " +
                   std::to_string(t.responseRetries);
        }
        if (command == "settimeouts") {
            LinkTimeouts t{};
            in >> t.statusTimeout >> t.statusRetries >> t.responseTimeout >> t.responseRetries;
            return "settimeouts " + Status(e_.setTimeouts(handle_, &t));
        }
        if (command == "poweron") {
            std::uint32_t slot = 0, size = 0;
            in >> slot >> size;
            std::vector<std::uint8_t> atr(size);
            std::uint32_t length = size;
            const std::uint32_t status = e_.powerOnIcc(handle_, slot, atr.data(), &length);
            return "poweron " + Status(status) + " " + std::to_string(length) + " " +
                   Hex(atr.data(), status == RYX_SUCCESS ? length : 0);
        }
        if (command == "poweroff") {
            std::uint32_t slot = 0;
            in >> slot;
            return "poweroff " + Status(e_.powerOffIcc(handle_, slot));
        }
        if (command == "status") {
            std::uint32_t slot = 0, icc = 99;
            in >> slot;
            const std::uint32_t status = e_.getIccStatus(handle_, slot, &icc);
            return "status " + Status(status) + " " + std::to_string(icc);
        }
        if (command == "setprotocol") {
            std::uint32_t slot = 0, mask = 0, active = 99;
            in >> slot >> mask;
            const std::uint32_t status = e_.setProtocol(handle_, slot, mask, &active);
            return "setprotocol " + Status(status) + " " + std::to_string(active);
        }
        if (command == "apdu" || command == "apdufill") {
            std::uint32_t slot = 0, fill = 0, size = 0;
            std::string hex;
            in >> slot >> hex;
            if (command == "apdufill") in >> fill;
            in >> size;
            std::vector<std::uint8_t> apdu;
            if (!in || !ParseHex(hex, &apdu)) return "error bad arguments";
            for (std::uint32_t i = 0; i < fill; ++i) apdu.push_back(static_cast<std::uint8_t>(i));
            std::vector<std::uint8_t> response(size);
            std::uint32_t length = size;
            const std::uint32_t status = e_.exchangeApdu(
                handle_, slot, apdu.data(), static_cast<std::uint32_t>(apdu.size()), response.data(), &length);
            if (status != RYX_SUCCESS) length = 0;
            return "apdu " + Status(status) + " " + std::to_string(length) + " " + Hex(response.data(), length);
        }
        if (command == "control") {
            std::uint32_t slot = 0, code = 0, size = 0;
            std::string hex;
            in >> slot >> code >> hex >> size;
            std::vector<std::uint8_t> request;
            if (!in || !ParseHex(hex, &request)) return "error bad arguments";
            std::vector<std::uint8_t> reply(size);
            std::uint32_t length = 99;
            const std::uint32_t status =
                e_.control(handle_, slot, code, request.data(), static_cast<std::uint32_t>(request.size()),
                           reply.data(), size, &length);
            return "control " + Status(status) + " " + std::to_string(length) + " " +
                   Hex(reply.data(), status == RYX_SUCCESS ? length : 0);
        }
        if (command == "quit") return {};
        return "error unknown command " + command;
    }

private:
    // Each export by name and by ordinal: both must give the same address.
    std::string ExportTable() const {
        std::string out;
        for (unsigned ordinal = 1; ordinal <= 14; ++ordinal) {
            const FARPROC byName = ::GetProcAddress(module_, kExportNames[ordinal - 1]);
            const FARPROC byOrdinal = ByOrdinal(module_, ordinal);
            const char* verdict = (byName == nullptr || byOrdinal == nullptr) ? "missing"
                                  : byName == byOrdinal                       ? "same"
                                                                              : "different";
            out += "ordinal " + std::to_string(ordinal) + " " + kExportNames[ordinal - 1] + " " + verdict + "\n";
        }
        // One past the table must not exist.
        out += ByOrdinal(module_, 15) == nullptr ? "end" : "end extra";
        return out;
    }

    HMODULE module_;
    Exports e_;
    RYX_HANDLE handle_ = nullptr;
};

}  // namespace

int main() {
    // Plain LF line ends both ways.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    const HMODULE module = ::LoadLibraryA("ryx.dll");
    if (module == nullptr) {
        std::printf("error LoadLibrary %lu\n", static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    Exports exports{};
    if (!BindAll(module, &exports)) {
        std::printf("error an ordinal is missing\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Exerciser exerciser(module, exports);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string answer = exerciser.Run(line);
        if (answer.empty()) break;
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    ::FreeLibrary(module);
    std::printf("bye\n");
    std::fflush(stdout);
    return 0;
}
