// The caller's server string: "host" or "host+port", the host a name, an
// IPv4 address or an IPv6 address in brackets ("[::1]+110").
#pragma once

#include <string>

namespace brevorin {

// Longest host part that fits the 516-byte command buffers.
constexpr size_t kMaxHostLength = 515;

struct ServerAddress {
    std::string host;
    int port = 0;
    bool port_given = false;
};

// False when the host part is too long. The port is read the way atoi reads
// it; default_port without '+'.
bool split_server(const char* server, int default_port, ServerAddress& out);

}  // namespace brevorin
