#include "platform/sockets.h"

#include <csignal>

namespace brevorin::platform {

namespace {
SocketApi* g_api = nullptr;
volatile std::sig_atomic_t g_interrupt = 0;
}  // namespace

void request_interrupt() {
    g_interrupt = 1;
}

bool interrupt_requested() {
    return g_interrupt != 0;
}

SocketApi& socket_api() {
    return g_api != nullptr ? *g_api : os_socket_api();
}

void set_socket_api(SocketApi* api) {
    g_api = api;
}

int SocketApi::resolve(const char* host, uint16_t port, std::vector<Endpoint>& out) {
    out.clear();
    uint32_t address = 0;
    int length = 0;
    if (gethostbyname(host, &address, &length) != 0) return -1;
    if (length != 4 && length != 8) {
        set_last_error(0);
        return -1;
    }
    Endpoint endpoint;
    endpoint.ipv4 = address;
    endpoint.port = port;
    out.push_back(endpoint);
    return 0;
}

int SocketApi::socket_for(const Endpoint& endpoint) {
    if (endpoint.ipv6) {
        set_last_error(kWsaEafnosupport);
        return -1;
    }
    return socket_stream();
}

int SocketApi::connect_endpoint(int sock, const Endpoint& endpoint, unsigned timeout_ms) {
    if (endpoint.ipv6) {
        set_last_error(kWsaEafnosupport);
        return -1;
    }
    return timeout_ms == 0 ? connect(sock, endpoint.ipv4, endpoint.port)
                           : connect_within(sock, endpoint.ipv4, endpoint.port, timeout_ms);
}

}  // namespace brevorin::platform
