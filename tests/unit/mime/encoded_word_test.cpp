#include "mime/encoded_word.h"

#include <gtest/gtest.h>

#include <string>

namespace brevorin::test {
namespace {

Context context_with(int charset) {
    Context ctx;
    ctx.charset = charset;
    return ctx;
}

std::string decode(const std::string& value, int charset = 2) {
    const Context ctx = context_with(charset);
    std::string out = "unset";
    EXPECT_EQ(decode_encoded_words(value.c_str(), out, ctx), 0) << value;
    return out;
}

int failure(const std::string& value) {
    const Context ctx = context_with(2);
    std::string out = "kept";
    const int result = decode_encoded_words(value.c_str(), out, ctx);
    EXPECT_EQ(out, "kept") << value;
    return result;
}

TEST(EncodedWordDecode, DecodesQAndBWords) {
    EXPECT_EQ(decode("Re: =?iso-8859-1?q?Caf=E9?= ok"), "Re: Caf\xe9 ok");
    EXPECT_EQ(decode("=?ISO-8859-1?Q?a_b?="), "a_b");
    EXPECT_EQ(decode("=?ISO-8859-1?Q?a=20b?="), "a b");
    EXPECT_EQ(decode("=?us-ascii?b?SGVsbG8=?="), "Hello");
    // Only the first letter of the encoding counts.
    EXPECT_EQ(decode("=?x?Base64?SGk=?="), "Hi");
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("no words here"), "no words here");
}

TEST(EncodedWordDecode, WhiteSpaceBetweenWords) {
    EXPECT_EQ(decode("=?x?Q?a?= =?x?Q?b?="), "a b");
    EXPECT_EQ(decode("=?x?Q?a?=\r\n\t=?x?Q?b?="), "ab");
    EXPECT_EQ(decode("one\r\n two\tthree"), "one twothree");
}

TEST(EncodedWordDecode, LoneEqualsSignsAreCopiedWithTheirNextCharacter) {
    EXPECT_EQ(decode("a=b"), "a=b");
    EXPECT_EQ(decode("a="), "a=");
    EXPECT_EQ(decode("a=\tb"), "a=\tb");
    EXPECT_EQ(decode("=="), "==");
}

TEST(EncodedWordDecode, WordsCutShortOrWithEmptyFields) {
    // The text runs to the end of the value.
    EXPECT_EQ(decode("x =?x?Q?abc"), "x abc");
    EXPECT_EQ(decode("=?x?Q?abc?"), "abc");
    // The character after the closing "?" is skipped unseen.
    EXPECT_EQ(decode("=?x?Q?abc?Xdef"), "abcdef");
    // Empty fields are skipped over.
    EXPECT_EQ(decode("=??x??Q??abc?=!"), "abc!");
}

TEST(EncodedWordDecode, MalformedWordsFailTheValue) {
    EXPECT_EQ(failure("=?x?X?abc?="), -1);
    EXPECT_EQ(failure("=?x?Q"), -1);
    EXPECT_EQ(failure("=?x?Q?"), -1);
    EXPECT_EQ(failure("=?x"), -1);
    EXPECT_EQ(failure("good =?x?Z?abc?="), -1);
    // Failed decoding of the word's text.
    EXPECT_EQ(failure("=?x?B?YWJ?="), -10);
    EXPECT_EQ(failure("=?x?Q?" + std::string(3000, 'a') + "?="), -10);
}

TEST(EncodedWordDecode, JapaneseWordsFollowTheSessionForm) {
    // "=?ISO-2022-JP?B?" + base64 of ESC $ B 0x46 0x7C ESC ( B.
    const std::string word = "=?iso-2022-jp?B?GyRCRnwbKEI=?=";
    EXPECT_EQ(decode(word, 12), "\xc6\xfc");
    EXPECT_EQ(decode(word, 13), "\x93\xfa");
    EXPECT_EQ(decode(word, 2), "\x1b$BF|\x1b(B");
    EXPECT_EQ(decode("=?ISO-2022-JP?Q?=1B$BF|=1B(B?=", 13), "\x93\xfa");
    // Other charsets keep their bytes.
    EXPECT_EQ(decode("=?ISO-2022-KR?B?GyRCRnwbKEI=?=", 13), "\x1b$BF|\x1b(B");
}

TEST(EncodedWordDecode, ZeroByteEndsTheDecodedWord) {
    EXPECT_EQ(decode("=?x?Q?a=00b?=c"), "ac");
}

}  // namespace
}  // namespace brevorin::test
