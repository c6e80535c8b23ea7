// The streaming decoders: the same bytes whatever pieces the input arrives
// in, and bounded memory on a line that never ends.
#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace brevorin {
namespace {

enum class Codec { kQuotedPrintable, kBase64 };

// The decoded bytes, and for base64 how the input ended.
std::string decode_in_steps(Codec codec, const std::string& in, size_t step) {
    if (codec == Codec::kQuotedPrintable) return test::fed_in_pieces(QpDecoder(), in, step);
    Base64Decoder base64;
    std::string out;
    for (size_t i = 0; i < in.size(); i += step) base64.feed(in.data() + i, std::min(step, in.size() - i), out);
    static const char* const kEnds[] = {"", "<missing bits>", "<truncated>"};
    Base64Decoder::End end = base64.finish(out);
    return out + kEnds[static_cast<int>(end)];
}

struct StepCase {
    const char* name;
    Codec codec;
    std::string encoded;
    std::string decoded;
};

class DecodeSteps : public ::testing::TestWithParam<StepCase> {};

TEST_P(DecodeSteps, SameBytesWhateverThePieces) {
    const StepCase& c = GetParam();
    for (size_t step : test::every_piece_size(c.encoded))
        EXPECT_EQ(decode_in_steps(c.codec, c.encoded, step), c.decoded) << "pieces of " << step;
}

constexpr Codec kQp = Codec::kQuotedPrintable;
constexpr Codec kB64 = Codec::kBase64;

INSTANTIATE_TEST_SUITE_P(
    Inputs, DecodeSteps,
    ::testing::Values(
        StepCase{"qpEscapes", kQp, "caf=C3=a9 =3D\r\n", "caf\xC3\xA9 =\r\n"},
        StepCase{"qpSoftBreak", kQp, "long=\r\nline\r\n", "longline\r\n"},
        StepCase{"qpTrailingBlanks", kQp, "a \t \r\nb", "a\r\nb"},
        StepCase{"qpBlanksAfterSoftBreak", kQp, "a =  \r\nb", "a b"},
        StepCase{"qpBadEscapesKept", kQp, "=ZZ =4\r\n=\r", "=ZZ =4\r\n"},
        StepCase{"qpLineFeedsOnly", kQp, "x=\ny\n", "xy\r\n"},
        StepCase{"qpSoftBreakAtTheEnd", kQp, "end=", "end"},
        StepCase{"qpBareCarriageReturn", kQp, "a\rb\r\n", "a\rb\r\n"},
        StepCase{"qpEscapeBeforeBlanks", kQp, "=41  \r\n=4 \r\n", "A\r\n=4\r\n"},
        StepCase{"qpMarksInARow", kQp, "==41=4=42===\r\n", "=A=4B=="},
        StepCase{"base64Lines", kB64, "YWJj\r\nZGVm\r\nZw==\r\n", "abcdefg"},
        StepCase{"base64NoiseSkipped", kB64, "Y W\tJ-j!", "abc"},
        StepCase{"base64StopsAtThePad", kB64, "YWI=YWJj", "ab"},
        StepCase{"base64PadAfterWholeGroup", kB64, "YWJj=", "abc"},
        StepCase{"base64MissingBits", kB64, "YWJjY=", "abc<missing bits>"},
        StepCase{"base64Truncated", kB64, "YWJjYW", "abc<truncated>"},
        StepCase{"base64Binary", kB64, "AP8AgA==", std::string("\0\xFF\0\x80", 4)}),
    [](const auto& info) { return std::string(info.param.name); });

// The streaming encoder gives what the file encoder gives, in any pieces
// and with either line break, and its size is known without encoding: a
// message's size is checked before anything is sent.
TEST(Base64Encoder, MatchesTheFileEncoderAtEverySize) {
    std::string data;
    for (int i = 0; i < 400; ++i) data += static_cast<char>(1 + (i * 37 + 11) % 255);  // no NUL
    for (size_t n = 0; n <= data.size(); ++n) {
        std::string whole;
        Base64Encoder file_form;
        file_form.feed(data.data(), n, whole);
        file_form.finish(whole);
        ASSERT_EQ(whole.size(), Base64Encoder::encoded_size(n)) << n;
        // The text encoder's lines, and the file encoder's line feed after a
        // padded group that shares its line.
        std::string expected;
        base64_encode_text(data.substr(0, n).c_str(), expected, 1);
        if (n % 3 != 0 && n / 3 % 18 != 0) expected += '\n';
        EXPECT_EQ(whole, expected) << n;
        // Every piece size on a few lengths: the whole range costs too much
        // at all 400 of them.
        const std::vector<size_t> steps =
            n % 97 == 0 ? test::every_piece_size(data.substr(0, n)) : std::vector<size_t>{1, 2, 7, 64};
        for (size_t step : steps) {
            std::string wire;
            Base64Encoder mail_form("\r\n");
            for (size_t i = 0; i < n; i += step) mail_form.feed(data.data() + i, std::min(step, n - i), wire);
            mail_form.finish(wire);
            std::string crlf;
            for (char c : whole) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
            ASSERT_EQ(wire, crlf) << n << " in steps of " << step;
        }
    }
}

// A quoted-printable attachment may be one line of any length: it is
// decoded as it arrives, never held whole.
TEST(QpDecoder, LineWithoutEndIsDecodedAsItArrives) {
    QpDecoder decoder;
    std::string out;
    const std::string piece = std::string(4093, 'a') + "=41";
    size_t fed = 0;
    for (int i = 0; i < 1024; ++i) {
        out.clear();
        decoder.feed(piece.data(), piece.size(), out);
        fed += out.size();
        EXPECT_LE(i * piece.size(), fed + 128 * 1024) << "held back after " << i << " pieces";
    }
    out.clear();
    decoder.feed("=41 \t\r\n", 7, out);
    decoder.finish(out);
    EXPECT_EQ(out.substr(out.size() - 3), "A\r\n");
}

}  // namespace
}  // namespace brevorin
