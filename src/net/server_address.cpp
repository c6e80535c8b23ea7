#include "net/server_address.h"

#include <cstring>

#include "core/text.h"

namespace brevorin {

bool split_server(const char* server, int default_port, ServerAddress& out) {
    const char* plus = std::strchr(server, '+');
    size_t host_length = plus != nullptr ? static_cast<size_t>(plus - server) : std::strlen(server);
    if (host_length > kMaxHostLength) return false;
    out.host.assign(server, host_length);
    out.port_given = plus != nullptr;
    out.port = out.port_given ? parse_int_like_atoi(plus + 1) : default_port;
    return true;
}

}  // namespace brevorin
