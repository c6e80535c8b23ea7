// The one rule both TLS backends follow for whether a certificate is for the
// host: a case that passes here wrongly would let a certificate for another
// server through in the DLL and the library alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tls.h"
#include "platform/tls_names.h"

namespace brevorin::platform {
namespace {

std::string ip(std::initializer_list<int> bytes) {
    std::string address;
    for (int b : bytes) address += static_cast<char>(b);
    return address;
}

const std::string kLoopback4 = ip({127, 0, 0, 1});
const std::string kLoopback6 = ip({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

struct NameCase {
    const char* what;
    std::vector<std::string> dns;
    std::vector<std::string> ips;
    std::string host;
    bool match;
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.what << " (" << c.host << ")";
}

class CertificateNamesTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(CertificateNamesTest, Decides) {
    const NameCase& c = GetParam();
    EXPECT_EQ(certificate_names_host(CertificateNames{c.dns, c.ips}, c.host), c.match);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, CertificateNamesTest,
    ::testing::Values(
        NameCase{"exact", {"mail.example.test"}, {}, "mail.example.test", true},
        NameCase{"any entry", {"other.test", "mail.example.test"}, {}, "mail.example.test", true},
        NameCase{"another name", {"mail.example.test"}, {}, "pop.example.test", false},
        NameCase{"a suffix of the entry", {"mail.example.test"}, {}, "example.test", false},
        NameCase{"case", {"Mail.Example.TEST"}, {}, "mail.EXAMPLE.test", true},
        NameCase{"host trailing dot", {"mail.example.test"}, {}, "mail.example.test.", true},
        NameCase{"host two trailing dots", {"mail.example.test"}, {}, "mail.example.test..", false},
        NameCase{"host empty label", {"mail.example.test"}, {}, "mail..example.test", false},
        NameCase{"wildcard one label", {"*.example.test"}, {}, "mail.example.test", true},
        NameCase{"wildcard, case", {"*.EXAMPLE.test"}, {}, "Mail.example.TEST", true},
        NameCase{"wildcard, trailing dot", {"*.example.test"}, {}, "mail.example.test.", true},
        NameCase{"wildcard two labels", {"*.example.test"}, {}, "a.mail.example.test", false},
        NameCase{"wildcard no label", {"*.example.test"}, {}, "example.test", false},
        NameCase{"wildcard empty label", {"*.example.test"}, {}, ".example.test", false},
        NameCase{"partial wildcard head", {"f*.example.test"}, {}, "foo.example.test", false},
        NameCase{"partial wildcard tail", {"*oo.example.test"}, {}, "foo.example.test", false},
        NameCase{"wildcard not leftmost", {"mail.*.test"}, {}, "mail.example.test", false},
        NameCase{"two wildcards", {"*.*.test"}, {}, "a.example.test", false},
        NameCase{"bare-domain wildcard", {"*.test"}, {}, "example.test", false},
        NameCase{"lone star", {"*"}, {}, "example", false},
        NameCase{"lone star, dotted host", {"*"}, {}, "example.test", false},
        NameCase{
            "wildcard vs A-label", {"*.example.test"}, {}, "xn--bcher-kva.example.test", false},
        NameCase{"wildcard vs A-label, case",
                 {"*.example.test"},
                 {},
                 "XN--bcher-kva.example.test",
                 false},
        NameCase{"A-label spelled out",
                 {"xn--bcher-kva.example.test"},
                 {},
                 "xn--bcher-kva.example.test",
                 true},
        NameCase{"wildcard over an A-label parent",
                 {"*.xn--bcher-kva.test"},
                 {},
                 "mail.xn--bcher-kva.test",
                 true},
        NameCase{"U-label host",
                 {"xn--bcher-kva.example.test"},
                 {},
                 "b\303\274cher.example.test",
                 false},
        NameCase{"U-label host, same bytes",
                 {"b\303\274cher.example.test"},
                 {},
                 "b\303\274cher.example.test",
                 false},
        NameCase{"host with a star", {"*.example.test"}, {}, "*.example.test", false},
        NameCase{"entry with a NUL",
                 {std::string("mail.example.test\0.evil.test", 28)},
                 {},
                 "mail.example.test",
                 false},
        NameCase{"IPv4 vs IP entry", {}, {kLoopback4}, "127.0.0.1", true},
        NameCase{"IPv4 vs other IP", {}, {ip({127, 0, 0, 2})}, "127.0.0.1", false},
        NameCase{"IPv4 vs DNS entry", {"127.0.0.1"}, {}, "127.0.0.1", false},
        NameCase{"IPv4 vs wildcard entry", {"*.0.0.1"}, {}, "127.0.0.1", false},
        NameCase{"IPv4 vs IPv4-mapped",
                 {},
                 {ip({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1})},
                 "127.0.0.1",
                 false},
        NameCase{"IPv6", {}, {kLoopback6}, "::1", true},
        NameCase{"IPv6 bracketed", {}, {kLoopback6}, "[::1]", true},
        NameCase{"IPv6 other spelling", {}, {kLoopback6}, "0:0::1", true},
        NameCase{"IPv6 spelled out", {}, {kLoopback6}, "0000:0:0:0:0:0:0:0001", true},
        NameCase{"IPv6 vs IPv4 entry", {}, {kLoopback4}, "::1", false},
        NameCase{"IPv6 vs DNS entry", {"::1"}, {}, "::1", false},
        NameCase{"IPv4 entry vs DNS host", {}, {kLoopback4}, "localhost", false},
        NameCase{"CN only: no entries", {}, {}, "mail.example.test", false},
        NameCase{"empty host", {"mail.example.test"}, {}, "", false}));

struct AddressCase {
    const char* host;
    std::string address;
};

class IpLiteralAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(IpLiteralAddressTest, Parses) {
    EXPECT_EQ(ip_literal_address(GetParam().host), GetParam().address) << GetParam().host;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, IpLiteralAddressTest,
    ::testing::Values(
        AddressCase{"127.0.0.1", kLoopback4},
        AddressCase{"192.168.010.255", ip({192, 168, 10, 255})}, AddressCase{"::1", kLoopback6},
        AddressCase{"[::1]", kLoopback6}, AddressCase{"::", std::string(16, '\0')},
        AddressCase{"2001:DB8::a:b",
                    ip({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0, 0x0b})},
        AddressCase{"1::", ip({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        AddressCase{"1:2:3:4:5:6:7:8", ip({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8})},
        AddressCase{"1:2:3:4:5:6::8", ip({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 0, 0, 8})},
        AddressCase{"::ffff:192.0.2.1",
                    ip({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1})},
        AddressCase{"1:2:3:4:5:6:1.2.3.4", ip({0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4})},
        AddressCase{"1:2:3:4:5:6:7:1.2.3.4", ""}, AddressCase{"1:2:3:4:5:6:7:8:9", ""},
        AddressCase{"1:2:3:4::5:6:7:8", ""}, AddressCase{"[127.0.0.1]", ""},
        AddressCase{"localhost", ""}, AddressCase{"", ""}));

}  // namespace
}  // namespace brevorin::platform
