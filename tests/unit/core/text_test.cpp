// Numbers in server answers come from peers that may send anything; reading
// them must neither overflow nor wrap into a plausible value.
#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace brevorin {
namespace {

struct DecimalCase {
    const char* text;
    bool read;
    long long value;
    size_t consumed;
};

class ReadDecimal : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(ReadDecimal, ReadsClampsOrRefuses) {
    const DecimalCase& c = GetParam();
    const char* cursor = c.text;
    long long value = -12345;
    EXPECT_EQ(read_decimal(cursor, value), c.read);
    if (c.read) {
        EXPECT_EQ(value, c.value);
    }
    EXPECT_EQ(static_cast<size_t>(cursor - c.text), c.consumed);
}

constexpr long long kCap = 1000000000000000000LL;

INSTANTIATE_TEST_SUITE_P(
    Text, ReadDecimal,
    ::testing::Values(DecimalCase{"42 7", true, 42, 2}, DecimalCase{" \t-3x", true, -3, 4},
                      DecimalCase{"+0", true, 0, 2},
                      DecimalCase{"999999999999999999", true, 999999999999999999LL, 18},
                      DecimalCase{"1000000000000000000", true, kCap, 19},
                      // the 19th digit takes an unchecked product past 2^63
                      DecimalCase{"9999999999999999999", true, kCap, 19},
                      DecimalCase{"18446744073709551617", true, kCap, 20},
                      DecimalCase{"-99999999999999999999999999999 1", true, -kCap, 30},
                      DecimalCase{"", false, 0, 0}, DecimalCase{"-", false, 0, 0},
                      DecimalCase{"x1", false, 0, 0}));

}  // namespace
}  // namespace brevorin
