#include "net/server_address.h"

#include <cstring>

#include "core/text.h"

namespace brevorin {

bool split_server(const char* server, int default_port, ServerAddress& out) {
    // An IPv6 literal stands in brackets: "[::1]+110".
    const char* close = server[0] == '[' ? std::strchr(server, ']') : nullptr;
    if (close != nullptr && (close[1] == '\0' || close[1] == '+')) {
        size_t length = static_cast<size_t>(close - server - 1);
        if (length > kMaxHostLength) return false;
        out.host.assign(server + 1, length);
        out.port_given = close[1] == '+';
        out.port = out.port_given ? parse_int_like_atoi(close + 2) : default_port;
        return true;
    }
    const char* plus = std::strchr(server, '+');
    size_t host_length = plus != nullptr ? static_cast<size_t>(plus - server) : std::strlen(server);
    if (host_length > kMaxHostLength) return false;
    out.host.assign(server, host_length);
    out.port_given = plus != nullptr;
    out.port = out.port_given ? parse_int_like_atoi(plus + 1) : default_port;
    return true;
}

}  // namespace brevorin
