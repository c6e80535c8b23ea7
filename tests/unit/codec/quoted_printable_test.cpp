// Quoted-printable decoding by each of its forms, every input also fed in
// pieces of every size: a rule that holds only when a line arrives whole is
// a fault a network read would find.
#include "codec/quoted_printable.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "codec_test_support.h"

namespace brevorin::test {
namespace {

using Form = QpDecoder::Form;

struct Decoded {
    std::string text;
    bool failed;
    bool escaped;
};

Decoded decode(Form form, const std::string& in, size_t step) {
    QpDecoder decoder(form);
    Decoded d;
    d.text = fed_in_pieces(decoder, in, step);
    d.failed = decoder.failed();
    d.escaped = decoder.decoded_escape();
    return d;
}

// The classic form, as received text has always been read.
struct ClassicCase {
    const char* name;
    std::string in;
    std::optional<std::string> out;  // none: the text fails
    bool escaped;
};

class ClassicQp : public ::testing::TestWithParam<ClassicCase> {};

TEST_P(ClassicQp, DecodesAlikeInAnyPieces) {
    const ClassicCase& c = GetParam();
    for (size_t step : every_piece_size(c.in)) {
        const Decoded d = decode(Form::kClassicText, c.in, step);
        ASSERT_EQ(d.failed, !c.out.has_value()) << "pieces of " << step;
        if (!c.out) continue;
        EXPECT_EQ(d.text, *c.out) << "pieces of " << step;
        EXPECT_EQ(d.escaped, c.escaped) << "pieces of " << step;
    }
}

const std::string k2046(2046, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassicQp,
    ::testing::Values(
        // Escapes in either case; no underscore rule.
        ClassicCase{"twoEscapes", "=41=42", "AB", true},
        ClassicCase{"eitherCase", "Caf=e9 =E9", "Caf\xe9 \xe9", true},
        ClassicCase{"escapedNul", "=00x", std::string("\0x", 2), true},
        ClassicCase{"plain", "plain", "plain", false}, ClassicCase{"empty", "", "", false},
        ClassicCase{"underscoreKept", "a_b", "a_b", false},
        // Malformed escapes pass through, the character after a digit taken
        // with it, even an "=".
        ClassicCase{"badSecondDigit", "=4G!", "=4G!", false},
        ClassicCase{"oneDigitAtTheEnd", "x=4", "x=4", false},
        ClassicCase{"markAtTheEnd", "x=", "x=", false},
        ClassicCase{"markBeforeEscape", "==41", "==41", false},
        ClassicCase{"badFirstDigit", "=G1", "=G1", false},
        ClassicCase{"digitThenEscape", "=4=41", "=4=41", false},
        // Soft breaks join lines only with CR LF; blanks before one go.
        ClassicCase{"softBreak", "abc=\r\ndef", "abcdef", false},
        ClassicCase{"markBeforeLineFeed", "abc=\ndef", "abc=\ndef", false},
        ClassicCase{"markBeforeCarriageReturn", "abc=\rdef", "abc=\rdef", false},
        ClassicCase{"blanksBeforeSoftBreak", "abc= \t\r\ndef", "abcdef", false},
        ClassicCase{"softBreaksInARow", "a=\r\n=\r\nb=3D", "ab=", true},
        // Trailing blanks go, line endings stay as they came.
        ClassicCase{"trailingBlanks", "abc  \r\n", "abc\r\n", false},
        ClassicCase{"everyEnding", "a \t\nb\t\rc \r\rd  ", "a\nb\rc\r\rd", false},
        ClassicCase{"blankLines", "  \r\n \n", "\r\n\n", false},
        ClassicCase{"escapedBlankKept", "x =20\r\n", "x  \r\n", true},
        // The line limit, trailing blanks counted.
        ClassicCase{"longestLine", k2046, k2046, false},
        ClassicCase{"longestLineBetweenOthers", "x\r\n" + k2046 + "\r\nx",
                    "x\r\n" + k2046 + "\r\nx", false},
        ClassicCase{"lineTooLong", std::string(2047, 'a'), std::nullopt, false},
        ClassicCase{"laterLineTooLong", "ok\n" + std::string(5000, 'a'), std::nullopt, false},
        ClassicCase{"blanksMakeItTooLong", std::string(2000, 'a') + std::string(47, ' '),
                    std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClassicQp, FailureLeavesTheOutputAsItWas) {
    std::string out = "kept";
    EXPECT_FALSE(qp_decode_whole(Form::kClassicText, "ok\r\n" + std::string(2047, 'a'), out));
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(qp_decode_whole(Form::kClassicText, "=41", out));
    EXPECT_EQ(out, "A");
}

// Broken input: what the classic and the modern rule each make of it.
struct BrokenCase {
    const char* name;
    std::string in;
    std::optional<std::string> classic;  // none: the text fails
    std::string modern;
};

class BrokenQp : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenQp, EachRuleReadsItsWayInAnyPieces) {
    const BrokenCase& c = GetParam();
    for (size_t step : every_piece_size(c.in)) {
        const Decoded classic = decode(Form::kClassicText, c.in, step);
        EXPECT_EQ(classic.failed, !c.classic.has_value()) << "pieces of " << step;
        if (c.classic) {
            EXPECT_EQ(classic.text, *c.classic) << "pieces of " << step;
        }
        const Decoded modern = decode(Form::kText, c.in, step);
        EXPECT_FALSE(modern.failed);
        EXPECT_EQ(modern.text, c.modern) << "pieces of " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenQp,
    ::testing::Values(
        BrokenCase{"markAtTheEnd", "ab=", "ab=", "ab"},
        BrokenCase{"oneDigitAtTheEnd", "ab=4", "ab=4", "ab=4"},
        BrokenCase{"nonHexDigit", "a=G1b", "a=G1b", "a=G1b"},
        BrokenCase{"lowercaseHex", "caf=c3=a9", "caf\xc3\xa9", "caf\xc3\xa9"},
        BrokenCase{"markBeforeLoneCr", "a=\rb", "a=\rb", "a=\rb"},
        BrokenCase{"markAndCrAtTheEnd", "a=\r", "a=\r", "a"},
        BrokenCase{"softBreakAtTheEnd", "ab=\r\n", "ab", "ab"},
        BrokenCase{"blanksBeforeCrLf", "ab \t \r\ncd\t\r\n", "ab\r\ncd\r\n", "ab\r\ncd\r\n"},
        BrokenCase{"blanksAfterMark", "a= \t\r\nb", "ab", "ab"},
        BrokenCase{"bareLineFeeds", "a\nb=\nc\n", "a\nb=\nc\n", "a\r\nbc\r\n"},
        BrokenCase{"crLfSplitFromItsCr", "a\r\r\nb", "a\r\r\nb", "a\r\r\nb"},
        BrokenCase{"markBeforeEscape", "==41", "==41", "=A"},
        BrokenCase{"digitThenEscape", "=4=41", "=4=41", "=4A"},
        BrokenCase{"twoMarksBeforeCrLf", "a==\r\nb", "a==\r\nb", "a=b"},
        BrokenCase{"nulEndsClassicText", std::string("ab\0=41\r\n", 8), "ab",
                   std::string("ab\0A\r\n", 6)},
        BrokenCase{"nulAfterMark", std::string("ab=\0cd", 6), "ab=", std::string("ab=\0cd", 6)},
        BrokenCase{"overlongLine", std::string(2047, 'q'), std::nullopt, std::string(2047, 'q')},
        BrokenCase{"overlongLineAfterSoftBreak", "x=\r\n" + std::string(2047, '='), std::nullopt,
                   "x" + std::string(2046, '=')}),
    [](const auto& info) { return std::string(info.param.name); });

// Q encoded words: "_" is a space and there are no lines to read.
struct WordCase {
    const char* name;
    std::string in;
    std::string out;
};

class QWords : public ::testing::TestWithParam<WordCase> {};

TEST_P(QWords, DecodeAlikeInAnyPieces) {
    const WordCase& c = GetParam();
    for (size_t step : every_piece_size(c.in))
        EXPECT_EQ(decode(Form::kWord, c.in, step).text, c.out) << "pieces of " << step;
}

INSTANTIATE_TEST_SUITE_P(Cases, QWords,
                         ::testing::Values(WordCase{"underscoreIsSpace", "a_b=3F", "a b?"},
                                           WordCase{"escapedUnderscoreStays", "=5F_", "_ "},
                                           WordCase{"lowercaseHex", "caf=c3=a9", "caf\xc3\xa9"},
                                           WordCase{"noSoftBreak", "a=\r\nb", "a=\r\nb"},
                                           WordCase{"blanksKept", "x \t\r\n", "x \t\r\n"},
                                           WordCase{"markBeforeEscape", "==41", "=A"},
                                           WordCase{"truncatedEscape", "ab=4", "ab=4"},
                                           WordCase{"markAtTheEnd", "ab=", "ab="},
                                           WordCase{"nulPassesThrough", std::string("a=00b", 5),
                                                    std::string("a\0b", 3)}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brevorin::test
