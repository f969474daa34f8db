#include "stdin_feed.h"

#include <unistd.h>

#include <stdexcept>

namespace norva_test {

StdinFeed::StdinFeed(const std::string& text) : saved_stdin_(::dup(STDIN_FILENO)) {
    int fds[2];
    if (::pipe(fds) != 0 ||
        ::write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot feed standard input");
    }
    ::close(fds[1]);
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
}

StdinFeed::~StdinFeed() {
    ::dup2(saved_stdin_, STDIN_FILENO);
    ::close(saved_stdin_);
}

}  // namespace norva_test
