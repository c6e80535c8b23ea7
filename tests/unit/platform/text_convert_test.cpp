// The platform's converter on input it cannot read: counted, each bad
// sequence becomes U+FFFD where the target has it and '?' where not; not
// counted, a '?' as it always was. Either way the rest is converted.
#include "platform/text_convert.h"

#include <gtest/gtest.h>

#include <string>

namespace brevorin::platform {
namespace {

const TextEncoding kUtf8{"UTF-8", 65001};
const TextEncoding kLatin1{"ISO-8859-1", 28591};
const TextEncoding kEucKr{"EUC-KR", 949};
const TextEncoding kShiftJis{"SHIFT_JIS", 932};

struct ConvertCase {
    const char* name;
    TextEncoding from;
    TextEncoding to;
    bool counted;
    std::string in;
    std::string out;
    size_t malformed;
    Converted result;
};

class ConvertText : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertText, ReplacesOnlyTheBadSequence) {
    const ConvertCase& c = GetParam();
    std::string out = "untouched";
    size_t malformed = 0;
    EXPECT_EQ(convert_text(c.from, c.to, c.in, out, c.counted ? &malformed : nullptr), c.result);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(malformed, c.malformed);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, ConvertText,
    ::testing::Values(ConvertCase{"euc_kr_counted", kEucKr, kUtf8, true, "\xB0\xA1 \xFF ok",
                                  "\xEA\xB0\x80 \xEF\xBF\xBD ok", 1, Converted::kLossy},
                      ConvertCase{"euc_kr_as_before", kEucKr, kUtf8, false, "\xB0\xA1 \xFF ok",
                                  "\xEA\xB0\x80 ? ok", 0, Converted::kLossy},
                      ConvertCase{"target_without_replacement", kEucKr, kLatin1, true,
                                  "a\xFF"
                                  "b",
                                  "a?b", 1, Converted::kLossy},
                      ConvertCase{"lead_byte_at_the_end", kShiftJis, kUtf8, true, "ab\x82",
                                  "ab\xEF\xBF\xBD", 1, Converted::kLossy},
                      ConvertCase{"two_faults_two_replacements", kUtf8, kLatin1, true,
                                  "\xFF\xC3\xA4\xFE", "?\xE4?", 2, Converted::kLossy},
                      // A U+FFFD that was sent is a character like any other.
                      ConvertCase{"sent_replacement_kept", kUtf8, kUtf8, true, "x\xEF\xBF\xBD",
                                  "x\xEF\xBF\xBD", 0, Converted::kExact},
                      ConvertCase{"well_formed", kLatin1, kUtf8, true, "\xE4", "\xC3\xA4", 0,
                                  Converted::kExact},
                      ConvertCase{"unknown_set", TextEncoding{"X-NO-SUCH-SET", 0}, kUtf8, true,
                                  "abc", "untouched", 0, Converted::kUnsupported}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brevorin::platform
