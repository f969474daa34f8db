#include "term/terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "norva_core/interrupt.h"

namespace norva_core::term {

TerminalMode::TerminalMode(int fd, void (*change)(termios&)) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) {
        return;
    }
    termios changed = saved_;
    change(changed);
    active_ = tcsetattr(fd_, TCSAFLUSH, &changed) == 0;
}

TerminalMode::~TerminalMode() {
    if (active_) {
        tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
}

RawMode::RawMode(int fd)
    : TerminalMode(fd, [](termios& settings) {
          settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
          settings.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
          settings.c_cc[VMIN] = 1;
          settings.c_cc[VTIME] = 0;
      }) {}

NoEcho::NoEcho(int fd)
    : TerminalMode(fd,
                   [](termios& settings) { settings.c_lflag &= ~static_cast<tcflag_t>(ECHO); }) {}

std::optional<char> read_byte(int fd, int timeout_ms) {
    int waited = 0;
    for (;;) {
        interrupt::throw_if_pending();
        pollfd entry{fd, POLLIN, 0};
        int slice = timeout_ms < 0 ? 100 : std::min(100, timeout_ms - waited);
        int ready = ::poll(&entry, 1, slice);
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (ready > 0) {
            char byte = 0;
            ssize_t got = ::read(fd, &byte, 1);
            if (got == 1) {
                return byte;
            }
            if (got == 0 || errno != EINTR) {
                return std::nullopt;
            }
            continue;
        }
        if (ready == 0 && timeout_ms >= 0) {
            waited += slice;
            if (waited >= timeout_ms) {
                return std::nullopt;
            }
        }
    }
}

std::optional<std::string> read_line(int fd) {
    std::string line;
    for (;;) {
        auto byte = read_byte(fd, -1);
        if (!byte) {
            if (line.empty()) {
                return std::nullopt;
            }
            return line;
        }
        if (*byte == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        line += *byte;
    }
}

}  // namespace norva_core::term
