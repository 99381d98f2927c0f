// A file descriptor owned by one scope: closed when the scope ends unless released.
#pragma once

#include <unistd.h>

namespace ryx {

class UniqueFd {
public:
    // Takes ownership of fd (a negative value owns nothing).
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    // The descriptor, still owned; negative when there is none.
    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    // Gives up ownership: the caller closes the returned descriptor.
    [[nodiscard]] int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace ryx
