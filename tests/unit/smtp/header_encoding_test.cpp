#include "smtp/header_encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "codec/quoted_printable.h"
#include "mime/encoded_word.h"

namespace brevorin::test {
namespace {

struct Encoded {
    int result;
    std::string text;
    bool operator==(const Encoded& other) const {
        return result == other.result && text == other.text;
    }
};

std::ostream& operator<<(std::ostream& out, const Encoded& e) {
    return out << e.result << " \"" << e.text << '"';
}

Encoded qp(const std::string& text) {
    Encoded e{99, "unset"};
    e.result = qp_encode(text.c_str(), e.text);
    return e;
}

Encoded word(const std::string& value, int charset) {
    Context ctx;
    ctx.charset = charset;
    Encoded e{99, "unset"};
    e.result = encode_words(value.c_str(), e.text, ctx);
    return e;
}

std::string base64(const std::string& text) {
    std::string out;
    EXPECT_EQ(base64_encode_text(text.c_str(), out, 0), 0);
    return out;
}

TEST(QpEncode, EscapesEverythingButPrintablesAndBlanks) {
    EXPECT_EQ(qp("="), (Encoded{0, "=3D"}));
    EXPECT_EQ(qp("Gr\xfc\xdf\x65"), (Encoded{0, "Gr=FC=DFe"}));
    EXPECT_EQ(qp("\x01\x7f\x80\xff"), (Encoded{0, "=01=7F=80=FF"}));
    EXPECT_EQ(qp("a b\t~!_?"), (Encoded{1, "a b\t~!_?"}));
    EXPECT_EQ(qp(""), (Encoded{1, ""}));
    EXPECT_EQ(qp("a "), (Encoded{1, "a "}));  // a blank at the very end stays
}

TEST(QpEncode, EveryLineEndingBecomesCrLf) {
    for (const char* text : {"a\nb", "a\rb", "a\r\nb"}) EXPECT_EQ(qp(text), (Encoded{1, "a\r\nb"}));
    EXPECT_EQ(qp("a\n\rb").text, "a\r\n\r\nb");
    // A blank before a line end is kept by a soft break.
    EXPECT_EQ(qp("a \r\nb"), (Encoded{1, "a =\r\n\r\nb"}));
    EXPECT_EQ(qp("a\t\nb").text, "a\t=\r\n\r\nb");
}

TEST(QpEncode, LongLinesGetSoftBreaks) {
    EXPECT_EQ(qp(std::string(80, 'x')), (Encoded{1, std::string(76, 'x') + "=\r\nxxxx"}));
    // An escape may cross column 76: that line holds 78 characters.
    EXPECT_EQ(qp(std::string(75, 'x') + "\xe9y"), (Encoded{0, std::string(75, 'x') + "=E9=\r\ny"}));
    EXPECT_EQ(qp(std::string(75, 'x') + " y").text, std::string(75, 'x') + " =\r\ny");
    // The count starts again after each hard line break.
    EXPECT_EQ(qp(std::string(70, 'x') + "\n" + std::string(70, 'x')).text,
              std::string(70, 'x') + "\r\n" + std::string(70, 'x'));
}

TEST(QpEncode, DecodesBackToTheText) {
    std::string text;
    for (int i = 1; i < 256; ++i)
        if (i != '\r' && i != '\n') text += static_cast<char>(i);
    text += "  end of a line\r\nnext \r\n" + std::string(300, 'z');
    const std::string encoded = qp(text).text;
    QpDecoder decoder(QpDecoder::Form::kClassicText);
    std::string decoded;
    decoder.feed(encoded.data(), encoded.size(), decoded);
    decoder.finish(decoded);
    ASSERT_FALSE(decoder.failed());
    EXPECT_TRUE(decoder.decoded_escape());
    EXPECT_EQ(decoded, text);
}

TEST(EncodedWordEncode, SevenBitValuesAreCopied) {
    for (int charset : {1, 2, 4, 12, 13})
        EXPECT_EQ(word("Hello =?x?= world", charset), (Encoded{1, "Hello =?x?= world"}));
}

TEST(EncodedWordEncode, QFormForLatinCharsets) {
    EXPECT_EQ(word("Gr\xfc\xdf\x65", 2), (Encoded{0, "=?ISO-8859-1?Q?Gr=FC=DFe?="}));
    EXPECT_EQ(word("a b \xfc", 2).text, "=?ISO-8859-1?Q?a b =FC?=");
    EXPECT_EQ(word("\xb9", 3).text, "=?ISO-8859-2?Q?=B9?=");
}

TEST(EncodedWordEncode, QWordsStayOneWordOnOneLine) {
    // A soft line break would split the header line (and one at its very
    // end would end the header block); "?" would close the word early; "_"
    // reads as a blank elsewhere.
    EXPECT_EQ(
        word(std::string(40, 'x') + std::string(40, '\xe4'), 2).text,
        "=?ISO-8859-1?Q?" + std::string(40, 'x') +
            [] {
                std::string e;
                for (int i = 0; i < 40; ++i) e += "=E4";
                return e;
            }() +
            "?=");
    EXPECT_EQ(word("Gr\xfc\xdf\x65?", 2).text, "=?ISO-8859-1?Q?Gr=FC=DFe=3F?=");
    EXPECT_EQ(word("a_\xfc", 2).text, "=?ISO-8859-1?Q?a=5F=FC?=");
    EXPECT_EQ(word("\xfc\r\nb", 2).text, "=?ISO-8859-1?Q?=FC=0D=0Ab?=");
    Context ctx;
    ctx.charset = 2;
    for (const std::string& value :
         {std::string("K\xf6nnen wir?"), std::string("x_y \xe4?=?"), std::string(300, '\xe9')}) {
        std::string decoded;
        ASSERT_EQ(decode_encoded_words(word(value, 2).text.c_str(), decoded, ctx), 0);
        EXPECT_EQ(decoded, value);
    }
}

TEST(EncodedWordEncode, BFormByCharsetCode) {
    const struct {
        int code;
        const char* name;
    } table[] = {{4, "ISO-8859-5"}, {5, "ISO-8859-6"}, {6, "ISO-8859-7"}, {7, "ISO-8859-8"},
                 {8, "CN-GB"},      {10, "EUC-KR"},    {1, "US-ASCII"},   {9, "US-ASCII"},
                 {11, "US-ASCII"},  {14, "US-ASCII"}};
    for (const auto& row : table) {
        EXPECT_EQ(word("\xd0\xd1", row.code),
                  (Encoded{0, std::string("=?") + row.name + "?B?" + base64("\xd0\xd1") + "?="}));
    }
    // Long values stay one word without line breaks.
    EXPECT_EQ(word(std::string(200, '\xd0'), 4).text.find('\n'), std::string::npos);
}

TEST(EncodedWordEncode, JapaneseValuesAreSentInJis) {
    // "Nihon" in EUC and in Shift-JIS: both become the same JIS word.
    const Encoded expected{0, "=?ISO-2022-JP?B?" + base64("\x1b$BF|K\\\x1b(J") + "?="};
    EXPECT_EQ(word("\xc6\xfc\xcb\xdc", 12), expected);
    EXPECT_EQ(word("\x93\xfa\x96\x7b", 13), expected);
}

// ---- The modern rules: folded words a strict reader takes.

Context host(int charset, MimeMode mode = MimeMode::kModern) {
    Context ctx;
    ctx.charset = charset;
    ctx.options.mime = mode;
    return ctx;
}

struct Folded {
    const char* name;
    int charset;
    std::string value;
    std::string read_back = {};  // what a reader gets, where not value
};

void PrintTo(const Folded& row, std::ostream* out) {
    *out << row.name;
}

class ModernWords : public ::testing::TestWithParam<Folded> {};

TEST_P(ModernWords, WordsFitBesideTheFieldNameAndReadBackAsWritten) {
    const Context ctx = host(GetParam().charset);
    const std::string& expected =
        GetParam().read_back.empty() ? GetParam().value : GetParam().read_back;
    std::string out;
    ASSERT_EQ(encode_words(GetParam().value.c_str(), out, ctx, 9), 0);
    static const std::regex line("(?:^|\r\n )(=\\?[^? \t\r\n]+\\?[QB]\\?[^? \t\r\n]*\\?=)");
    size_t lines = 0, length = 9;  // "Subject: " before the first
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
         ++it, ++lines, length = 1) {
        EXPECT_LE((*it)[1].length(), 75) << out;
        EXPECT_LE(length + (*it)[1].length(), 78u) << out;
        // Each word stands alone: whole characters, Japanese back in ASCII.
        const std::string word = (*it)[1];
        EXPECT_NE(expected.find(decode_words_for_host(word, ctx, nullptr)), std::string::npos)
            << word;
        if (word.compare(0, 16, "=?ISO-2022-JP?B?") == 0) {
            std::string jis;
            ASSERT_EQ(base64_decode_text(word.substr(16, word.size() - 18).c_str(), jis), 0);
            const size_t escape = jis.rfind('\x1b');
            EXPECT_TRUE(escape == std::string::npos || jis.compare(escape, 3, "\x1b(B") == 0)
                << word;
        }
    }
    // Nothing but whole words, one a line.
    EXPECT_EQ(lines, static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) + 1) << out;
    EXPECT_GT(lines, 1u);
    bool lossy = false;
    EXPECT_EQ(decode_words_for_host(out, ctx, &lossy), expected);
    EXPECT_FALSE(lossy);
}

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ModernWords,
    ::testing::Values(Folded{"Latin1BlanksAndSpecials", kLatin1,
                             repeated("Gr\xfc\xdf\x65 aus K\xf6ln _?= ", 20)},
                      Folded{"Korean", kKorean, repeated("\xc7\xd1\xb1\xb9 a", 40)},
                      // 45 bytes: one word of 72 characters, too long beside "Subject: ".
                      Folded{"Utf8JustOverALine", kUtf8, std::string(44, 'a') + "\xc3\xbc"},
                      Folded{"Utf8FourByte", kUtf8, repeated("\xe6\x9d\xb1\xf0\x9f\x98\x80", 40)},
                      // Half-width katakana read back full-width, a voiced one as one
                      // character: no word parts it from its mark.
                      Folded{"EucKanjiKana", kEuc,
                             repeated("\xc6\xfc\xcb\xdc\x8e\xb1\x8e\xb6\x8e\xde C:\\x~ ", 30),
                             repeated("\xc6\xfc\xcb\xdc\xa5\xa2\xa5\xac C:\\x~ ", 30)},
                      Folded{"SjisVoicedKana", kSjis, repeated("\xb6\xde\xca\xdf", 60),
                             repeated("\x83\x4b\x83\x70", 60)},
                      // The second byte of 0x95 0x5C is that of a backslash.
                      Folded{"SjisKanji", kSjis, repeated("\x93\xfa\x96\x7b\x95\x5c ab ", 30)}),
    [](const ::testing::TestParamInfo<Folded>& info) { return std::string(info.param.name); });

TEST(ModernWords, SevenBitValuesFoldAtBlanksOnly) {
    const std::string a55(55, 'a'), b10(10, 'b'), c10(10, 'c');
    const struct {
        std::string value, folded;
    } cases[] = {
        {a55 + " " + b10 + " " + c10, a55 + " " + b10 + "\r\n " + c10},
        // No blank before the limit: the first one after it.
        {std::string(90, 'a') + " b", std::string(90, 'a') + "\r\n b"},
        {std::string(100, 'a'), std::string(100, 'a')},
        // A blank run folds before its first blank; a blank end is no fold point.
        {std::string(68, 'a') + "   b" + std::string(20, ' '),
         std::string(68, 'a') + "\r\n   b" + std::string(20, ' ')},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(encode_words(c.value.c_str(), out, host(kLatin1), 9), 1);
        EXPECT_EQ(out, c.folded);
        EXPECT_EQ(encode_words(c.value.c_str(), out, host(kLatin1, MimeMode::kClassic), 9), 1);
        EXPECT_EQ(out, c.value);
    }
}

struct Phrase {
    const char* name;
    int charset;
    std::string written, shown;
};

void PrintTo(const Phrase& row, std::ostream* out) {
    *out << row.name;
}

class DisplayName : public ::testing::TestWithParam<Phrase> {};

TEST_P(DisplayName, EncodesWhatAReaderShowsUnderBothRules) {
    for (MimeMode mode : {MimeMode::kClassic, MimeMode::kModern}) {
        const Context ctx = host(GetParam().charset, mode);
        std::string out;
        ASSERT_EQ(encode_phrase_words(GetParam().written.c_str(), out, ctx), 0);
        EXPECT_EQ(out.find('"'), std::string::npos) << out;
        EXPECT_EQ(decode_words_for_host(out, ctx, nullptr), GetParam().shown) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DisplayName,
    ::testing::Values(
        Phrase{"Escapes", kUtf8, "\"Doe, Jane \\\"JD\\\" M\xc3\xbcller\"",
               "Doe, Jane \"JD\" M\xc3\xbcller"},
        Phrase{"QuotedPart", kLatin1, "J\xfcrgen \"JM\" M\xfcller", "J\xfcrgen JM M\xfcller"},
        Phrase{"SjisTrailBackslash", kSjis, "\"\x95\x5c \\\"x\\\"\"", "\x95\x5c \"x\""}),
    [](const ::testing::TestParamInfo<Phrase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brevorin::test
