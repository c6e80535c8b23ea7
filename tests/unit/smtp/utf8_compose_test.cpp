// What a UTF-8 host's message carries in its headers, and Message-ID lines.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "codec/base64.h"
#include "core/context.h"
#include "smtp/compose.h"
#include "smtp/header_encoding.h"

namespace brevorin {
namespace {

// Joins the B words of a folded value back into the bytes they carry.
std::string unwrap(const std::string& value) {
    static const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
    std::string bytes;
    for (auto it = std::sregex_iterator(value.begin(), value.end(), word);
         it != std::sregex_iterator(); ++it) {
        std::string decoded;
        EXPECT_EQ(base64_decode_text((*it)[1].str().c_str(), decoded), 0);
        bytes += decoded;
    }
    return bytes;
}

class Utf8Subject : public ::testing::TestWithParam<std::string> {};

TEST_P(Utf8Subject, WordsStayWithinSeventyFiveAndSplitBetweenCharacters) {
    Context ctx;
    ctx.charset = kUtf8;
    std::string out;
    ASSERT_EQ(encode_words(GetParam().c_str(), out, ctx), 0);
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find("\r\n ", start);
        std::string line =
            out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        EXPECT_LE(line.size(), 75u) << line;
        std::string piece = unwrap(line);
        // No word ends inside a character.
        ASSERT_FALSE(piece.empty());
        EXPECT_NE(static_cast<unsigned char>(piece[0]) & 0xC0, 0x80) << line;
        start = end == std::string::npos ? out.size() : end + 3;
    }
    EXPECT_EQ(unwrap(out), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Values, Utf8Subject,
                         ::testing::Values(std::string("Gr\xc3\xbc\xc3\x9f"
                                                       "e"),
                                           std::string(44, 'a') + "\xe2\x82\xac\xe2\x82\xac", [] {
                                               std::string s;
                                               for (int i = 0; i < 40; ++i)
                                                   s += "\xe6\x9d\xb1\xf0\x9f\x98\x80";
                                               return s;
                                           }()));

TEST(Utf8FileName, ExtendedParameterEscapesAllButAttributeCharacters) {
    EXPECT_EQ(utf8_file_name_parameters("plain.txt"), "");
    EXPECT_EQ(utf8_file_name_parameters("Pr\xc3\xbc"
                                        "f 1%;\".txt"),
              "filename*=UTF-8''Pr%C3%BCf%201%25%3B%22.txt");
}

TEST(MessageId, UniqueAndShapedAsAnAddress) {
    static const std::regex shape(
        "Message-ID: <[0-9a-f]{16}\\.[0-9a-f]{12}\\.[0-9a-f]{4}@[A-Za-z0-9.-]+>");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string line = message_id_line();
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace brevorin
