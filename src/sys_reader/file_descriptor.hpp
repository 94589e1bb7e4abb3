// Ownership of an open file descriptor, closed on every path.
#pragma once

#include <unistd.h>

#include <utility>

namespace hostprobe {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close_now();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileDescriptor() { close_now(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close_now() {
        if (fd_ >= 0) close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

}  // namespace hostprobe
