// Which hosts count as address literals decides between SNI with a DNS-name
// check and an IP-address check; a wrong answer skips or breaks the check.
#include <gtest/gtest.h>

#include <string>

#include "platform/tls.h"

namespace brevorin::platform {
namespace {

struct HostCase {
    const char* host;
    bool literal;
};

class IpLiteralTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(IpLiteralTest, Classifies) {
    EXPECT_EQ(is_ip_literal(GetParam().host), GetParam().literal) << GetParam().host;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, IpLiteralTest,
    ::testing::Values(HostCase{"127.0.0.1", true}, HostCase{"255.255.255.255", true},
                      HostCase{"::1", true}, HostCase{"[::1]", true}, HostCase{"::", true},
                      HostCase{"fe80::1:2", true}, HostCase{"2001:db8:0:0:0:0:0:1", true},
                      HostCase{"::ffff:192.0.2.1", true}, HostCase{"1::", true},
                      HostCase{"localhost", false}, HostCase{"mail.example.org", false},
                      HostCase{"1.2.3", false}, HostCase{"1.2.3.4.5", false},
                      HostCase{"256.1.1.1", false}, HostCase{"1.2.3.4.example", false},
                      HostCase{"0x7f.0.0.1", false}, HostCase{"", false}, HostCase{"[]", false},
                      HostCase{"[127.0.0.1]", false}, HostCase{":::1", false},
                      HostCase{"1::2::3", false}, HostCase{"1:2:3:4:5:6:7:8:9", false},
                      HostCase{"1:2:3:4:5:6:7", false}, HostCase{"12345::1", false},
                      HostCase{"1:", false}, HostCase{"beef", false}));

TEST(Unbracketed, StripsOnlyAMatchingPair) {
    EXPECT_EQ(unbracketed("[::1]"), "::1");
    EXPECT_EQ(unbracketed("[::1"), "[::1");
    EXPECT_EQ(unbracketed("host"), "host");
}

}  // namespace
}  // namespace brevorin::platform
