#include "codec/kanji.h"

#include <gtest/gtest.h>

#include <cstring>
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
    EXPECT_EQ(KANJI_CONVERT(source, target, text.c_str(), out), 0) << hex(text);
    return out;
}

TEST(KanjiConvert, RefusesUnknownFormsAndLeavesSameFormAlone) {
    std::string out = "kept";
    EXPECT_EQ(KANJI_CONVERT(CODE_EUC, CODE_EUC, "abc", out), 1);
    EXPECT_EQ(KANJI_CONVERT(CODE_JIS, CODE_JIS, "abc", out), 1);
    EXPECT_EQ(KANJI_CONVERT(CODE_EUC, 11, "abc", out), -1);
    EXPECT_EQ(KANJI_CONVERT(15, CODE_EUC, "abc", out), -1);
    EXPECT_EQ(KANJI_CONVERT(0, 0, "abc", out), -1);
    EXPECT_EQ(out, "kept");
}

TEST(KanjiConvert, EmptyTextStaysEmptyWithoutEscapes) {
    for (int source : {CODE_EUC, CODE_SJIS, CODE_JIS}) {
        for (int target : {CODE_EUC, CODE_SJIS, CODE_JIS}) {
            if (source == target) continue;
            EXPECT_EQ(convert(source, target, ""), "");
        }
    }
}

TEST(KanjiConvert, ConvertsKanjiBetweenAllForms) {
    // The ideographic space and the first character of row 0x60.
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, "\x81\x40"), "\xa1\xa1");
    EXPECT_EQ(convert(CODE_SJIS, CODE_JIS, "\x81\x40"), kToKanji + "\x21\x21" + kToRoman);
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, "\xe0\x9f"), "\xe0\xa1");
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\xe0\xa1"), "\xe0\x9f");
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\xa1\xa1"), "\x81\x40");
    // "Nihongo" in each form.
    const std::string euc = "\xc6\xfc\xcb\xdc\xb8\xec";
    const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea";
    const std::string jis = kToKanji + "\x46\x7c\x4b\x5c\x38\x6c" + kToRoman;
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, euc), sjis);
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, euc), jis);
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, sjis), euc);
    EXPECT_EQ(convert(CODE_SJIS, CODE_JIS, sjis), jis);
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, jis), euc);
    EXPECT_EQ(convert(CODE_JIS, CODE_SJIS, jis), sjis);
}

TEST(KanjiConvert, ConvertsHalfWidthKatakana) {
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, "\xb1"), "\x8e\xb1");
    EXPECT_EQ(convert(CODE_SJIS, CODE_JIS, "\xb1"), kToKana + "\x31" + kToRoman);
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\x8e\xb1"), "\xb1");
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\x8e\xb1\x8e\xdf"), kToKana + "\x31\x5f" + kToRoman);
    EXPECT_EQ(convert(CODE_JIS, CODE_SJIS, kToKana + "\x31\x5f"), "\xb1\xdf");
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, kToKana + "\x31"), "\x8e\xb1");
}

TEST(KanjiConvert, JisOutputSwitchesModesAndEndsEveryLineInRoman) {
    const std::string sjis = "a\x81\x40\xb1" "b\r\n\x81\x40\n";
    EXPECT_EQ(convert(CODE_SJIS, CODE_JIS, sjis),
              "a" + kToKanji + "\x21\x21" + kToKana + "\x31" + kToRoman + "b\r\n" + kToKanji +
                  "\x21\x21" + kToRoman + "\n");
    // A kanji run right before CR LF is closed before the CR, and the next
    // line begins without an escape.
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\xa1\xa1\r\nx"),
              kToKanji + "\x21\x21" + kToRoman + "\r\nx");
    // Consecutive characters of one kind share one escape.
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\xa1\xa1\xa1\xa2\x8e\xb1\x8e\xb2"),
              kToKanji + "\x21\x21\x21\x22" + kToKana + "\x31\x32" + kToRoman);
}

TEST(KanjiConvert, JisInputAcceptsEveryEscapeForm) {
    // ESC $ @ reads like ESC $ B, ESC ( B like ESC ( J.
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "\x1b$@\x21\x21\x1b(Bx"), "\xa1\xa1x");
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "\x1b$B\x21\x21\x1b(Jx"), "\xa1\xa1x");
    EXPECT_EQ(convert(CODE_JIS, CODE_SJIS, "\x1bK\x21\x21\x1bHx"), "\x81\x40x");
    // An unknown escape returns to Roman mode and its byte is text.
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "\x1b$B\x21\x21\x1bZx"), "\xa1\xa1Zx");
    // A line break ends kanji mode even without an escape.
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "\x1b$B\x21\x21\nab"), "\xa1\xa1\nab");
    EXPECT_EQ(convert(CODE_JIS, CODE_SJIS, "\x1b$B\x21\x21\rab"), "\x81\x40\rab");
}

TEST(KanjiConvert, InvalidBytesPassThrough) {
    // A lead byte without a valid trail byte goes out with that byte.
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, "\x81\x20z"), "\x81\x20z");
    EXPECT_EQ(convert(CODE_SJIS, CODE_JIS, "\x81\x20z"), "\x81\x20z");
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\xa1\x41z"), "\xa1\x41z");
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\xa1\x41z"), "\xa1\x41z");
    // EUC 0x8E with a byte outside the katakana range, in every target.
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\x8e\xe0"), "\x8e\xe0");
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\x8e\xe0"), "\x8e\xe0");
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\x8e\x41"), "\x8e\x41");
    // Shift-JIS 0xF0 and above and EUC 0x8F are single bytes.
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, "\xf0\x40"), "\xf0\x40");
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\x8f" "a"), "\x8f" "a");
    // Such bytes inside kanji text leave the mode unchanged.
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\xa1\xa1\xa1\x41"),
              kToKanji + "\x21\x21\xa1\x41" + kToRoman);
}

TEST(KanjiConvert, TextCutInsideACharacterKeepsItsBytes) {
    EXPECT_EQ(convert(CODE_SJIS, CODE_EUC, "a\x81"), "a\x81");
    EXPECT_EQ(convert(CODE_SJIS, CODE_JIS, "\x81\x40\x81"), kToKanji + "\x21\x21\x81" + kToRoman);
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "a\xa1"), "a\xa1");
    EXPECT_EQ(convert(CODE_EUC, CODE_JIS, "\x8e"), "\x8e");
    EXPECT_EQ(convert(CODE_EUC, CODE_SJIS, "\x8e"), "\x8e");
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "\x1b$B\x21\x21\x30"), "\xa1\xa1\x30");
    // Escapes cut short select their mode and write nothing.
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "a\x1b"), "a");
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "a\x1b$"), "a");
    EXPECT_EQ(convert(CODE_JIS, CODE_SJIS, "a\x1b("), "a");
}

TEST(KanjiConvert, StopsAtTheFirstZeroByteOfTheResult) {
    // Kanji-mode bytes are not range-checked; 0x80 + 0x80 wraps to zero.
    EXPECT_EQ(convert(CODE_JIS, CODE_EUC, "\x1b$B\x21\x80xy"), "\xa1");
}

TEST(KanjiPairs, FollowTheShiftJisArithmetic) {
    unsigned char a = 0x81, b = 0x40;
    SJIS_PAIR_TO_JIS(a, b);
    EXPECT_EQ(a, 0x21);
    EXPECT_EQ(b, 0x21);
    a = 0xE0, b = 0x9F;
    SJIS_PAIR_TO_JIS(a, b);
    EXPECT_EQ(a, 0x60);
    EXPECT_EQ(b, 0x21);
    a = 0x21, b = 0x21;
    JIS_PAIR_TO_SJIS(a, b);
    EXPECT_EQ(a, 0x81);
    EXPECT_EQ(b, 0x40);
    // Every JIS X 0208 position survives the round trip.
    for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
        for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
            a = static_cast<unsigned char>(j1);
            b = static_cast<unsigned char>(j2);
            JIS_PAIR_TO_SJIS(a, b);
            ASSERT_TRUE((a >= 0x81 && a <= 0x9F) || (a >= 0xE0 && a <= 0xEF)) << j1;
            ASSERT_TRUE(b >= 0x40 && b <= 0xFC && b != 0x7F) << j1 << ' ' << j2;
            SJIS_PAIR_TO_JIS(a, b);
            ASSERT_EQ(a, j1);
            ASSERT_EQ(b, j2);
        }
    }
}

TEST(KanjiReadEscape, SetsModeAndConsumesTheSequence) {
    struct Case {
        const char* after_esc;
        JisMode mode;
        size_t consumed;
    };
    const Case cases[] = {
        {"$B", JisMode::kKanji, 2},    {"$@", JisMode::kKanji, 2},
        {"(I", JisMode::kKatakana, 2}, {"(J", JisMode::kRoman, 2},
        {"(B", JisMode::kRoman, 2},    {"K", JisMode::kKanji, 1},
        {"H", JisMode::kRoman, 1},     {"x", JisMode::kRoman, 0},
        {"$", JisMode::kKanji, 1},     {"(", JisMode::kRoman, 1},
        {"", JisMode::kRoman, 0},
    };
    for (const Case& c : cases) {
        JisMode mode = c.mode == JisMode::kKanji ? JisMode::kRoman : JisMode::kKanji;
        EXPECT_EQ(READ_ESCAPE(reinterpret_cast<const unsigned char*>(c.after_esc), mode),
                  c.consumed)
            << c.after_esc;
        EXPECT_EQ(mode, c.mode) << c.after_esc;
    }
}

// Runs a converter in a buffer of exactly the promised size with guard
// bytes behind it.
std::string run_guarded(size_t (*converter)(const char*, char*), const std::string& text) {
    constexpr size_t kGuard = 16;
    const size_t size = kanji_buffer_size(text.size());
    std::vector<char> buffer(size + kGuard, '\x5a');
    const size_t length = converter(text.c_str(), buffer.data());
    EXPECT_LT(length, size);
    EXPECT_EQ(buffer[length], '\0');
    for (size_t i = size; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '\x5a') << "guard " << i;
    return std::string(buffer.data(), length);
}

TEST(KanjiConverters, WorstCaseGrowthFitsTheBuffer) {
    // Alternating katakana and letters cost an escape per byte.
    std::string sjis;
    for (int i = 0; i < 501; ++i) sjis += i % 2 == 0 ? "\xb1" : "a";
    EXPECT_EQ(run_guarded(SJIS_TO_JIS, sjis).size(), 4 * sjis.size() + 3);
    std::string euc;
    for (int i = 0; i < 500; ++i) euc += i % 2 == 0 ? "\x8e\xb1" : "a";
    run_guarded(EUC_TO_JIS, euc);
    run_guarded(SJIS_TO_EUC, std::string(300, '\xb1'));
    run_guarded(JIS_TO_EUC, "\x1b(I" + std::string(300, '\x31'));
    run_guarded(JIS_TO_SJIS, "\x1b$B\x21");
    for (auto* converter : {SJIS_TO_EUC, SJIS_TO_JIS, EUC_TO_SJIS, EUC_TO_JIS, JIS_TO_SJIS,
                            JIS_TO_EUC}) {
        EXPECT_EQ(run_guarded(converter, ""), "");
        run_guarded(converter, "\xb1");
        run_guarded(converter, "\x8e");
        run_guarded(converter, "\x81");
        run_guarded(converter, "\x1b");
    }
}

}  // namespace
}  // namespace brevorin::test
