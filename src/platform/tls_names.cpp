#include "platform/tls_names.h"

#include <cstddef>

#include "platform/tls.h"

namespace brevorin::platform {

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(const char* a, std::size_t a_length, const std::string& b) {
    if (a_length != b.size()) return false;
    for (std::size_t i = 0; i < a_length; ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

// Dot-separated non-empty labels of letters, digits, hyphens and underscores
// (which some internal hosts have). Anything else, a non-ASCII byte above
// all, could only be compared after a conversion we do not make.
bool is_dns_name(const std::string& name) {
    if (name.empty()) return false;
    bool label_empty = true;
    for (char c : name) {
        if (c == '.') {
            if (label_empty) return false;
            label_empty = true;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_') {
            label_empty = false;
        } else {
            return false;
        }
    }
    return !label_empty;
}

// "*.rest" with rest of two labels or more: a wildcard over a single label
// ("*.com", "*") would cover whole top-level domains.
bool covers(const std::string& pattern, const std::string& host) {
    if (pattern.size() < 2 || pattern[0] != '*' || pattern[1] != '.') return false;
    const std::string rest = pattern.substr(2);
    if (!is_dns_name(rest) || rest.find('.') == std::string::npos) return false;
    std::size_t dot = host.find('.');
    if (dot == std::string::npos) return false;
    // An A-label stands for an internationalised name whose characters the
    // wildcard was never meant to cover.
    if (dot >= 4 && same_ignoring_case(host.data(), 4, "xn--")) return false;
    return same_ignoring_case(host.data() + dot + 1, host.size() - dot - 1, rest);
}

}  // namespace

bool certificate_names_host(const CertificateNames& names, const std::string& host) {
    const std::string address = ip_literal_address(host);
    if (!address.empty()) {
        for (const std::string& entry : names.ip) {
            if (entry == address) return true;
        }
        return false;
    }
    std::string name = host;
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    if (!is_dns_name(name)) return false;
    for (const std::string& entry : names.dns) {
        if (same_ignoring_case(entry.data(), entry.size(), name) || covers(entry, name))
            return true;
    }
    return false;
}

}  // namespace brevorin::platform
