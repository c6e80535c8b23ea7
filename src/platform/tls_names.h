// Whether a server certificate is for the host we connected to. Decided here,
// not by the TLS libraries, so that the Linux library and the Windows DLL
// accept and refuse the same certificates (Wine's SChannel checks no names
// at all, and OpenSSL's and Windows' rules differ at the edges).
#pragma once

#include <string>
#include <vector>

namespace brevorin::platform {

// The subjectAltName entries of a certificate that can name a server. The
// subject's CN is deliberately absent: it never counts.
struct CertificateNames {
    std::vector<std::string> dns;  // dNSName entries, as the certificate has them
    std::vector<std::string> ip;   // iPAddress entries, 4 or 16 bytes each
};

// host is a DNS name, or an IP literal (IPv6 possibly in brackets). A DNS
// name matches a dNSName entry ignoring ASCII case and a trailing dot of the
// host; an entry "*.rest" covers one extra leftmost label that is not an IDN
// A-label, when rest has at least two labels. An IP literal matches an
// iPAddress entry with the same address, never a dNSName spelling it. A host
// with non-ASCII bytes matches nothing: it would have to be compared in its
// A-label form, which we do not compute.
bool certificate_names_host(const CertificateNames& names, const std::string& host);

}  // namespace brevorin::platform
