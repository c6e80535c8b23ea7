// Numbers in server answers come from peers that may send anything; reading
// them must neither overflow nor wrap into a plausible value.
#include "core/text.h"

#include <gtest/gtest.h>

namespace brevorin {
namespace {

TEST(ReadDecimal, ReadsClampsOrRefuses) {
    constexpr long long kCap = 1000000000000000000LL;
    const struct {
        const char* text;
        bool read;
        long long value;
        long consumed;
    } cases[] = {
        {"42 7", true, 42, 2},
        {" \t-3x", true, -3, 4},
        {"+0", true, 0, 2},
        {"999999999999999999", true, 999999999999999999LL, 18},
        {"1000000000000000000", true, kCap, 19},
        // the 19th digit takes an unchecked product past 2^63
        {"9999999999999999999", true, kCap, 19},
        {"-99999999999999999999999999999 1", true, -kCap, 30},
        {"", false, -1, 0},
        {"-", false, -1, 0},
        {"x1", false, -1, 0},
    };
    for (const auto& c : cases) {
        const char* cursor = c.text;
        long long value = -1;
        EXPECT_EQ(read_decimal(cursor, value), c.read) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(cursor - c.text, c.consumed) << c.text;
    }
}

}  // namespace
}  // namespace brevorin
