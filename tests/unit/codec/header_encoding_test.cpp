#include "smtp/header_encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "mime/encoded_word.h"
#include "mime/qp_decode.h"

namespace brevorin::test {
namespace {

struct Encoded {
    int result;
    std::string text;
};

Encoded qp(const std::string& text) {
    Encoded e{99, "unset"};
    e.result = QP_ENCODE(text.c_str(), e.text);
    return e;
}

Encoded word(const std::string& value, int charset) {
    MailSession session;
    session.charset = charset;
    Encoded e{99, "unset"};
    e.result = ENCODED_WORD_ENCODE(value.c_str(), e.text, &session);
    return e;
}

TEST(QpEncode, EscapesEverythingButPrintablesAndBlanks) {
    EXPECT_EQ(qp("=").text, "=3D");
    EXPECT_EQ(qp("=").result, 0);
    EXPECT_EQ(qp("Gr\xfc\xdf" "e").text, "Gr=FC=DFe");
    EXPECT_EQ(qp("\x01\x7f\x80\xff").text, "=01=7F=80=FF");
    EXPECT_EQ(qp("a b\t~!").text, "a b\t~!");
    EXPECT_EQ(qp("a b\t~!").result, 1);
    EXPECT_EQ(qp("").text, "");
    EXPECT_EQ(qp("").result, 1);
    EXPECT_EQ(qp("a ").text, "a ");
    EXPECT_EQ(qp("a_?").text, "a_?");
}

TEST(QpEncode, EveryLineEndingBecomesCrLf) {
    for (const char* text : {"a\nb", "a\rb", "a\r\nb"}) {
        const Encoded e = qp(text);
        EXPECT_EQ(e.text, "a\r\nb");
        EXPECT_EQ(e.result, 1);
    }
    EXPECT_EQ(qp("a\n\rb").text, "a\r\n\r\nb");
    EXPECT_EQ(qp("a \r\nb").text, "a =\r\n\r\nb");
    EXPECT_EQ(qp("a\t\nb").text, "a\t=\r\n\r\nb");
}

TEST(QpEncode, LongLinesGetSoftBreaks) {
    EXPECT_EQ(qp(std::string(80, 'x')).text, std::string(76, 'x') + "=\r\n" + "xxxx");
    EXPECT_EQ(qp(std::string(80, 'x')).result, 1);
    // An escape may cross column 76: that line holds 78 characters.
    const Encoded e = qp(std::string(75, 'x') + "\xe9" + "y");
    EXPECT_EQ(e.text, std::string(75, 'x') + "=E9=\r\ny");
    EXPECT_EQ(e.result, 0);
    // A blank reaching column 76 is followed by the break, never ends a line.
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
    const Encoded e = qp(text);
    std::string decoded;
    ASSERT_EQ(QP_DECODE(e.text.c_str(), decoded), 0);
    EXPECT_EQ(decoded, text);
}

TEST(EncodedWordEncode, SevenBitValuesAreCopied) {
    for (int charset : {1, 2, 4, 12, 13}) {
        const Encoded e = word("Hello =?x?= world", charset);
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(e.text, "Hello =?x?= world");
    }
}

TEST(EncodedWordEncode, QFormForLatinCharsets) {
    EXPECT_EQ(word("Gr\xfc\xdf" "e", 2).text, "=?ISO-8859-1?Q?Gr=FC=DFe?=");
    EXPECT_EQ(word("Gr\xfc\xdf" "e", 2).result, 0);
    EXPECT_EQ(word("a b \xfc", 2).text, "=?ISO-8859-1?Q?a b =FC?=");
    EXPECT_EQ(word("\xb9", 3).text, "=?ISO-8859-2?Q?=B9?=");
}

TEST(EncodedWordEncode, LongQWordsStayOnOneLine) {
    // A soft line break inside a header word would split the header line;
    // a break landing at its very end would end the header block.
    const std::string value = std::string(40, 'x') + std::string(40, '\xe4');
    const Encoded e = word(value, 2);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.text.find('\r'), std::string::npos);
    EXPECT_EQ(e.text.find('\n'), std::string::npos);
    EXPECT_EQ(e.text.size(), 15 + 40 + 40 * 3 + 2);
    MailSession session;
    session.charset = 2;
    std::string decoded;
    ASSERT_EQ(ENCODED_WORD_DECODE(e.text.c_str(), decoded, &session), 0);
    EXPECT_EQ(decoded, value);
}

TEST(EncodedWordEncode, QWordsEscapeWhatWouldBreakThem) {
    // "?" would close the word early, "_" reads as a blank elsewhere, and a
    // line break would split the header line.
    EXPECT_EQ(word("Gr\xfc\xdf" "e?", 2).text, "=?ISO-8859-1?Q?Gr=FC=DFe=3F?=");
    EXPECT_EQ(word("a_\xfc", 2).text, "=?ISO-8859-1?Q?a=5F=FC?=");
    EXPECT_EQ(word("\xfc\r\nb", 2).text, "=?ISO-8859-1?Q?=FC=0D=0Ab?=");
    MailSession session;
    session.charset = 2;
    for (const std::string value : {"K\xf6nnen wir?", "x_y \xe4?=?", "a\xe9?b?c_d"}) {
        const Encoded e = word(value, 2);
        std::string decoded;
        ASSERT_EQ(ENCODED_WORD_DECODE(e.text.c_str(), decoded, &session), 0) << e.text;
        EXPECT_EQ(decoded, value) << e.text;
    }
}

TEST(EncodedWordEncode, BFormByCharsetCode) {
    const std::string value = "\xd0\xd1";
    std::string b64;
    ASSERT_EQ(BASE64_ENCODE_TEXT(value.c_str(), b64, 0), 0);
    const struct {
        int code;
        const char* name;
    } table[] = {{4, "ISO-8859-5"}, {5, "ISO-8859-6"}, {6, "ISO-8859-7"}, {7, "ISO-8859-8"},
                 {8, "CN-GB"},      {10, "EUC-KR"},    {1, "US-ASCII"},   {9, "US-ASCII"},
                 {11, "US-ASCII"},  {14, "US-ASCII"},  {0, "US-ASCII"}};
    for (const auto& row : table) {
        const Encoded e = word(value, row.code);
        EXPECT_EQ(e.result, 0);
        EXPECT_EQ(e.text, std::string("=?") + row.name + "?B?" + b64 + "?=") << row.code;
    }
    // Long values are one word with no line breaks.
    const Encoded long_word = word(std::string(200, '\xd0'), 4);
    EXPECT_EQ(long_word.text.find('\n'), std::string::npos);
}

TEST(EncodedWordEncode, JapaneseValuesAreSentInJis) {
    // "Nihon" in EUC and Shift-JIS: both become the same JIS word.
    const std::string jis = "\x1b$BF|K\\\x1b(J";
    std::string b64;
    ASSERT_EQ(BASE64_ENCODE_TEXT(jis.c_str(), b64, 0), 0);
    const std::string expected = "=?ISO-2022-JP?B?" + b64 + "?=";
    EXPECT_EQ(word("\xc6\xfc\xcb\xdc", 12).text, expected);
    EXPECT_EQ(word("\x93\xfa\x96\x7b", 13).text, expected);
    EXPECT_EQ(word("\x93\xfa\x96\x7b", 13).result, 0);
}

}  // namespace
}  // namespace brevorin::test
