// Preloaded into the program by scripts/run.sh when it falls back to Qt's VNC platform: Qt 6.4's
// VNC server always listens on every interface, with no password. This keeps it on the loopback
// address: a bind() to the wildcard address on the VNC port ($VASKEL_VNC_PORT) is turned into a
// bind() to 127.0.0.1 (or ::ffff:127.0.0.1 on a dual-stack socket). Every other bind() (the
// network console's Server Mode among them) is left exactly as the program asked.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

extern "C" int bind(int fd, const sockaddr* addr, socklen_t len) {
    using BindFn = int (*)(int, const sockaddr*, socklen_t);
    static const auto real = reinterpret_cast<BindFn>(dlsym(RTLD_NEXT, "bind"));
    const char* portText = std::getenv("VASKEL_VNC_PORT");
    const int vncPort = portText ? std::atoi(portText) : -1;
    if (addr && addr->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        sockaddr_in a;
        std::memcpy(&a, addr, sizeof a);
        if (ntohs(a.sin_port) == vncPort && a.sin_addr.s_addr == htonl(INADDR_ANY)) {
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            return real(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        }
    } else if (addr && addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
        sockaddr_in6 a;
        std::memcpy(&a, addr, sizeof a);
        if (ntohs(a.sin6_port) == vncPort && IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr)) {
            inet_pton(AF_INET6, "::ffff:127.0.0.1", &a.sin6_addr);
            return real(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        }
    }
    return real(fd, addr, len);
}
