#pragma once

#include <termios.h>

#include <optional>
#include <string>

namespace norva_core::term {

// Changes a terminal's settings for as long as it lives and always restores them; nothing
// happens when the descriptor is not a terminal.
class TerminalMode {
  public:
    TerminalMode(int fd, void (*change)(termios&));
    ~TerminalMode();
    TerminalMode(const TerminalMode&) = delete;
    TerminalMode& operator=(const TerminalMode&) = delete;

  private:
    int fd_;
    bool active_ = false;
    termios saved_{};
};

// Raw: keys arrive one by one, unechoed, Ctrl-C as a byte.
class RawMode : public TerminalMode {
  public:
    explicit RawMode(int fd);
};

// What is typed is not shown.
class NoEcho : public TerminalMode {
  public:
    explicit NoEcho(int fd);
};

// Reads one line from the descriptor without its newline; nothing at end of input. Throws
// Interrupted when the user interrupts while it waits.
std::optional<std::string> read_line(int fd);

// Reads one byte, waiting at most timeout_ms (forever when negative); nothing on time-out or end
// of input.
std::optional<char> read_byte(int fd, int timeout_ms);

}  // namespace norva_core::term
