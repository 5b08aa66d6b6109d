// The least a receiver of the message protocol can do: one thread, blocking
// calls, accept, read the request, write the status reply, close. No records,
// no event loop, no display. The benchmark measures the program against it in
// the same run, so the ratios say what the program adds on this machine today.
//
//   minimal-receiver PORT
//
// Listens on 127.0.0.1:PORT until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "messaging/WireFormat.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: minimal-receiver PORT\n");
        return 2;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The same backlog as the program's server, so neither drops SYNs the
    // other would not.
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, SOMAXCONN) != 0) {
        std::perror("minimal-receiver");
        return 1;
    }
    const std::string reply = BuildStatusReply(false, false, {});
    char request[64 * 1024];
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // A short request on loopback arrives in one piece.
        const ssize_t n = ::recv(fd, request, sizeof request, 0);
        if (n > 0 && WantsStatusReply(ParseHeader(std::string(request, std::size_t(n)))))
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(fd);
    }
}
