#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "norva_core/network_util.h"
#include "norva_core/unique_fd.h"
#include "os/os.h"
#include "sim/common/address.h"

namespace norva_core {
namespace {

constexpr int CONNECT_LIMIT_MS = 1000;

bool connects(const addrinfo& candidate) {
    UniqueFd socket(os::cloexec_socket(candidate.ai_family, candidate.ai_socktype,
                                       candidate.ai_protocol, true));
    if (!socket) {
        return false;
    }
    if (::connect(socket.get(), candidate.ai_addr, candidate.ai_addrlen) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    pollfd entry{socket.get(), POLLOUT, 0};
    if (::poll(&entry, 1, CONNECT_LIMIT_MS) != 1) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0;
}

}  // namespace

bool network_util::is_port_opened(const std::string& address) {
    auto parsed = sim::readable_address(address);
    if (!parsed) {
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(parsed->host.c_str(), std::to_string(parsed->port).c_str(), &hints, &found) !=
        0) {
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        if (connects(*candidate)) {
            return true;
        }
    }
    return false;
}

}  // namespace norva_core
