#pragma once

// A file descriptor of one's own, closed when the handle goes. Declared before the loop source
// that watches it, so that the watch goes first.

#include <unistd.h>

#include <utility>

namespace sollun::platform {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd_(fd) {}
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Closes what it held (a negative number holds nothing) and takes `fd`.
    void reset(int fd = -1) {
        // Only a written file has anything to report on close, and those are closed where the
        // write is checked (AtomicFile); on Linux the descriptor is gone whatever close says.
        if (fd_ >= 0)
            (void)::close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up to a new owner.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

} // namespace sollun::platform
