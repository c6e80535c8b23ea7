// Windows Sockets 1.1 as it is.
#include <winsock.h>

#include <cstring>

#include "platform/sockets.h"

namespace brevorin::platform {

namespace {

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

    int socket_stream() override {
        SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) return -1;
        // The connection gathers its writes itself; Nagle would only hold
        // back the last small piece of each (the final dot of a message).
        BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        return static_cast<int>(s);
    }

    int connect(int sock, uint32_t address, uint16_t port) override {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = address;
        addr.sin_port = ::htons(port);
        return ::connect(static_cast<SOCKET>(sock), reinterpret_cast<sockaddr*>(&addr),
                         sizeof addr) == 0
                   ? 0
                   : -1;
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
            int rc = ::select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &limit);
            if (rc == SOCKET_ERROR) return -1;
            if (rc > 0) return 1;
            if (waited + slice >= timeout_ms) break;
        }
        ::WSASetLastError(WSAETIMEDOUT);
        return 0;
    }

    int connect_within(int sock, uint32_t address, uint16_t port, unsigned timeout_ms) override {
        SOCKET s = static_cast<SOCKET>(sock);
        u_long on = 1;
        if (::ioctlsocket(s, FIONBIO, &on) != 0) return -1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = address;
        addr.sin_port = ::htons(port);
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
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
