#include "norva_core/unique_fd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "os/os.h"

namespace norva_core {

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_);
    }
    fd_ = fd;
}

namespace {

template <class Write>
bool write_fully(std::string_view data, Write&& write) noexcept {
    while (!data.empty()) {
        ssize_t count = write(data);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

}  // namespace

bool write_all(int fd, std::string_view data) noexcept {
    return write_fully(
        data, [fd](std::string_view rest) { return ::write(fd, rest.data(), rest.size()); });
}

bool send_all(int socket, std::string_view data) noexcept {
    return write_fully(data, [socket](std::string_view rest) {
        return ::send(socket, rest.data(), rest.size(), os::SEND_FLAGS);
    });
}

}  // namespace norva_core
