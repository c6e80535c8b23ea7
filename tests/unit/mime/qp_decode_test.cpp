#include "mime/qp_decode.h"

#include <gtest/gtest.h>

#include <string>

namespace brevorin::test {
namespace {

struct Decoded {
    int result;
    std::string text;
};

Decoded decode(const std::string& text) {
    Decoded d{99, "unset"};
    d.result = qp_decode(text.c_str(), d.text);
    return d;
}

TEST(QpDecode, DecodesEscapesInEitherCase) {
    EXPECT_EQ(decode("=41=42").text, "AB");
    EXPECT_EQ(decode("=41=42").result, 0);
    EXPECT_EQ(decode("Caf=e9 =E9").text, "Caf\xe9 \xe9");
    EXPECT_EQ(decode("=00x").text, std::string("\0x", 2));
    EXPECT_EQ(decode("plain").result, 1);
    EXPECT_EQ(decode("plain").text, "plain");
    EXPECT_EQ(decode("").result, 1);
    EXPECT_EQ(decode("").text, "");
    // No underscore rule.
    EXPECT_EQ(decode("a_b").text, "a_b");
}

TEST(QpDecode, MalformedEscapesPassThrough) {
    const Decoded bad_second = decode("=4G!");
    EXPECT_EQ(bad_second.text, "=4G!");
    EXPECT_EQ(bad_second.result, 1);
    EXPECT_EQ(decode("x=4").text, "x=4");
    EXPECT_EQ(decode("x=").text, "x=");
    EXPECT_EQ(decode("==41").text, "==41");
    EXPECT_EQ(decode("=G1").text, "=G1");
    // The character after a digit is taken with it, even an "=".
    EXPECT_EQ(decode("=4=41").text, "=4=41");
}

TEST(QpDecode, SoftBreaksJoinLinesOnlyWithCrLf) {
    const Decoded soft = decode("abc=\r\ndef");
    EXPECT_EQ(soft.text, "abcdef");
    EXPECT_EQ(soft.result, 1);
    EXPECT_EQ(decode("abc=\ndef").text, "abc=\ndef");
    EXPECT_EQ(decode("abc=\rdef").text, "abc=\rdef");
    // Blanks before the soft break go with the rest of the trailing blanks.
    EXPECT_EQ(decode("abc= \t\r\ndef").text, "abcdef");
    EXPECT_EQ(decode("a=\r\n=\r\nb=3D").text, "ab=");
}

TEST(QpDecode, TrailingBlanksGoLineEndingsStay) {
    EXPECT_EQ(decode("abc  \r\n").text, "abc\r\n");
    EXPECT_EQ(decode("a \t\nb\t\rc \r\rd  ").text, "a\nb\rc\r\rd");
    EXPECT_EQ(decode("  \r\n \n").text, "\r\n\n");
    EXPECT_EQ(decode("x =20\r\n").text, "x  \r\n");
}

TEST(QpDecode, LineLimitIs2046Characters) {
    const std::string longest(2046, 'a');
    EXPECT_EQ(decode(longest).text, longest);
    EXPECT_EQ(decode("x\r\n" + longest + "\r\nx").result, 1);
    std::string out = "kept";
    EXPECT_EQ(qp_decode(std::string(2047, 'a').c_str(), out), -1);
    EXPECT_EQ(qp_decode(("ok\n" + std::string(5000, 'a')).c_str(), out), -1);
    // Trailing blanks count towards the limit.
    EXPECT_EQ(qp_decode((std::string(2000, 'a') + std::string(47, ' ')).c_str(), out), -1);
    EXPECT_EQ(out, "kept");
}

}  // namespace
}  // namespace brevorin::test
