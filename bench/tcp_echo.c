/* The other end of the loopback TCP floor: listens on an ephemeral loopback port, prints it,
 * and echoes what one client sends until it closes. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void) {
    int listening = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listening < 0 || bind(listening, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listening, 1) != 0 ||
        getsockname(listening, (struct sockaddr*)&address, &length) != 0) {
        perror("tcp_echo");
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    fflush(stdout);
    int client = accept(listening, NULL, NULL);
    if (client < 0) {
        perror("tcp_echo");
        return 1;
    }
    int yes = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    char buffer[65536];
    for (;;) {
        ssize_t count = read(client, buffer, sizeof buffer);
        if (count <= 0) {
            return 0;
        }
        for (ssize_t sent = 0; sent < count;) {
            ssize_t wrote = write(client, buffer + sent, (size_t)(count - sent));
            if (wrote <= 0) {
                return 0;
            }
            sent += wrote;
        }
    }
}
