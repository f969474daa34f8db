#pragma once

#include <termios.h>

#include <optional>
#include <string>

namespace norva_core::term {

// Puts a terminal into raw mode for as long as it lives and always restores it.
class RawMode {
  public:
    explicit RawMode(int fd);
    ~RawMode();
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

  private:
    int fd_;
    bool active_ = false;
    termios saved_{};
};

// Stops a terminal from echoing what is typed for as long as it lives; always restores it.
class NoEcho {
  public:
    explicit NoEcho(int fd);
    ~NoEcho();
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

  private:
    int fd_;
    bool active_ = false;
    termios saved_{};
};

// Reads one line from the descriptor without its newline; nothing at end of input. Throws
// Interrupted when the user interrupts while it waits.
std::optional<std::string> read_line(int fd);

// Reads one byte, waiting at most timeout_ms (forever when negative); nothing on time-out or end
// of input.
std::optional<char> read_byte(int fd, int timeout_ms);

void write_all(int fd, const std::string& text);

}  // namespace norva_core::term
