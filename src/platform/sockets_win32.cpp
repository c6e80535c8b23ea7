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
        return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
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
};

}  // namespace

SocketApi& os_socket_api() {
    static WinsockApi api;
    return api;
}

}  // namespace brevorin::platform
