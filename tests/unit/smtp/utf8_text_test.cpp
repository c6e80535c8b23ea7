// What counts as UTF-8 when a US-ASCII host hands over 8-bit text: only
// well-formed sequences, so that nothing is labelled UTF-8 that a reader
// would show as replacement characters.
#include <gtest/gtest.h>

#include <string>

#include "core/text.h"

namespace brevorin {
namespace {

TEST(Utf8Text, OnlyWellFormedSequencesPass) {
    struct Case {
        std::string text;
        bool utf8;
    };
    for (const Case& c : {Case{"ascii", true},
                          Case{"Gr\xc3\xbc\xc3\x9f"
                               "e",
                               true},
                          Case{"\xe2\x82\xac", true}, Case{"\xf0\x9f\x98\x80", true},
                          Case{"\xf4\x8f\xbf\xbf", true},  // U+10FFFF, the last
                          Case{"Gr\xfc\xdf"
                               "e",
                               false},                      // Latin-1
                          Case{"\xc0\xaf", false},          // overlong slash
                          Case{"\xe0\x9f\xbf", false},      // overlong, three bytes
                          Case{"\xed\xa0\x80", false},      // a surrogate
                          Case{"\xf4\x90\x80\x80", false},  // past U+10FFFF
                          Case{"\xe2\x82", false},          // cut short
                          Case{"\xe2\x28\xac", false}}) {   // a bad continuation
        EXPECT_EQ(is_utf8(c.text), c.utf8) << testing::PrintToString(c.text);
    }
}

}  // namespace
}  // namespace brevorin
