#include "ports.h"

#include "cli_options.h"
#include "port_check.h"
#include "status_codes.h"
#include "stop_request.h"

#include <ryx.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace ryx_test {

namespace {

// "ttyS2" before "ttyS10": names compared by their prefix, then by the number that ends them.
bool NaturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1])) != 0) {
            --digits;
        }
        const std::string number = s.substr(digits);
        return std::make_pair(s.substr(0, digits), number.empty() ? -1L : std::stol(number.substr(0, 9)));
    };
    return split(a) < split(b);
}

struct ProbeResult {
    uint32_t status = 0;
    const char* failedCall = nullptr;
    uint32_t slots = 0;
    uint32_t baudRate = 0;
    std::string firmware;
};

constexpr uint8_t kFirmwareVersionCommand[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr uint32_t kFirmwareHeaderLength = 5;

// Asks an open reader what it is; the first failing call ends the questions.
void Identify(RYX_HANDLE handle, ProbeResult& result) {
    result.failedCall = "RYX_GetNumSlots";
    result.status = RYX_GetNumSlots(handle, &result.slots);
    if (result.status != 0) {
        return;
    }
    result.failedCall = "RYX_GetBaudRate";
    result.status = RYX_GetBaudRate(handle, &result.baudRate);
    if (result.status != 0) {
        return;
    }
    uint8_t reply[35] = {};
    uint32_t replyLength = sizeof reply;
    result.failedCall = "RYX_Control";
    result.status = RYX_Control(handle, 0, RYX_CONTROL_ESCAPE, kFirmwareVersionCommand, sizeof kFirmwareVersionCommand,
                                reply, sizeof reply, &replyLength);
    if (result.status == 0 && replyLength > kFirmwareHeaderLength && replyLength <= sizeof reply) {
        result.firmware.assign(reinterpret_cast<const char*>(reply) + kFirmwareHeaderLength,
                               replyLength - kFirmwareHeaderLength);
    }
}

// The ports named, or without any every listed device.
std::vector<std::string> PortsToProbe(const std::vector<std::string>& named) {
    std::vector<std::string> ports = named;
    if (ports.empty()) {
        // The devices only: a by-id name is another way to the same device.
        for (const SerialPort& port : ListSerialPorts()) {
            if (port.device.empty()) {
                ports.push_back(port.name);
            }
        }
    }
    return ports;
}

// Opens and identifies every port, leaving the readers open in `handles`; a progress line on a terminal's standard
// error meanwhile.
void ProbeInParallel(const std::vector<std::string>& ports, std::vector<ProbeResult>& results,
                     std::vector<RYX_HANDLE>& handles) {
    std::atomic<size_t> done{0};
    std::vector<std::thread> threads;
    // Readers on different ports open in parallel: each scan of the line speeds takes seconds when nothing answers.
    for (size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&, i]() {
            results[i].failedCall = "RYX_OpenA";
            results[i].status = RYX_OpenA(ports[i].c_str(), &handles[i]);
            if (results[i].status == 0) {
                Identify(handles[i], results[i]);
            }
            ++done;
        });
    }
    const bool progress = isatty(fileno(stderr)) != 0;
    const auto start = std::chrono::steady_clock::now();
    while (progress && done.load() < ports.size()) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "\rProbing %zu port(s): %zu done, %llds (a port without a reader takes up to 10 s)",
                     ports.size(), done.load(), static_cast<long long>(seconds));
        std::fflush(stderr);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (progress) {
        std::fputs("\r\033[K", stderr);
    }
}

// The line of one port: its reader, or the failed call with a hint where the device tells the cause. True when a
// reader answered.
bool PrintProbeResult(const std::string& port, const ProbeResult& r, std::FILE* out) {
    if (r.status != 0) {
        std::fprintf(out, "%s: %s: %s\n", port.c_str(), r.failedCall, DescribeStatus(r.status).c_str());
        // These codes stand for several causes; the device itself tells them apart.
        const PortProblem problem = r.status == RYX_ERROR_ACCESS_DENIED || r.status == RYX_ERROR_INVALID_PARAMETER
                                        ? PortProblemOf(port, nullptr)
                                        : PortProblem{};
        if (problem.kind != PortProblem::None) {
            const PortFinding finding = DescribePortProblem(port, problem);
            std::fprintf(out, "%s: hint: %s; %s\n", port.c_str(), finding.finding.c_str(), finding.action.c_str());
        }
        return false;
    }
    // The firmware text begins with the model's name.
    const std::string model = r.firmware.substr(0, r.firmware.find(' '));
    std::fprintf(out, "%s: model %s, %u slot%s, %u bps, firmware \"%s\"\n", port.c_str(),
                 model.empty() ? "unknown" : model.c_str(), r.slots, r.slots == 1 ? "" : "s", r.baudRate,
                 r.firmware.c_str());
    return true;
}

}  // namespace

std::vector<SerialPort> ListSerialPorts() {
    std::vector<SerialPort> ports;
#ifdef _WIN32
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<std::string> com;
    for (DWORD at = 0; at < length && names[at] != '\0'; at += static_cast<DWORD>(std::strlen(&names[at])) + 1) {
        if (std::strncmp(&names[at], "COM", 3) == 0) {
            com.emplace_back(&names[at]);
        }
    }
    std::sort(com.begin(), com.end(), NaturalLess);
    for (const std::string& name : com) {
        ports.push_back({name, {}});
    }
#else
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<SerialPort> links;
    for (const fs::directory_entry& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
        const fs::path target = fs::canonical(entry.path(), error);
        links.push_back({entry.path().string(), error ? std::string() : target.string()});
    }
    std::sort(links.begin(), links.end(), [](const SerialPort& a, const SerialPort& b) { return a.name < b.name; });
    ports = links;
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
        std::vector<std::string> devices;
        for (const fs::directory_entry& entry : fs::directory_iterator("/dev", error)) {
            const std::string name = entry.path().filename().string();
            const std::string rest = name.substr(std::min(name.size(), std::strlen(prefix)));
            if (name.compare(0, std::strlen(prefix), prefix) == 0 && !rest.empty() &&
                std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                devices.push_back(entry.path().string());
            }
        }
        std::sort(devices.begin(), devices.end(), NaturalLess);
        for (const std::string& device : devices) {
            ports.push_back({device, {}});
        }
    }
#endif
    return ports;
}

void PrintSerialPorts(std::FILE* out) {
    for (const SerialPort& port : ListSerialPorts()) {
        if (port.device.empty()) {
            std::fprintf(out, "%s\n", port.name.c_str());
        } else {
            std::fprintf(out, "%s -> %s\n", port.name.c_str(), port.device.c_str());
        }
    }
}

int ProbePorts(const std::vector<std::string>& named, std::FILE* out) {
    const std::vector<std::string> ports = PortsToProbe(named);
    std::vector<ProbeResult> results(ports.size());
    std::vector<RYX_HANDLE> handles(ports.size(), nullptr);
    ProbeInParallel(ports, results, handles);
    size_t found = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (handles[i] != nullptr) {
            RYX_Close(handles[i]);
        }
        found += PrintProbeResult(ports[i], results[i], out) ? 1 : 0;
    }
    if (StopRequested()) {
        return 128 + StopSignal();
    }
    const bool allNamedFound = !named.empty() && found == ports.size();
    const bool anyListedFound = named.empty() && found > 0;
    return allNamedFound || anyListedFound ? kExitOk : kExitFailure;
}

}  // namespace ryx_test
