// What both TLS backends share.
#include "platform/tls.h"

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

bool is_ipv4(const std::string& s) {
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
        ++parts;
        if (i == s.size()) return parts == 4;
        if (s[i] != '.' || parts == 4) return false;
        ++i;
    }
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Groups of up to four hex digits separated by colons, at most one "::",
// optionally ending in a dotted IPv4 address; eight groups in all (an IPv4
// tail counts as two) unless "::" stands for the missing ones.
bool is_ipv6(const std::string& s) {
    if (s.size() < 2) return false;
    int groups = 0;
    bool gap = false;
    std::size_t i = 0;
    if (s.compare(0, 2, "::") == 0) {
        gap = true;
        i = 2;
        if (i == s.size()) return true;
    } else if (s[0] == ':') {
        return false;
    }
    while (i < s.size()) {
        std::size_t start = i;
        while (i < s.size() && is_hex(s[i]) && i - start < 4) ++i;
        if (i < s.size() && s[i] == '.') {
            if (!is_ipv4(s.substr(start))) return false;
            groups += 2;
            i = s.size();
            break;
        }
        if (i == start) return false;
        ++groups;
        if (i == s.size()) break;
        if (s[i] != ':') return false;
        ++i;
        if (i < s.size() && s[i] == ':') {
            if (gap) return false;
            gap = true;
            ++i;
            if (i == s.size()) break;
        } else if (i == s.size()) {
            return false;  // a single trailing colon
        }
    }
    return gap ? groups < 8 : groups == 8;
}

}  // namespace

bool is_ip_literal(const std::string& host) {
    std::string bare = unbracketed(host);
    if (bare.size() != host.size()) return is_ipv6(bare);
    return is_ipv4(bare) || is_ipv6(bare);
}

}  // namespace brevorin::platform
