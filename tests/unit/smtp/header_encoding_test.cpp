#include "smtp/header_encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "mime/encoded_word.h"
#include "mime/qp_decode.h"

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
    std::string decoded;
    ASSERT_EQ(qp_decode(qp(text).text.c_str(), decoded), 0);
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

Context modern_host(int charset) {
    Context ctx;
    ctx.charset = charset;
    ctx.options.mime = MimeMode::kModern;
    return ctx;
}

std::vector<std::string> lines_of(const std::string& value) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const size_t end = value.find("\r\n", start);
        lines.push_back(value.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return lines;
        start = end + 2;
    }
}

// The bytes each encoded word of a value carries, in order.
std::vector<std::string> word_bytes(const std::string& value) {
    static const std::regex word("=\\?([^?]+)\\?([QB])\\?([^?]*)\\?=");
    std::vector<std::string> words;
    for (auto it = std::sregex_iterator(value.begin(), value.end(), word);
         it != std::sregex_iterator(); ++it) {
        std::string bytes;
        if ((*it)[2] == "B") {
            EXPECT_EQ(base64_decode_text((*it)[3].str().c_str(), bytes), 0);
        } else {
            // By hand: a body decoder would drop a blank that ends the text.
            const std::string text = (*it)[3].str();
            for (size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '=' && i + 2 < text.size()) {
                    bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    bytes += text[i] == '_' ? ' ' : text[i];
                }
            }
        }
        words.push_back(bytes);
    }
    return words;
}

struct Folded {
    const char* name;
    int charset;
    std::string value;
    size_t lead;
};

void PrintTo(const Folded& row, std::ostream* out) {
    *out << row.name;
}

class ModernWords : public ::testing::TestWithParam<Folded> {};

TEST_P(ModernWords, WordsFitTheirLinesAndReadBackAsWritten) {
    const Folded& row = GetParam();
    const Context ctx = modern_host(row.charset);
    std::string out;
    ASSERT_EQ(encode_words(row.value.c_str(), out, ctx, row.lead), 0);
    const std::vector<std::string> lines = lines_of(out);
    EXPECT_GT(lines.size(), 1u) << out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        EXPECT_LE((i == 0 ? row.lead : 0) + line.size(), 78u) << line;
        const std::string word = i == 0 ? line : line.substr(1);
        EXPECT_EQ(line[0] == ' ', i > 0) << line;
        EXPECT_LE(word.size(), 75u) << line;
        EXPECT_EQ(word.find_first_of(" \t"), std::string::npos) << line;
        EXPECT_EQ(word_bytes(word).size(), 1u) << line;
    }
    if (row.charset == kEuc || row.charset == kSjis) {
        // Each word a whole ISO-2022-JP text: it decodes alone, back in ASCII.
        for (const std::string& jis : word_bytes(out)) {
            EXPECT_EQ(jis.find("\x1b(J"), std::string::npos);
            const size_t escape = jis.rfind('\x1b');
            if (escape != std::string::npos) {
                EXPECT_EQ(jis.substr(escape, 3), "\x1b(B");
            }
            std::string host;
            ASSERT_EQ(kanji_convert(kJis, row.charset, jis.c_str(), host), 0);
            EXPECT_NE(row.value.find(host), std::string::npos) << "a character split: " << host;
        }
    } else {
        std::string joined;
        for (const std::string& bytes : word_bytes(out)) joined += bytes;
        EXPECT_EQ(joined, row.value);
    }
    bool lossy = false;
    EXPECT_EQ(decode_words_for_host(out, ctx, &lossy), row.value);
    EXPECT_FALSE(lossy);
}

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ModernWords,
    ::testing::Values(
        Folded{"Latin1BlanksAndSpecials", kLatin1, repeated("Gr\xfc\xdf\x65 aus K\xf6ln _?= ", 20),
               9},
        Folded{"Latin2", kLatin2, repeated("\xb9\xe8 ", 60), 9},
        Folded{"Cyrillic", kCyrillic, repeated("\xbf\xe0\xd8\xd2\xd5\xe2 ", 40), 9},
        Folded{"Korean", kKorean, repeated("\xc7\xd1\xb1\xb9 a", 40), 9},
        // 45 bytes: one word of 72 characters, too long beside "Subject: ".
        Folded{"Utf8JustOverALine", kUtf8, std::string(44, 'a') + "\xc3\xbc", 9},
        Folded{"Utf8FourByte", kUtf8, repeated("\xe6\x9d\xb1\xf0\x9f\x98\x80", 40), 9},
        Folded{"EucKanjiKanaAscii", kEuc, repeated("\xc6\xfc\xcb\xdc\x8e\xb1 C:\\x~ ", 30), 9},
        Folded{"SjisKanjiAscii", kSjis, repeated("\x93\xfa\x96\x7b\x95\x5c ab ", 30), 9},
        Folded{"LongLead", kUtf8, repeated("\xc3\xa9", 40), 60}),
    [](const ::testing::TestParamInfo<Folded>& info) { return std::string(info.param.name); });

TEST(ModernWords, SevenBitValuesFoldAtBlanksOnly) {
    const Context ctx = modern_host(kLatin1);
    const struct {
        std::string value;
        std::string folded;
    } cases[] = {
        {"short one", "short one"},
        {std::string(55, 'a') + " " + std::string(10, 'b') + " " + std::string(10, 'c'),
         std::string(55, 'a') + " " + std::string(10, 'b') + "\r\n " + std::string(10, 'c')},
        // No blank before the limit: the first one after it.
        {std::string(90, 'a') + " b", std::string(90, 'a') + "\r\n b"},
        {std::string(100, 'a'), std::string(100, 'a')},
        // A blank run folds before its first blank; a blank end is no fold point.
        {std::string(68, 'a') + "   b" + std::string(20, ' '),
         std::string(68, 'a') + "\r\n   b" + std::string(20, ' ')},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(encode_words(c.value.c_str(), out, ctx, 9), 1);
        EXPECT_EQ(out, c.folded);
    }
    // The classic rules leave every 7-bit value on one line.
    Context classic = ctx;
    classic.options.mime = MimeMode::kClassic;
    std::string out;
    const std::string longer = repeated("word ", 40);
    EXPECT_EQ(encode_words(longer.c_str(), out, classic, 9), 1);
    EXPECT_EQ(out, longer);
}

// ---- Display names.

struct Phrase {
    const char* name;
    int charset;
    std::string written;
    std::string shown;
};

void PrintTo(const Phrase& row, std::ostream* out) {
    *out << row.name;
}

class DisplayName : public ::testing::TestWithParam<Phrase> {};

TEST_P(DisplayName, EncodesWhatAReaderShowsUnderBothRules) {
    for (MimeMode mode : {MimeMode::kClassic, MimeMode::kModern}) {
        Context ctx = modern_host(GetParam().charset);
        ctx.options.mime = mode;
        std::string out;
        ASSERT_EQ(encode_phrase_words(GetParam().written.c_str(), out, ctx), 0);
        EXPECT_EQ(out.find('"'), std::string::npos) << out;
        EXPECT_EQ(decode_words_for_host(out, ctx, nullptr), GetParam().shown) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DisplayName,
    ::testing::Values(
        Phrase{"QuotedComma", kUtf8, "\"M\xc3\xbcller, J\xc3\xbcrgen\"",
               "M\xc3\xbcller, J\xc3\xbcrgen"},
        Phrase{"Escapes", kUtf8, "\"Doe, Jane \\\"JD\\\" M\xc3\xbcller\"",
               "Doe, Jane \"JD\" M\xc3\xbcller"},
        Phrase{"QuotedPart", kLatin1, "J\xfcrgen \"JM\" M\xfcller", "J\xfcrgen JM M\xfcller"},
        Phrase{"Unquoted", kLatin1, "J\xfcrgen M\xfcller", "J\xfcrgen M\xfcller"},
        // The second byte of this Shift-JIS character is that of a backslash.
        Phrase{"SjisTrailBackslash", kSjis, "\"\x95\x5c \\\"x\\\"\"", "\x95\x5c \"x\""}),
    [](const ::testing::TestParamInfo<Phrase>& info) { return std::string(info.param.name); });

TEST(DisplayName, LongModernNamesKeepTheirAtomsBetweenEncodedRuns) {
    const Context ctx = modern_host(kUtf8);
    const std::string name = repeated(
                                 "J\xc3\xbcrgen und M\xc3\xbcller-L\xc3\xbc"
                                 "denscheidt ",
                                 4) +
                             "GmbH";
    std::string out;
    ASSERT_EQ(encode_phrase_words(name.c_str(), out, ctx), 0);
    // No two encoded words stand side by side, which readers would join differently.
    EXPECT_EQ(out.find("?= =?"), std::string::npos) << out;
    EXPECT_EQ(out.find("?=\r\n =?"), std::string::npos) << out;
    EXPECT_NE(out.find("?= und\r\n"), std::string::npos) << out;
    const std::vector<std::string> lines = lines_of(out);
    EXPECT_GT(lines.size(), 1u);
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_LE(lines[i].size() + (i == 0 ? 10 : 0), 78u) << lines[i];
    EXPECT_EQ(decode_words_for_host(out, ctx, nullptr), name);
    // A name that fits one word stays one word.
    ASSERT_EQ(encode_phrase_words("J\xc3\xbcrgen von M\xc3\xbcller", out, ctx), 0);
    EXPECT_EQ(word_bytes(out), std::vector<std::string>{"J\xc3\xbcrgen von M\xc3\xbcller"});
}

// ---- File names.

TEST(Utf8FileName, LongModernNamesContinueWithinTheirLines) {
    const std::string name = repeated("Pr\xc3\xa4sentation \xc3\xbc", 12) + ".pdf";
    const Context classic;
    const std::string whole = utf8_file_name_parameters(name, classic);
    ASSERT_EQ(whole.find('\n'), std::string::npos);
    const std::string continued = utf8_file_name_parameters(name, modern_host(kUtf8));
    static const std::regex piece("filename\\*(\\d+)\\*=([^;]*)");
    std::string joined;
    int index = 0;
    const std::vector<std::string> lines = lines_of(continued);
    EXPECT_GT(lines.size(), 2u);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = i == 0 ? "\t" + lines[i] : lines[i];
        EXPECT_LE(line.size(), 78u) << line;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, piece)) << line;
        EXPECT_EQ(std::stoi(m[1]), index++);
        EXPECT_EQ(line.back() == ';', i + 1 < lines.size()) << line;
        // No escape is cut.
        const std::string value = m[2];
        EXPECT_TRUE(value.size() < 3 || value.find('%', value.size() - 2) == std::string::npos)
            << line;
        joined += value;
    }
    EXPECT_EQ("filename*=" + joined, whole);
    // A short name keeps the single parameter.
    EXPECT_EQ(utf8_file_name_parameters("\xc3\xa4.txt", modern_host(kUtf8)),
              "filename*=UTF-8''%C3%A4.txt");
}

}  // namespace
}  // namespace brevorin::test
