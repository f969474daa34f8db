#include "norva_core/network_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "norva_core/unique_fd.h"
#include "os/os.h"

namespace norva_core {

bool network_util::accepts_on_loopback(int port) {
    UniqueFd socket(os::cloexec_socket(AF_INET, SOCK_STREAM, 0, false));
    if (!socket) {
        throw std::system_error(errno, std::generic_category(), "cannot create a socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
           0;
}

}  // namespace norva_core
