#pragma once

#include <string_view>
#include <utility>

// Implemented in toolkit/runtime/unique_fd.cpp.
namespace norva_core {

// Owns one file descriptor and closes it when it goes; moves hand the descriptor on.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// Writes all of `data`, going on after interrupted and partial writes. False when the descriptor
// takes no more (its reader has gone, say).
bool write_all(int fd, std::string_view data) noexcept;

// The same for a socket, whose peer going never raises SIGPIPE.
bool send_all(int socket, std::string_view data) noexcept;

}  // namespace norva_core
