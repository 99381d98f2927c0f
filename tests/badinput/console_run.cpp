#include "console_run.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace ryx::test {

std::vector<sim::FrameRecord> TakenCommands(const sim::Simulator& sim) {
    std::vector<sim::FrameRecord> out;
    for (auto& f : sim.ReceivedFrames()) {
        if (f.kind == sim::FrameRecord::Kind::kCommand && !f.droppedSpeedMismatch) out.push_back(f);
    }
    return out;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ryx_badinput_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, std::string_view content) const {
    const std::string full = path_ + "/" + name;
    std::ofstream file(full, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file) ADD_FAILURE() << "cannot write " << full;
    return full;
}

}  // namespace ryx::test
