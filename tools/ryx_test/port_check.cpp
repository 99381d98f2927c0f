#include "port_check.h"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#endif

namespace ryx_test {

#ifdef _WIN32

PortProblem PortProblemOf(const std::string&, int* fd) {
    if (fd != nullptr) {
        *fd = -1;
    }
    return {};
}

#else

namespace {

// The other programs that hold the device open, by their /proc entries ("minicom (pid 812)", at most three).
std::string Holders(const std::string& port) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path device = fs::canonical(port, error);
    if (error) {
        return "";
    }
    const std::string self = std::to_string(getpid());
    std::string holders;
    int found = 0;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self || found == 3) {
            continue;
        }
        std::error_code fdError;
        for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) == device) {
                // The program's name as started (argv[0] without its folder): comm is cut to 15 characters.
                std::string name;
                std::getline(std::ifstream(process.path() / "cmdline"), name, '\0');
                name = name.substr(name.rfind('/') + 1);
                holders += (found++ == 0 ? "" : ", ") + name + " (pid " + pid + ")";
                break;
            }
        }
    }
    return holders;
}

PortProblem Failed(const std::string& port, int error) {
    PortProblem problem;
    problem.error = error;
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            problem.kind = PortProblem::Missing;
            break;
        case EACCES:
        case EPERM: {
            problem.kind = PortProblem::PermissionDenied;
            struct stat info = {};
            if (stat(port.c_str(), &info) == 0) {
                problem.mode = info.st_mode;
                const group* owner = getgrgid(info.st_gid);
                problem.group = owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
            }
            break;
        }
        case ENOTTY:
            problem.kind = PortProblem::NotSerial;
            break;
        case EBUSY:
        case EWOULDBLOCK:
            problem.kind = PortProblem::Busy;
            problem.holders = Holders(port);
            break;
        default:
            problem.kind = PortProblem::Other;
            break;
    }
    return problem;
}

}  // namespace

PortProblem PortProblemOf(const std::string& port, int* fd) {
    if (fd != nullptr) {
        *fd = -1;
    }
    const int port_fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port_fd < 0) {
        return Failed(port, errno);
    }
    int error = 0;
    termios settings = {};
    // ENOTTY from tcgetattr: not a serial device.
    if (flock(port_fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(port_fd, &settings) != 0) {
        error = errno;
    }
    if (error != 0 || fd == nullptr) {
        close(port_fd);
        return error != 0 ? Failed(port, error) : PortProblem{};
    }
    *fd = port_fd;
    return {};
}

#endif

}  // namespace ryx_test
