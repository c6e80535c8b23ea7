// Header fields and parameters by RFC 2045/2231, and encoded words decoded
// into the host's character set.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "mime/encoded_word.h"
#include "mime/host_text.h"
#include "mime/modern_fields.h"

namespace brevorin {
namespace {

struct ParamCase {
    const char* value;
    const char* param;
    const char* expected;
    const char* charset;
};

class Parameters : public ::testing::TestWithParam<ParamCase> {};

TEST_P(Parameters, AreJoinedAndUnescaped) {
    const ParamCase& c = GetParam();
    MimeField field = parse_mime_field(c.value);
    const MimeParameter* p = field.param(c.param);
    ASSERT_NE(p, nullptr) << c.value;
    EXPECT_EQ(p->value, c.expected);
    EXPECT_EQ(p->charset, c.charset);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc2231, Parameters,
    ::testing::Values(
        ParamCase{"attachment; filename=plain.txt", "filename", "plain.txt", ""},
        ParamCase{"attachment; FileName=\"a \\\"quoted\\\" name;x.txt\"", "filename",
                  "a \"quoted\" name;x.txt", ""},
        ParamCase{"attachment; filename*=utf-8''na%C3%AFve%20caf%C3%A9.txt", "filename",
                  "na\xc3\xafve caf\xc3\xa9.txt", "utf-8"},
        ParamCase{"attachment; filename*=iso-8859-1'de'%E4rger.txt", "filename", "\xe4rger.txt",
                  "iso-8859-1"},
        // Sections out of order, some encoded, one quoted.
        ParamCase{"attachment; filename*1=\"-mitte-\"; filename*0*=utf-8''Anfang%C3%A4;"
                  " filename*2*=%C3%B6ende.bin",
                  "filename", "Anfang\xc3\xa4-mitte-\xc3\xb6" "ende.bin", "utf-8"},
        // The sections win over a plain value of the same name.
        ParamCase{"attachment; filename=\"fallback.txt\"; filename*=utf-8''echt.txt", "filename",
                  "echt.txt", "utf-8"},
        ParamCase{"text/plain (a comment; x=y) ; charset = \"UTF-8\"", "charset", "UTF-8", ""},
        ParamCase{"multipart/mixed;\tboundary=\"=-=a:b_c=-=\"", "boundary", "=-=a:b_c=-=", ""}));

TEST(HeaderField, FoundAtLineStartAndUnfolded) {
    std::string block =
        "X-Content-Type: text/html\r\n"
        "Subject: mentions Content-Type: image/png\r\n"
        "content-type: multipart/mixed;\r\n"
        "\tboundary=\"b1\"\r\n"
        "MIME-Version: 1.0\r\n\r\n";
    EXPECT_EQ(header_field(block, "Content-Type").value_or("?"), "multipart/mixed;\tboundary=\"b1\"");
    EXPECT_FALSE(header_field(block, "Content-Disposition").has_value());
}

Context host(int charset, MimeMode mime = MimeMode::kModern) {
    Context ctx;
    ctx.charset = charset;
    ctx.options.mime = mime;
    return ctx;
}

struct WordCase {
    const char* value;
    int charset;
    const char* expected;
    bool lossy;
};

class Words : public ::testing::TestWithParam<WordCase> {};

TEST_P(Words, DecodeIntoTheHostCharset) {
    const WordCase& c = GetParam();
    bool lossy = false;
    EXPECT_EQ(decode_words_for_host(c.value, host(c.charset), &lossy), c.expected) << c.value;
    EXPECT_EQ(lossy, c.lossy);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc2047, Words,
    ::testing::Values(
        // White space between two words goes; around plain text it stays.
        WordCase{"=?utf-8?q?Gr=C3=BC=C3=9Fe?= =?utf-8?q?_aus?=\r\n =?UTF-8?B?S8O2bG4=?= !",
                 kLatin1, "Gr\xfc\xdf" "e ausK\xf6ln !", false},
        // A character split across two words is joined before conversion.
        WordCase{"=?utf-8?b?w6TD?= =?utf-8?b?tg==?=", kLatin1, "\xe4\xf6", false},
        WordCase{"=?iso-8859-1?q?caf=E9?=", kUtf8, "caf\xc3\xa9", false},
        WordCase{"=?koi8-r?b?8NLJ18XU?=", kUtf8,
                 "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", false},
        WordCase{"=?utf-8?q?5_=E2=82=AC?=", kLatin1, "5 ?", true},
        // Malformed words and a bare "=?" stay as they are.
        WordCase{"a =?utf-8?x?abc?= b =? c", kLatin1, "a =?utf-8?x?abc?= b =? c", false},
        WordCase{"=?utf-8*de?q?Stra=C3=9Fe?=", kLatin1, "Stra\xdf" "e", false}));

TEST(Words, ClassicDecoderUnchangedWithoutModernOrUtf8Host) {
    std::string out;
    Context classic = host(kLatin1, MimeMode::kClassic);
    ASSERT_EQ(decode_encoded_words("=?iso-8859-1?q?a_b?= =?iso-8859-1?q?c?=", out, classic), 0);
    EXPECT_EQ(out, "a_b c");
    ASSERT_EQ(decode_encoded_words("=?iso-8859-1?q?a_b?= =?iso-8859-1?q?c?=", out,
                                   host(kUtf8, MimeMode::kClassic)),
              0);
    EXPECT_EQ(out, "a bc");
}

struct TextCase {
    const char* charset;
    int host;
    std::string in;
    std::string out;
    HostText result;
};

class Texts : public ::testing::TestWithParam<TextCase> {};

TEST_P(Texts, ConvertWhereTheConverterKnowsBoth) {
    const TextCase& c = GetParam();
    std::string text = c.in;
    EXPECT_EQ(to_host_charset(c.charset, text, host(c.host)), c.result) << c.charset;
    EXPECT_EQ(text, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    HostText, Texts,
    ::testing::Values(
        TextCase{"utf-8", kLatin1, "\xc3\xa4 \xe2\x82\xac", "\xe4 ?", HostText::kLossy},
        TextCase{"windows-1252", kUtf8, "\x80 \xe9", "\xe2\x82\xac \xc3\xa9", HostText::kConverted},
        TextCase{"ISO-8859-15", kLatin2, "\xa4", "?", HostText::kLossy},
        TextCase{"utf-8", kUtf8, "\xff bad", "\xff bad", HostText::kKept},
        TextCase{"utf-8", kLatin1, "bad \xff", "bad ?", HostText::kLossy},
        TextCase{"x-unknown-set", kLatin1, "\xe4", "\xe4", HostText::kKept},
        TextCase{"", kLatin1, "\xe4", "\xe4", HostText::kKept},
        TextCase{"iso-2022-jp", kEuc, "\x1b$B$\"\x1b(B", "\xa4\xa2", HostText::kConverted},
        TextCase{"iso-2022-jp", kUtf8, "\x1b$B$\"\x1b(B", "\xe3\x81\x82", HostText::kConverted}));

TEST(CharsetTable, Utf8HostNamesAndTheClassicCodesOfReceivedNames) {
    EXPECT_EQ(charset_from_host_name("UTF8"), kUtf8);
    EXPECT_EQ(charset_from_host_name("UTF-8"), kUtf8);
    EXPECT_EQ(charset_from_host_name("utf8"), kUsAscii);
    EXPECT_STREQ(charset_info(kUtf8).content_type_line, "Content-Type: text/plain; charset=utf-8");
    // The classic readers know only the names they always knew.
    EXPECT_EQ(charset_from_mime_name("UTF-8"), -1);
    EXPECT_EQ(charset_from_mime_name("ISO-2022-JP"), kJis);
    EXPECT_STREQ(mime_name_of_code(kJis), "ISO-2022-JP");
    EXPECT_EQ(mime_name_of_code(kUtf8), nullptr);
}

}  // namespace
}  // namespace brevorin
