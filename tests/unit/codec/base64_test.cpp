#include "codec/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec_test_support.h"
#include "support/host_fixture.h"

namespace brevorin::test {
namespace {

std::string encode_text(const std::string& text, int wrap) {
    std::string out = "stale";
    EXPECT_EQ(BASE64_ENCODE_TEXT(text.c_str(), out, wrap), 0);
    return out;
}

// A text of n printable bytes that is not the same group over and over, so
// that misplaced groups show.
std::string sample_text(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += static_cast<char>('!' + (i * 7) % 90);
    return text;
}

TEST(Base64EncodeText, EncodesGroupsAndPadsTheRest) {
    EXPECT_EQ(encode_text("abc", 0), "YWJj");
    EXPECT_EQ(encode_text("ab", 0), "YWI=");
    EXPECT_EQ(encode_text("a", 0), "YQ==");
    EXPECT_EQ(encode_text("", 0), "");
    EXPECT_EQ(encode_text("", 1), "");
    // Bytes are taken unsigned: the high bit reaches the first digit.
    EXPECT_EQ(encode_text("\xff\xfe\xfd", 0), "//79");
    EXPECT_EQ(encode_text("\x80", 0), "gA==");
}

TEST(Base64EncodeText, WrapBreaksWithLineFeedAfterCompleteLinesOnly) {
    const std::string line54 = encode_text(sample_text(54), 1);
    ASSERT_EQ(line54.size(), 73u);
    EXPECT_EQ(line54.find('\n'), 72u);

    // 55 bytes: the padded group starts the second line and ends the text.
    const std::string text55 = encode_text(sample_text(55), 1);
    ASSERT_EQ(text55.size(), 72u + 1 + 4);
    EXPECT_EQ(text55[72], '\n');
    EXPECT_EQ(text55.substr(75), "==");

    const std::string text108 = encode_text(sample_text(108), 1);
    EXPECT_EQ(text108.size(), 146u);
    EXPECT_EQ(text108[72], '\n');
    EXPECT_EQ(text108.back(), '\n');

    // 53 bytes: the line is full only with the padded group, which never
    // brings a line feed.
    EXPECT_EQ(encode_text(sample_text(53), 1).find('\n'), std::string::npos);

    const std::string unwrapped = encode_text(sample_text(1000), 0);
    EXPECT_EQ(unwrapped.find('\n'), std::string::npos);
    std::string joined = encode_text(sample_text(1000), 1);
    joined.erase(std::remove(joined.begin(), joined.end(), '\n'), joined.end());
    EXPECT_EQ(joined, unwrapped);
}

TEST(Base64DecodeText, SkipsNonDigitsAndStopsAtThePad) {
    std::string out;
    for (const char* text : {"YWJj", "YW\r\nJj", "YW Jj", "YWJj=", "YWJj=garbage", "*Y*W*J*j*"}) {
        out = "stale";
        EXPECT_EQ(BASE64_DECODE_TEXT(text, out), 0) << text;
        EXPECT_EQ(out, "abc") << text;
    }
    ASSERT_EQ(BASE64_DECODE_TEXT("YWI=", out), 0);
    EXPECT_EQ(out, "ab");
    ASSERT_EQ(BASE64_DECODE_TEXT("YWJjZA==", out), 0);
    EXPECT_EQ(out, "abcd");
    ASSERT_EQ(BASE64_DECODE_TEXT("YWJjZGU=", out), 0);
    EXPECT_EQ(out, "abcde");
    ASSERT_EQ(BASE64_DECODE_TEXT("", out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(BASE64_DECODE_TEXT("//79", out), 0);
    EXPECT_EQ(out, "\xff\xfe\xfd");
}

TEST(Base64DecodeText, FailsOnIncompleteGroupsAndLeavesOutAlone) {
    std::string out = "kept";
    EXPECT_EQ(BASE64_DECODE_TEXT("YWJ", out), -1);
    EXPECT_EQ(BASE64_DECODE_TEXT("Y", out), -1);
    EXPECT_EQ(BASE64_DECODE_TEXT("Y=", out), -1);
    EXPECT_EQ(BASE64_DECODE_TEXT("YWJjY=", out), -1);
    EXPECT_EQ(out, "kept");
}

TEST(Base64DecodeText, EndsAtTheFirstDecodedZeroByte) {
    std::string out = "stale";
    ASSERT_EQ(BASE64_DECODE_TEXT("AGFi", out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(BASE64_DECODE_TEXT("YQBi", out), 0);
    EXPECT_EQ(out, "a");
}

TEST(Base64DecodeText, RoundTripsEveryLengthAcrossTheFastPath) {
    for (size_t n = 0; n < 200; ++n) {
        const std::string text = sample_text(n);
        std::string decoded;
        ASSERT_EQ(BASE64_DECODE_TEXT(encode_text(text, 1).c_str(), decoded), 0) << n;
        EXPECT_EQ(decoded, text) << n;
    }
}

class Base64FileTest : public ::testing::Test {
protected:
    HostFixture host;
    MailSession* session = host.new_session();

    int encode(const std::string& input, std::string& output) {
        auto in = file_with(input);
        auto out = empty_file();
        const int result = BASE64_ENCODE(in.get(), out.get(), session);
        output = content_of(out.get());
        return result;
    }
    int decode(const std::string& input, std::string& output) {
        auto in = file_with(input);
        auto out = empty_file();
        const int result = BASE64_DECODE(in.get(), out.get(), session);
        output = content_of(out.get());
        return result;
    }
};

TEST_F(Base64FileTest, EncodeCountsCharactersAndLineFeeds) {
    std::string out;
    EXPECT_EQ(encode("", out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(encode("a", out), 4);
    EXPECT_EQ(out, "YQ==");
    EXPECT_EQ(encode("abc", out), 4);
    EXPECT_EQ(out, "YWJj");
    EXPECT_EQ(encode("abcd", out), 9);
    EXPECT_EQ(out, "YWJjZA==\n");
    EXPECT_EQ(encode(sample_text(54), out), 73);
    EXPECT_EQ(out, encode_text(sample_text(54), 1));
    // The padded group alone on a new line gets no line feed.
    EXPECT_EQ(encode(sample_text(55), out), 77);
    EXPECT_EQ(out, encode_text(sample_text(55), 1));
    EXPECT_TRUE(host.lines().empty()) << host.all_lines();
}

TEST_F(Base64FileTest, EncodeTakesZeroBytesAndLongFiles) {
    std::string out;
    EXPECT_EQ(encode(std::string("\0\0\0\0", 4), out), 9);
    EXPECT_EQ(out, "AAAAAA==\n");
    // Longer than one block of the encoder, not a multiple of a line.
    const std::string text = sample_text(200003);
    const int count = encode(text, out);
    EXPECT_EQ(count, static_cast<int>(out.size()));
    EXPECT_EQ(out, encode_text(text, 1) + "\n");
}

TEST_F(Base64FileTest, EncodeReadsFromTheCurrentPosition) {
    auto in = file_with("skip:abc");
    std::fseek(in.get(), 5, SEEK_SET);
    auto out = empty_file();
    EXPECT_EQ(BASE64_ENCODE(in.get(), out.get(), session), 4);
    EXPECT_EQ(content_of(out.get()), "YWJj");
}

TEST_F(Base64FileTest, DecodeWritesBinaryAndStopsAfterThePad) {
    std::string out;
    EXPECT_EQ(decode("YWJj\nZA==\n", out), 0);
    EXPECT_EQ(out, "abcd");
    EXPECT_EQ(decode("AGFi", out), 0);
    EXPECT_EQ(out, std::string("\0ab", 3));
    EXPECT_EQ(decode("", out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(decode("YWI=", out), 0);
    EXPECT_EQ(out, "ab");
    EXPECT_TRUE(host.lines().empty()) << host.all_lines();

    auto in = file_with("YWI=rest");
    auto sink = empty_file();
    EXPECT_EQ(BASE64_DECODE(in.get(), sink.get(), session), 0);
    EXPECT_EQ(std::ftell(in.get()), 4);
}

TEST_F(Base64FileTest, DecodeReportsTruncatedInput) {
    std::string out;
    EXPECT_EQ(decode("YWJ", out), -1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(host.has_line(
        "BREVORIN: <E0> BASE64_DECODE: base64 encoding incomplete: at least 6 bits truncated"));
    EXPECT_EQ(decode("YWJjY", out), -1);
    EXPECT_EQ(out, "abc");
    EXPECT_TRUE(host.has_line(
        "BREVORIN: <E0> BASE64_DECODE: base64 encoding incomplete: at least 18 bits truncated"));
    EXPECT_EQ(decode("YW", out), -1);
    EXPECT_TRUE(host.has_line(
        "BREVORIN: <E0> BASE64_DECODE: base64 encoding incomplete: at least 12 bits truncated"));
    EXPECT_EQ(decode("YWJjY=", out), -1);
    EXPECT_EQ(out, "abc");
    EXPECT_TRUE(host.has_line(
        "BREVORIN: <E0> BASE64_DECODE: encoding incomplete: at least 2 bits missing"));
}

TEST_F(Base64FileTest, DecodeRefusesAPadAfterACompleteGroup) {
    std::string out;
    EXPECT_EQ(decode("YWJj=", out), -1);
    EXPECT_EQ(out, "abc");
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_DECODE: write error"));
}

TEST_F(Base64FileTest, WriteAndReadFailuresAreReported) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    write_path(dir / "target", "");
    // A stream opened for reading refuses every write.
    platform::File read_only(std::fopen(dir.at("target").c_str(), "rb"));
    ASSERT_NE(read_only, nullptr);

    auto in = file_with("abcdef");
    EXPECT_EQ(BASE64_ENCODE(in.get(), read_only.get(), session), -1);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_ENCODE: write error"));

    auto encoded = file_with("YWJj");
    EXPECT_EQ(BASE64_DECODE(encoded.get(), read_only.get(), session), -1);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_DECODE: write error"));

    // A directory opens as a stream on Linux but every read fails; that must
    // not pass for an empty attachment.
    platform::File directory(std::fopen(dir.at("").c_str(), "rb"));
    if (directory != nullptr) {
        auto out = empty_file();
        EXPECT_EQ(BASE64_ENCODE(directory.get(), out.get(), session), -1);
        EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_ENCODE: read error"));
        std::clearerr(directory.get());
        EXPECT_EQ(BASE64_DECODE(directory.get(), out.get(), session), -1);
        EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_DECODE: read error"));
    }
}

TEST(Base64File, QuietWithoutTrace) {
    HostFixture host(63);
    MailSession* session = host.new_session();
    auto in = file_with("YWJ");
    auto out = empty_file();
    EXPECT_EQ(BASE64_DECODE(in.get(), out.get(), session), -1);
    EXPECT_TRUE(host.lines().empty());
}

}  // namespace
}  // namespace brevorin::test
