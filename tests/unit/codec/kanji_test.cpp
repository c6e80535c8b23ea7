#include "codec/kanji.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec_test_support.h"

namespace brevorin::test {
namespace {

const std::string kToKanji = "\x1b$B";
const std::string kToKana = "\x1b(I";
const std::string kToRoman = "\x1b(J";

std::string convert(int source, int target, const std::string& text) {
    std::string out = "unset";
    EXPECT_EQ(kanji_convert(source, target, text.c_str(), out), 0) << hex(text);
    return out;
}

TEST(KanjiConvert, RefusesUnknownFormsAndLeavesSameFormAlone) {
    std::string out = "kept";
    EXPECT_EQ(kanji_convert(kEuc, kEuc, "abc", out), 1);
    EXPECT_EQ(kanji_convert(kEuc, 11, "abc", out), -1);
    EXPECT_EQ(kanji_convert(15, kEuc, "abc", out), -1);
    EXPECT_EQ(out, "kept");
    for (int source : {kEuc, kSjis, kJis}) {
        for (int target : {kEuc, kSjis, kJis}) {
            if (source == target) continue;
            EXPECT_EQ(convert(source, target, ""), "");  // no escape for nothing
        }
    }
}

TEST(KanjiConvert, ConvertsCharactersBetweenForms) {
    EXPECT_EQ(convert(kSjis, kEuc, "\x81\x40"), "\xa1\xa1");
    EXPECT_EQ(convert(kSjis, kJis, "\x81\x40"), kToKanji + "\x21\x21" + kToRoman);
    EXPECT_EQ(convert(kEuc, kSjis, "\xe0\xa1"), "\xe0\x9f");
    EXPECT_EQ(convert(kSjis, kEuc, "\xb1"), "\x8e\xb1");
    EXPECT_EQ(convert(kSjis, kJis, "\xb1"), kToKana + "\x31" + kToRoman);
    EXPECT_EQ(convert(kJis, kSjis, kToKana + "\x31\x5f"), "\xb1\xdf");
    EXPECT_EQ(convert(kJis, kEuc, kToKana + "\x31"), "\x8e\xb1");
}

TEST(KanjiConvert, JisOutputSwitchesModesAndEndsEveryLineInRoman) {
    EXPECT_EQ(convert(kSjis, kJis,
                      "a\x81\x40\xb1"
                      "b\r\n\x81\x40\n"),
              "a" + kToKanji + "\x21\x21" + kToKana + "\x31" + kToRoman + "b\r\n" + kToKanji +
                  "\x21\x21" + kToRoman + "\n");
    // Consecutive characters of one kind share one escape.
    EXPECT_EQ(convert(kEuc, kJis, "\xa1\xa1\xa1\xa2\x8e\xb1\x8e\xb2\r\nx"),
              kToKanji + "\x21\x21\x21\x22" + kToKana + "\x31\x32" + kToRoman + "\r\nx");
}

TEST(KanjiConvert, ReturnsToAsciiOnlyWhenAsked) {
    // After ESC ( J a backslash and a tilde read as a yen sign and an
    // overline; after ESC ( B they are what they are.
    const std::string in[] = {"\xc6\xfc\\\r\n\x8e\xb1~", "\x93\xfa\\\r\n\xb1~"};
    for (const int source : {kEuc, kSjis}) {
        const std::string& text = in[source == kEuc ? 0 : 1];
        std::string ascii;
        ASSERT_EQ(kanji_convert(source, kJis, text.c_str(), ascii, RomanEscape::kAscii), 0);
        EXPECT_EQ(ascii, kToKanji + "F|\x1b(B\\\r\n" + kToKana + "1\x1b(B~");
        EXPECT_EQ(convert(source, kJis, text),
                  kToKanji + "F|" + kToRoman + "\\\r\n" + kToKana + "1" + kToRoman + "~");
        EXPECT_EQ(convert(kJis, source, ascii), text);
    }
}

// Half-width katakana written full-width, given in Shift-JIS (the EUC
// text is the same converted); out is the JIS between ESC $ B and ESC ( B.
struct FullWidthCase {
    const char* name;
    std::string sjis;
    std::string jis;
};

class KanjiFullWidth : public ::testing::TestWithParam<FullWidthCase> {};

TEST_P(KanjiFullWidth, WritesJisX0208InsteadOfHalfWidthKatakana) {
    const FullWidthCase& c = GetParam();
    const std::string euc = convert(kSjis, kEuc, c.sjis);
    for (const int source : {kSjis, kEuc}) {
        const std::string& text = source == kSjis ? c.sjis : euc;
        std::string out;
        ASSERT_EQ(kanji_convert(source, kJis, text.c_str(), out, RomanEscape::kAscii,
                                HalfWidthKana::kFullWidth),
                  0);
        EXPECT_EQ(hex(out), hex(c.jis)) << source;
        EXPECT_EQ(out.find(kToKana), std::string::npos);
    }
    // Unasked, the katakana stay half-width.
    EXPECT_NE(convert(kSjis, kJis, c.sjis).find(kToKana), std::string::npos);
}

const std::string kAscii = "\x1b(B";

INSTANTIATE_TEST_SUITE_P(
    Kana, KanjiFullWidth,
    ::testing::Values(FullWidthCase{"Alone", "\xb6", kToKanji + "%+" + kAscii},
                      FullWidthCase{"VoicedJoined", "\xb6\xde", kToKanji + "%," + kAscii},
                      FullWidthCase{"SemiVoicedJoined", "\xca\xdf", kToKanji + "%Q" + kAscii},
                      FullWidthCase{"VoicedU", "\xb3\xde", kToKanji + "%t" + kAscii},
                      // No JIS X 0208 character for the pair: the mark stands on its own.
                      FullWidthCase{"VoicedWaKeptApart", "\xdc\xde", kToKanji + "%o!+" + kAscii},
                      FullWidthCase{"SemiVoicedAKeptApart", "\xb1\xdf",
                                    kToKanji + "%\"!," + kAscii},
                      FullWidthCase{"MarksAlone", "\xde\xdf", kToKanji + "!+!," + kAscii},
                      FullWidthCase{"PunctuationAndLongVowel", "\xa1\xa2\xa3\xa4\xa5\xb0",
                                    kToKanji + "!#!V!W!\"!&!<" + kAscii},
                      // Beside kanji, one escape for both; the mark of the last katakana
                      // of a line is not looked for on the next.
                      FullWidthCase{"BesideKanjiAndAcrossLines",
                                    "\x93\xfa\xbb\xde\r\n\xb6"
                                    "a\r\n\xde",
                                    kToKanji + "F|%6" + kAscii + "\r\n" + kToKanji + "%+" + kAscii +
                                        "a\r\n" + kToKanji + "!+" + kAscii}),
    [](const ::testing::TestParamInfo<FullWidthCase>& info) { return info.param.name; });

TEST(KanjiConvert, FullWidthKatakanaGrowsBeyondTheHalfWidthWorstCase) {
    // One Shift-JIS byte becomes an escape and a pair: five bytes.
    std::string sjis;
    for (int i = 0; i < 501; ++i) sjis += i % 2 == 0 ? "\xb1" : "a";
    std::string out;
    ASSERT_EQ(kanji_convert(kSjis, kJis, sjis.c_str(), out, RomanEscape::kAscii,
                            HalfWidthKana::kFullWidth),
              0);
    EXPECT_EQ(out.size(), 251 * 5 + 250 * 4 + 3);
    EXPECT_EQ(out.substr(0, 10), kToKanji + "%\"" + kAscii + "a" + kToKanji.substr(0, 1));
}

TEST(KanjiConvert, JisInputAcceptsEveryEscapeForm) {
    EXPECT_EQ(convert(kJis, kEuc, "\x1b$@\x21\x21\x1b(Bx"), "\xa1\xa1x");
    EXPECT_EQ(convert(kJis, kSjis, "\x1bK\x21\x21\x1bHx"), "\x81\x40x");
    // An unknown escape returns to Roman mode and its byte is text.
    EXPECT_EQ(convert(kJis, kEuc, "\x1b$B\x21\x21\x1bZx"), "\xa1\xa1Zx");
    // A line break ends kanji mode even without an escape.
    EXPECT_EQ(convert(kJis, kEuc, "\x1b$B\x21\x21\nab"), "\xa1\xa1\nab");
}

TEST(KanjiConvert, InvalidAndCutBytesPassThrough) {
    const struct {
        int source, target;
        std::string in, out;
    } cases[] = {
        {kSjis, kEuc, "\x81\x20z", "\x81\x20z"},
        {kEuc, kSjis, "\xa1\x41z", "\xa1\x41z"},
        {kEuc, kSjis, "\x8e\xe0", "\x8e\xe0"},
        {kEuc, kJis, "\x8e\xe0", "\x8e\xe0"},
        {kSjis, kEuc, "\xf0\x40", "\xf0\x40"},  // 0xF0.. lead no pair
        {kEuc, kSjis,
         "\x8f"
         "a",
         "\x8f"
         "a"},  // nor does EUC 0x8F
        // Inside kanji text such bytes leave the mode as it is.
        {kEuc, kJis, "\xa1\xa1\xa1\x41", kToKanji + "\x21\x21\xa1\x41" + kToRoman},
        // A text cut inside a character keeps what it has.
        {kSjis, kJis, "\x81\x40\x81", kToKanji + "\x21\x21\x81" + kToRoman},
        {kEuc, kSjis, "a\xa1", "a\xa1"},
        {kEuc, kJis, "\x8e", "\x8e"},
        {kJis, kEuc, "\x1b$B\x21\x21\x30", "\xa1\xa1\x30"},
        // Escapes cut short select their mode and write nothing.
        {kJis, kEuc, "a\x1b", "a"},
        {kJis, kSjis, "a\x1b(", "a"},
        // Kanji-mode bytes are not range-checked: 0x80 + 0x80 makes a zero
        // byte, which ends the text.
        {kJis, kEuc, "\x1b$B\x21\x80xy", "\xa1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hex(convert(c.source, c.target, c.in)), hex(c.out)) << hex(c.in);
}

TEST(KanjiPairs, FollowTheShiftJisArithmetic) {
    unsigned char a = 0x81, b = 0x40;
    sjis_pair_to_jis(a, b);
    EXPECT_EQ(a * 256 + b, 0x2121);
    a = 0xE0, b = 0x9F;
    sjis_pair_to_jis(a, b);
    EXPECT_EQ(a * 256 + b, 0x6021);
    jis_pair_to_sjis(a, b);
    EXPECT_EQ(a * 256 + b, 0xE09F);
}

TEST(KanjiReadEscape, SetsModeAndConsumesTheSequence) {
    const struct {
        const char* after_esc;
        JisMode mode;
        size_t consumed;
    } cases[] = {
        {"$B", JisMode::kKanji, 2}, {"$@", JisMode::kKanji, 2}, {"(I", JisMode::kKatakana, 2},
        {"(J", JisMode::kRoman, 2}, {"(B", JisMode::kRoman, 2}, {"K", JisMode::kKanji, 1},
        {"H", JisMode::kRoman, 1},  {"x", JisMode::kRoman, 0},  {"$", JisMode::kKanji, 1},
        {"(", JisMode::kRoman, 1},  {"", JisMode::kRoman, 0},
    };
    for (const auto& c : cases) {
        JisMode mode = c.mode == JisMode::kKanji ? JisMode::kRoman : JisMode::kKanji;
        EXPECT_EQ(read_escape(reinterpret_cast<const unsigned char*>(c.after_esc), mode),
                  c.consumed)
            << c.after_esc;
        EXPECT_EQ(mode, c.mode) << c.after_esc;
    }
}

// Runs a converter in a buffer of exactly the promised size, guarded behind.
std::string run_guarded(size_t (*converter)(const char*, char*), const std::string& text) {
    const size_t size = kanji_buffer_size(text.size());
    std::vector<char> buffer(size + 16, '\x5a');
    const size_t length = converter(text.c_str(), buffer.data());
    EXPECT_LT(length, size);
    EXPECT_EQ(buffer[length], '\0');
    EXPECT_EQ(std::string(buffer.begin() + size, buffer.end()), std::string(16, '\x5a'));
    return std::string(buffer.data(), length);
}

TEST(KanjiConverters, WorstCaseGrowthFitsTheBuffer) {
    // Alternating katakana and letters cost an escape per byte.
    std::string sjis, euc;
    for (int i = 0; i < 501; ++i) sjis += i % 2 == 0 ? "\xb1" : "a";
    for (int i = 0; i < 501; ++i) euc += i % 2 == 0 ? "\x8e\xb1" : "a";
    const std::string worst = run_guarded(sjis_to_jis, sjis);
    EXPECT_EQ(worst.size(), 4 * sjis.size() + 3);
    run_guarded(euc_to_jis, euc);
    run_guarded(sjis_to_euc, std::string(300, '\xb1'));
    run_guarded(jis_to_euc, kToKana + std::string(300, '\x31'));
    // The entry starts with less room and grows it on the way.
    EXPECT_EQ(convert(kSjis, kJis, sjis), worst);
    const std::string long_sjis = std::string(5000, 'a') + sjis + sjis + sjis;
    EXPECT_EQ(convert(kSjis, kJis, long_sjis), run_guarded(sjis_to_jis, long_sjis));
}

}  // namespace
}  // namespace brevorin::test
