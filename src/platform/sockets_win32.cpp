// Windows Sockets 1.1 as it is.
#include <winsock.h>

#include <cstring>

#include "platform/sockets.h"

namespace brevorin::platform {

namespace {

// getaddrinfo lives in ws2_32 from Windows XP on; the DLL imports only
// Windows Sockets 1.1, so it is looked up at run time, and a system
// without it keeps the IPv4 lookup of gethostbyname. The structures are
// those of ws2def.h, which cannot be included beside winsock.h.
struct AddrInfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    AddrInfo* ai_next;
};

struct SockaddrIn6 {
    short sin6_family;
    u_short sin6_port;
    u_long sin6_flowinfo;
    unsigned char sin6_addr[16];
    u_long sin6_scope_id;
};

constexpr int kAfInet6 = 23;

using GetAddrInfo = int(WINAPI*)(const char*, const char*, const AddrInfo*, AddrInfo**);
using FreeAddrInfo = void(WINAPI*)(AddrInfo*);

struct Resolver {
    GetAddrInfo get = nullptr;
    FreeAddrInfo free = nullptr;
    Resolver() {
        HMODULE ws2 = ::LoadLibraryA("ws2_32.dll");
        if (ws2 == nullptr) return;
        get = reinterpret_cast<GetAddrInfo>(
            reinterpret_cast<void*>(::GetProcAddress(ws2, "getaddrinfo")));
        free = reinterpret_cast<FreeAddrInfo>(
            reinterpret_cast<void*>(::GetProcAddress(ws2, "freeaddrinfo")));
        if (get == nullptr || free == nullptr) get = nullptr;
    }
};

const Resolver& resolver() {
    static const Resolver instance;
    return instance;
}

class WinsockApi final : public SocketApi {
  public:
    int startup(uint16_t requested, uint16_t* version) override {
        WSADATA data;
        int rc = ::WSAStartup(requested, &data);
        if (rc == 0) *version = data.wVersion;
        return rc;
    }
    int cleanup() override { return ::WSACleanup(); }

    uint32_t inet_addr(const char* host) override { return ::inet_addr(host); }

    int gethostbyname(const char* host, uint32_t* address, int* length) override {
        hostent* entry = ::gethostbyname(host);
        if (entry == nullptr) return -1;
        if (entry->h_length != 4 && entry->h_length != 8) {
            ::WSASetLastError(0);
            return -1;
        }
        std::uint32_t a;
        memcpy(&a, entry->h_addr_list[0], 4);
        *address = a;
        *length = entry->h_length;
        return 0;
    }

    int resolve(const char* host, uint16_t port, std::vector<Endpoint>& out) override {
        const Resolver& r = resolver();
        if (r.get == nullptr) return SocketApi::resolve(host, port, out);
        out.clear();
        AddrInfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        AddrInfo* result = nullptr;
        int rc = r.get(host, nullptr, &hints, &result);
        if (rc != 0 || result == nullptr) {
            ::WSASetLastError(rc != 0 ? rc : WSAHOST_NOT_FOUND);
            return -1;
        }
        for (const AddrInfo* a = result; a != nullptr; a = a->ai_next) {
            Endpoint e;
            e.port = port;
            if (a->ai_family == AF_INET) {
                e.ipv4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            } else if (a->ai_family == kAfInet6 && a->ai_addrlen >= sizeof(SockaddrIn6)) {
                const auto* in6 = reinterpret_cast<const SockaddrIn6*>(a->ai_addr);
                e.ipv6 = true;
                std::memcpy(e.ipv6_address, in6->sin6_addr, 16);
                e.scope = in6->sin6_scope_id;
            } else {
                continue;
            }
            out.push_back(e);
        }
        r.free(result);
        if (out.empty()) ::WSASetLastError(WSAHOST_NOT_FOUND);
        return out.empty() ? -1 : 0;
    }

    int socket_for(const Endpoint& endpoint) override {
        return endpoint.ipv6 ? socket_of(kAfInet6) : socket_stream();
    }

    int connect_endpoint(int sock, const Endpoint& endpoint, unsigned timeout_ms) override {
        if (!endpoint.ipv6) return SocketApi::connect_endpoint(sock, endpoint, timeout_ms);
        SockaddrIn6 addr{};
        addr.sin6_family = kAfInet6;
        addr.sin6_port = ::htons(endpoint.port);
        std::memcpy(addr.sin6_addr, endpoint.ipv6_address, 16);
        addr.sin6_scope_id = endpoint.scope;
        return connect_address(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr,
                               timeout_ms);
    }

    int socket_stream() override { return socket_of(AF_INET); }

    int socket_of(int family) {
        SOCKET s = ::socket(family, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) return -1;
        // The connection gathers its writes itself; Nagle would only hold
        // back the last small piece of each (the final dot of a message).
        BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        return static_cast<int>(s);
    }

    int connect(int sock, uint32_t address, uint16_t port) override {
        sockaddr_in addr = ipv4_address(address, port);
        return connect_address(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, 0);
    }

    static sockaddr_in ipv4_address(uint32_t address, uint16_t port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = address;
        addr.sin_port = ::htons(port);
        return addr;
    }

    int recv(int sock, char* buffer, int length) override {
        int n = ::recv(static_cast<SOCKET>(sock), buffer, length, 0);
        return n == SOCKET_ERROR ? -1 : n;
    }

    int send(int sock, const char* data, int length) override {
        int n = ::send(static_cast<SOCKET>(sock), data, length, 0);
        return n == SOCKET_ERROR ? -1 : n;
    }

    int shutdown_both(int sock) override { return ::shutdown(static_cast<SOCKET>(sock), 2); }

    int close(int sock) override { return ::closesocket(static_cast<SOCKET>(sock)); }

    int bytes_waiting(int sock, unsigned long* count) override {
        u_long n = 0;
        if (::ioctlsocket(static_cast<SOCKET>(sock), FIONREAD, &n) != 0) return -1;
        *count = n;
        return 0;
    }

    int gethostname(char* name, int length) override {
        return ::gethostname(name, length) == 0 ? 0 : -1;
    }

    int last_error() override { return ::WSAGetLastError(); }
    void set_last_error(int code) override { ::WSASetLastError(code); }

    // Waits in slices: a console's Ctrl-C runs its handler on a thread of
    // its own and wakes no select, so the request to stop is looked at
    // between slices.
    int wait_ready(int sock, bool for_write, unsigned timeout_ms) override {
        constexpr unsigned kSliceMs = 200;
        for (unsigned waited = 0;; waited += kSliceMs) {
            if (interrupt_requested()) {
                ::WSASetLastError(WSAEINTR);
                return -1;
            }
            unsigned slice = timeout_ms - waited < kSliceMs ? timeout_ms - waited : kSliceMs;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(static_cast<SOCKET>(sock), &set);
            timeval limit{0, static_cast<long>(slice) * 1000};
            int rc = ::select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr,
                              &limit);
            if (rc == SOCKET_ERROR) return -1;
            if (rc > 0) return 1;
            if (waited + slice >= timeout_ms) break;
        }
        ::WSASetLastError(WSAETIMEDOUT);
        return 0;
    }

    int connect_within(int sock, uint32_t address, uint16_t port, unsigned timeout_ms) override {
        sockaddr_in addr = ipv4_address(address, port);
        return connect_address(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr,
                               timeout_ms);
    }

    // A connection of either family, bounded by timeout_ms unless that is 0.
    int connect_address(int sock, const sockaddr* addr, int length, unsigned timeout_ms) {
        SOCKET s = static_cast<SOCKET>(sock);
        if (timeout_ms == 0) return ::connect(s, addr, length) == 0 ? 0 : -1;
        u_long on = 1;
        if (::ioctlsocket(s, FIONBIO, &on) != 0) return -1;
        if (::connect(s, addr, length) != 0) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK) return -1;
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit{static_cast<long>(timeout_ms / 1000),
                          static_cast<long>(timeout_ms % 1000) * 1000};
            int rc = ::select(0, nullptr, &writable, &failed, &limit);
            if (rc == SOCKET_ERROR) return -1;
            if (rc == 0) {
                ::WSASetLastError(WSAETIMEDOUT);
                return -1;
            }
            if (FD_ISSET(s, &failed)) {
                int error = 0;
                int length = sizeof error;
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
                ::WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
                return -1;
            }
        }
        u_long off = 0;
        return ::ioctlsocket(s, FIONBIO, &off) == 0 ? 0 : -1;
    }
};

}  // namespace

SocketApi& os_socket_api() {
    static WinsockApi api;
    return api;
}

}  // namespace brevorin::platform
