#pragma once
// A file descriptor with one owner, closed when the owner is released.

#include <unistd.h>

namespace quorlin {

class OwnedFd {
public:
    explicit OwnedFd(int fd) noexcept : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace quorlin
