// POSIX sockets behind the Windows Sockets calls, with errno mapped to
// Windows Sockets error numbers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/sockets.h"

namespace brevorin::platform {

namespace {

thread_local int t_last_error = 0;

// Acknowledges at once what arrives. A server that writes each reply of a
// pipelined group on its own holds the second back (Nagle) until the first
// is acknowledged, and a client that only reads would delay that for 40 ms:
// for every window of a long recipient list. Linux clears the mode by
// itself, so it is set again after every receive.
void quick_ack(int sock) {
#if defined(TCP_QUICKACK)
    int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)sock;
#endif
}

// A call interrupted by a signal goes on, unless the process asked to stop
// (then errno stays EINTR, which maps to 10004).
bool retry(int e) {
    return e == EINTR && !interrupt_requested();
}

int wsa_from_errno(int e) {
    switch (e) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case EPIPE:
            return 10054;  // writing to a peer that has gone: Winsock says reset
        case ENOBUFS:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10000 + (e > 0 && e < 1000 ? e : 0);
    }
}

int fail_with_errno() {
    t_last_error = wsa_from_errno(errno);
    return -1;
}

// The resolver's addresses of host in family (AF_UNSPEC: any), or null
// with the Windows Sockets number of the failure set; freeaddrinfo after.
addrinfo* look_up(const char* host, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &result);
    if (rc == 0 && result != nullptr) return result;
    t_last_error = rc == EAI_AGAIN ? 11002 : (rc == EAI_FAIL ? 11003 : 11001);
    if (result != nullptr) ::freeaddrinfo(result);
    return nullptr;
}

class PosixSocketApi final : public SocketApi {
  public:
    int startup(uint16_t requested, uint16_t* version) override {
        *version = requested;  // POSIX sockets need no start; report what was asked
        return 0;
    }
    int cleanup() override { return 0; }

    uint32_t inet_addr(const char* host) override { return ::inet_addr(host); }

    int gethostbyname(const char* host, uint32_t* address, int* length) override {
        addrinfo* result = look_up(host, AF_INET);
        if (result == nullptr) return -1;
        const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
        *address = in->sin_addr.s_addr;
        *length = 4;
        ::freeaddrinfo(result);
        return 0;
    }

    int resolve(const char* host, uint16_t port, std::vector<Endpoint>& out) override {
        out.clear();
        addrinfo* result = look_up(host, AF_UNSPEC);
        if (result == nullptr) return -1;
        for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
            Endpoint e;
            e.port = port;
            if (a->ai_family == AF_INET) {
                e.ipv4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            } else if (a->ai_family == AF_INET6) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
                e.ipv6 = true;
                std::memcpy(e.ipv6_address, &in6->sin6_addr, 16);
                e.scope = in6->sin6_scope_id;
            } else {
                continue;
            }
            out.push_back(e);
        }
        ::freeaddrinfo(result);
        if (out.empty()) t_last_error = 11001;
        return out.empty() ? -1 : 0;
    }

    int socket_for(const Endpoint& endpoint) override {
        return endpoint.ipv6 ? socket_of(AF_INET6) : socket_stream();
    }

    int connect_endpoint(int sock, const Endpoint& endpoint, unsigned timeout_ms) override {
        if (!endpoint.ipv6) return SocketApi::connect_endpoint(sock, endpoint, timeout_ms);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        std::memcpy(&addr.sin6_addr, endpoint.ipv6_address, 16);
        addr.sin6_scope_id = endpoint.scope;
        addr.sin6_port = htons(endpoint.port);
        return connect_address(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr,
                               timeout_ms);
    }

    int socket_stream() override { return socket_of(AF_INET); }

    int socket_of(int family) {
        int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail_with_errno();
        // The connection gathers its writes itself; Nagle would only hold
        // back the last small piece of each (the final dot of a message).
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return fd;
    }

    int connect(int sock, uint32_t address, uint16_t port) override {
        sockaddr_in addr = ipv4_address(address, port);
        return connect_address(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, 0);
    }

    static sockaddr_in ipv4_address(uint32_t address, uint16_t port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = address;
        addr.sin_port = htons(port);
        return addr;
    }

    // A connection of either family, bounded by timeout_ms unless that is 0.
    int connect_address(int sock, const sockaddr* addr, socklen_t length, unsigned timeout_ms) {
        if (timeout_ms != 0) return connect_timed(sock, addr, length, timeout_ms);
        int rc;
        do {
            rc = ::connect(sock, addr, length);
        } while (rc != 0 && retry(errno));
        return rc == 0 ? 0 : fail_with_errno();
    }

    int recv(int sock, char* buffer, int length) override {
        ssize_t n;
        do {
            n = ::recv(sock, buffer, static_cast<size_t>(length), 0);
        } while (n < 0 && retry(errno));
        quick_ack(sock);
        return n < 0 ? fail_with_errno() : static_cast<int>(n);
    }

    int send(int sock, const char* data, int length) override {
        ssize_t n;
        do {
            n = ::send(sock, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        } while (n < 0 && retry(errno));
        return n < 0 ? fail_with_errno() : static_cast<int>(n);
    }

    int shutdown_both(int sock) override {
        return ::shutdown(sock, SHUT_RDWR) == 0 ? 0 : fail_with_errno();
    }

    int close(int sock) override { return ::close(sock) == 0 ? 0 : fail_with_errno(); }

    int bytes_waiting(int sock, unsigned long* count) override {
        int n = 0;
        if (::ioctl(sock, FIONREAD, &n) != 0) return fail_with_errno();
        *count = n < 0 ? 0 : static_cast<unsigned long>(n);
        return 0;
    }

    int gethostname(char* name, int length) override {
        if (::gethostname(name, static_cast<size_t>(length)) != 0) return fail_with_errno();
        name[length - 1] = '\0';
        return 0;
    }

    int last_error() override { return t_last_error; }
    void set_last_error(int code) override { t_last_error = code; }

    int wait_ready(int sock, bool for_write, unsigned timeout_ms) override {
        pollfd p{sock, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
        int rc;
        if (interrupt_requested()) {
            t_last_error = 10004;
            return -1;
        }
        do {
            rc = ::poll(&p, 1, timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms));
        } while (rc < 0 && retry(errno));
        if (rc < 0) return fail_with_errno();
        if (rc == 0) {
            t_last_error = 10060;
            return 0;
        }
        return 1;
    }

    int connect_within(int sock, uint32_t address, uint16_t port, unsigned timeout_ms) override {
        sockaddr_in addr = ipv4_address(address, port);
        return connect_timed(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr,
                             timeout_ms);
    }

    int connect_timed(int sock, const sockaddr* addr, socklen_t length, unsigned timeout_ms) {
        int flags = ::fcntl(sock, F_GETFL, 0);
        if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) return fail_with_errno();
        int rc = ::connect(sock, addr, length);
        if (rc != 0 && errno != EINPROGRESS) return fail_with_errno();
        if (rc != 0) {
            int ready = wait_ready(sock, true, timeout_ms);
            if (ready <= 0) return -1;
            int error = 0;
            socklen_t error_length = sizeof error;
            if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0)
                return fail_with_errno();
            if (error != 0) {
                t_last_error = wsa_from_errno(error);
                return -1;
            }
        }
        if (::fcntl(sock, F_SETFL, flags) != 0) return fail_with_errno();
        return 0;
    }
};

}  // namespace

SocketApi& os_socket_api() {
    static PosixSocketApi api;
    return api;
}

}  // namespace brevorin::platform
