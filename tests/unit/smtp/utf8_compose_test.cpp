// What a UTF-8 host's message carries in its headers, and Message-ID lines.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "codec/base64.h"
#include "core/context.h"
#include "core/options.h"
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

struct DomainCase {
    const char* address;
    const char* domain;
};

class AddressDomain : public ::testing::TestWithParam<DomainCase> {};

TEST_P(AddressDomain, IsWhatTheLastAngleBracketsEncloseAfterItsLastAt) {
    EXPECT_EQ(address_domain(GetParam().address), GetParam().domain);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressDomain,
    ::testing::Values(DomainCase{"ann@example.org", "example.org"},
                      DomainCase{"Ann <ann@mail.example.org>", "mail.example.org"},
                      DomainCase{"\"ann@home\" <ann@work.example>", "work.example"},
                      DomainCase{"\"a@b\"@c.example", "c.example"}, DomainCase{"ann", ""},
                      DomainCase{"ann@", ""}, DomainCase{"ann@[192.0.2.1]", ""},
                      DomainCase{"ann@m\xc3\xa4.example", ""}, DomainCase{"ann@.example.", ""}));

TEST(MessageId, NamesTheDomainGivenElseTheMachine) {
    EXPECT_TRUE(std::regex_match(message_id_line("example.org"),
                                 std::regex("Message-ID: <[0-9a-f.]+@example\\.org>")));
    std::string machine = message_id_line();
    EXPECT_EQ(machine.substr(machine.find('@')), message_id_line("").substr(machine.find('@')));
}

// The name goes on the command line as one word.
TEST(HeloName, OptionTakesOneWordAndFallsBackToTheMachine) {
    Context ctx;
    const std::string machine = helo_name(ctx);
    EXPECT_FALSE(machine.empty());
    for (const char* bad : {"", "a b", "mail.example.org\r\nRSET", "tab\there", "del\x7f"}) {
        EXPECT_EQ(apply_option(ctx.options, "helo_name", bad), OptionOutcome::kBadValue) << bad;
        EXPECT_EQ(helo_name(ctx), machine);
    }
    EXPECT_EQ(apply_option(ctx.options, "helo_name", std::string(256, 'a')),
              OptionOutcome::kBadValue);
    ASSERT_EQ(apply_option(ctx.options, "helo_name", "mail.example.org"), OptionOutcome::kSet);
    EXPECT_EQ(helo_name(ctx), "mail.example.org");
}

}  // namespace
}  // namespace brevorin
