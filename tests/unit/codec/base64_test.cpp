#include "codec/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec_test_support.h"
#include "host/host_calls.h"
#include "support/host_fixture.h"

namespace brevorin::test {
namespace {

std::string encode_text(const std::string& text, int wrap) {
    std::string out = "stale";
    EXPECT_EQ(base64_encode_text(text.c_str(), out, wrap), 0);
    return out;
}

// Printable bytes that are not one group over and over, so misplaced groups show.
std::string sample_text(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += static_cast<char>('!' + (i * 7) % 90);
    return text;
}

TEST(Base64EncodeText, EncodesGroupsAndPadsTheRest) {
    EXPECT_EQ(encode_text("abc", 0), "YWJj");
    EXPECT_EQ(encode_text("ab", 0), "YWI=");
    EXPECT_EQ(encode_text("a", 0), "YQ==");
    EXPECT_EQ(encode_text("", 1), "");
    // Bytes are taken unsigned: the high bit reaches the first digit.
    EXPECT_EQ(encode_text("\xff\xfe\xfd", 0), "//79");
}

TEST(Base64EncodeText, WrapBreaksOnlyAfterCompleteLines) {
    EXPECT_EQ(encode_text(sample_text(54), 1), encode_text(sample_text(54), 0) + "\n");
    // 55 bytes: the padded group starts the second line, with no line feed.
    const std::string text55 = encode_text(sample_text(55), 1);
    EXPECT_EQ(text55.size(), 72u + 1 + 4);
    EXPECT_EQ(text55[72], '\n');
    EXPECT_EQ(text55.substr(75), "==");
    // 53 bytes: only the padded group would fill the line.
    EXPECT_EQ(encode_text(sample_text(53), 1).find('\n'), std::string::npos);
    const std::string two_lines = encode_text(sample_text(108), 1);
    EXPECT_EQ(std::count(two_lines.begin(), two_lines.end(), '\n'), 2);
}

TEST(Base64DecodeText, SkipsNonDigitsAndStopsAtThePad) {
    const char* const abc[] = {"YWJj", "YW\r\nJj", "YW Jj", "YWJj=", "YWJj=Zm9v", "*Y*W*J*j*"};
    for (const char* text : abc) {
        std::string out;
        EXPECT_EQ(base64_decode_text(text, out), 0) << text;
        EXPECT_EQ(out, "abc") << text;
    }
    std::string out;
    EXPECT_EQ(base64_decode_text("YWI=", out), 0);
    EXPECT_EQ(out, "ab");
    EXPECT_EQ(base64_decode_text("YWJjZGU=", out), 0);
    EXPECT_EQ(out, "abcde");
    EXPECT_EQ(base64_decode_text("", out), 0);
    EXPECT_EQ(out, "");
}

TEST(Base64DecodeText, IncompleteGroupsFailAndLeaveOutAlone) {
    std::string out = "kept";
    for (const char* text : {"YWJ", "Y", "Y=", "YWJjY="})
        EXPECT_EQ(base64_decode_text(text, out), -1);
    EXPECT_EQ(out, "kept");
}

TEST(Base64DecodeText, EndsAtTheFirstDecodedZeroByte) {
    std::string out;
    ASSERT_EQ(base64_decode_text("AGFi", out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(base64_decode_text("YQBi", out), 0);
    EXPECT_EQ(out, "a");
}

class Base64FileTest : public ::testing::Test {
  protected:
    // Diagnostics go through the host runtime, where the fixture captures them.
    Base64FileTest() { ctx.diag = Diag(true, host_put_message); }

    HostFixture host;
    Context ctx;

    int encode(const std::string& input, std::string& output) {
        auto in = file_with(input);
        auto out = file_with("");
        const int result = base64_encode(in.get(), out.get(), ctx);
        output = content_of(out.get());
        return result;
    }
    int decode(const std::string& input, std::string& output) {
        auto in = file_with(input);
        auto out = file_with("");
        const int result = base64_decode(in.get(), out.get(), ctx);
        output = content_of(out.get());
        return result;
    }
};

TEST_F(Base64FileTest, EncodeCountsCharactersAndLineFeeds) {
    const struct {
        std::string input;
        int count;
        std::string output;
    } cases[] = {
        {"", 0, ""},
        {"a", 4, "YQ=="},
        {"abc", 4, "YWJj"},
        {"abcd", 9, "YWJjZA==\n"},
        {std::string("\0\0\0\0", 4), 9, "AAAAAA==\n"},
        {sample_text(54), 73, encode_text(sample_text(54), 1)},
        // The padded group alone on a new line gets no line feed.
        {sample_text(55), 77, encode_text(sample_text(55), 1)},
        // Longer than the encoder's block, not a multiple of a line.
        {sample_text(200003), 270376, encode_text(sample_text(200003), 1) + "\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(encode(c.input, out), c.count) << c.input.size();
        EXPECT_EQ(out, c.output) << c.input.size();
    }
    EXPECT_TRUE(host.lines().empty()) << host.all_lines();
}

TEST_F(Base64FileTest, DecodeWritesBinaryAndStopsAfterThePad) {
    std::string out;
    EXPECT_EQ(decode("YWJj\nZA==\n", out), 0);
    EXPECT_EQ(out, "abcd");
    EXPECT_EQ(decode("AGFi", out), 0);
    EXPECT_EQ(out, std::string("\0ab", 3));
    EXPECT_EQ(decode("", out), 0);
    EXPECT_EQ(out, "");
    // A pad after a complete group ends the data as the text decoder has it:
    // there is nothing wrong with what came before.
    EXPECT_EQ(decode("YWJj=", out), 0);
    EXPECT_EQ(out, "abc");
    EXPECT_TRUE(host.lines().empty()) << host.all_lines();

    // The input is left just after the pad, as if read a byte at a time.
    auto in = file_with("YWI=rest");
    auto sink = file_with("");
    EXPECT_EQ(base64_decode(in.get(), sink.get(), ctx), 0);
    EXPECT_EQ(std::ftell(in.get()), 4);
}

TEST_F(Base64FileTest, DecodeReportsIncompleteInput) {
    const struct {
        const char* input;
        const char* written;
        const char* line;
    } cases[] = {
        {"YWJ", "", "<E0> BASE64_DECODE: base64 encoding incomplete: at least 6 bits truncated"},
        {"YW", "", "<E0> BASE64_DECODE: base64 encoding incomplete: at least 12 bits truncated"},
        {"YWJjY", "abc",
         "<E0> BASE64_DECODE: base64 encoding incomplete: at least 18 bits truncated"},
        {"YWJjY=", "abc", "<E0> BASE64_DECODE: encoding incomplete: at least 2 bits missing"},
    };
    for (const auto& c : cases) {
        host.clear_lines();
        std::string out;
        EXPECT_EQ(decode(c.input, out), -1) << c.input;
        EXPECT_EQ(out, c.written) << c.input;
        EXPECT_TRUE(host.has_line(std::string("BREVORIN: ") + c.line)) << host.all_lines();
    }
}

TEST_F(Base64FileTest, WriteAndReadFailuresAreReported) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    write_path(dir / "target", "");
    // A stream opened for reading refuses every write.
    platform::File read_only(std::fopen(dir.at("target").c_str(), "rb"));
    ASSERT_NE(read_only, nullptr);
    auto in = file_with("abcdef");
    EXPECT_EQ(base64_encode(in.get(), read_only.get(), ctx), -1);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_ENCODE: write error"));
    auto encoded = file_with("YWJj");
    EXPECT_EQ(base64_decode(encoded.get(), read_only.get(), ctx), -1);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_DECODE: write error"));

    // A directory opens as a stream on Linux but every read fails; that must
    // not pass for an empty attachment.
    platform::File directory(std::fopen(dir.at("").c_str(), "rb"));
    ASSERT_NE(directory, nullptr);
    auto out = file_with("");
    EXPECT_EQ(base64_encode(directory.get(), out.get(), ctx), -1);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_ENCODE: read error"));
    std::clearerr(directory.get());
    EXPECT_EQ(base64_decode(directory.get(), out.get(), ctx), -1);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> BASE64_DECODE: read error"));
}

}  // namespace
}  // namespace brevorin::test
