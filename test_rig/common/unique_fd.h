// Owner of one file descriptor: closed when the owner goes out of scope.
#pragma once

#include <unistd.h>

#include <utility>

namespace rig {

class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) { }
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

} // namespace rig
