// What both TLS backends share.
#include "platform/tls.h"

#include <cstring>

namespace brevorin::platform {

const char* describe(TlsFailure failure) {
    switch (failure) {
        case TlsFailure::kNone: return "none";
        case TlsFailure::kUnavailable: return "unavailable";
        case TlsFailure::kCaFile: return "ca file unusable";
        case TlsFailure::kTransport: return "transport";
        case TlsFailure::kProtocol: return "protocol";
        case TlsFailure::kUntrusted: return "untrusted issuer";
        case TlsFailure::kNameMismatch: return "name mismatch";
        case TlsFailure::kExpired: return "expired";
    }
    return "unknown";
}

std::string unbracketed(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

namespace {

// Four dotted decimals, each at most three digits and 255.
bool parse_ipv4(const std::string& s, unsigned char* out) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t start = i;
        unsigned value = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 3) {
            value = value * 10 + static_cast<unsigned>(s[i] - '0');
            ++i;
        }
        if (i == start || value > 255) return false;
        out[parts++] = static_cast<unsigned char>(value);
        if (i == s.size()) return parts == 4;
        if (s[i] != '.' || parts == 4) return false;
        ++i;
    }
}

unsigned hex_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 16;
}

// Groups of up to four hex digits separated by colons, at most one "::",
// optionally ending in a dotted IPv4 address; eight groups in all (an IPv4
// tail counts as two) unless "::" stands for the missing ones.
bool parse_ipv6(const std::string& s, unsigned char* out) {
    if (s.size() < 2) return false;
    // The groups before the gap fill the address from the front, the ones
    // after it are moved to its end once their number is known.
    unsigned char after[16];
    int before_bytes = 0;
    int after_bytes = 0;
    bool gap = false;
    auto put = [&](unsigned char byte) {
        if (gap) {
            after[after_bytes++] = byte;
        } else {
            out[before_bytes++] = byte;
        }
    };
    std::size_t i = 0;
    if (s.compare(0, 2, "::") == 0) {
        gap = true;
        i = 2;
    } else if (s[0] == ':') {
        return false;
    }
    while (i < s.size()) {
        if (before_bytes + after_bytes == 16) return false;
        std::size_t start = i;
        unsigned group = 0;
        while (i < s.size() && hex_value(s[i]) < 16 && i - start < 4)
            group = group * 16 + hex_value(s[i++]);
        if (i < s.size() && s[i] == '.') {
            unsigned char v4[4];
            if (before_bytes + after_bytes > 12 || !parse_ipv4(s.substr(start), v4)) return false;
            for (unsigned char byte : v4) put(byte);
            break;
        }
        if (i == start) return false;
        put(static_cast<unsigned char>(group >> 8));
        put(static_cast<unsigned char>(group & 0xff));
        if (i == s.size()) break;
        if (s[i] != ':') return false;
        ++i;
        if (i < s.size() && s[i] == ':') {
            if (gap) return false;
            gap = true;
            ++i;
        } else if (i == s.size()) {
            return false;  // a single trailing colon
        }
    }
    int bytes = before_bytes + after_bytes;
    if (gap ? bytes > 14 : bytes != 16) return false;
    std::memset(out + before_bytes, 0, static_cast<std::size_t>(16 - bytes));
    std::memcpy(out + 16 - after_bytes, after, static_cast<std::size_t>(after_bytes));
    return true;
}

}  // namespace

std::string ip_literal_address(const std::string& host) {
    unsigned char address[16];
    std::string bare = unbracketed(host);
    if (bare.size() == host.size() && parse_ipv4(bare, address)) {
        return std::string(reinterpret_cast<const char*>(address), 4);
    }
    if (parse_ipv6(bare, address)) return std::string(reinterpret_cast<const char*>(address), 16);
    return std::string();
}

bool is_ip_literal(const std::string& host) {
    return !ip_literal_address(host).empty();
}

}  // namespace brevorin::platform
