// The streaming quoted-printable decoder: the same bytes whatever pieces
// the input arrives in, and bounded memory on a line that never ends.
#include "codec/quoted_printable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace brevorin {
namespace {

std::string decode_in_steps(const std::string& in, size_t step) {
    QpDecoder decoder;
    std::string out;
    for (size_t i = 0; i < in.size(); i += step)
        decoder.feed(in.data() + i, std::min(step, in.size() - i), out);
    decoder.finish(out);
    return out;
}

struct QpCase {
    const char* name;
    std::string encoded;
    std::string decoded;
};

class QpSteps : public ::testing::TestWithParam<std::tuple<QpCase, size_t>> {};

TEST_P(QpSteps, SameBytesWhateverThePieces) {
    const QpCase& c = std::get<0>(GetParam());
    EXPECT_EQ(decode_in_steps(c.encoded, std::get<1>(GetParam())), c.decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, QpSteps,
    ::testing::Combine(
        ::testing::Values(
            QpCase{"escapes", "caf=C3=a9 =3D\r\n", "caf\xC3\xA9 =\r\n"},
            QpCase{"softBreak", "long=\r\nline\r\n", "longline\r\n"},
            QpCase{"trailingBlanks", "a \t \r\nb", "a\r\nb"},
            QpCase{"blanksAfterSoftBreak", "a =  \r\nb", "a b"},
            QpCase{"badEscapesKept", "=ZZ =4\r\n=\r", "=ZZ =4\r\n"},
            QpCase{"lineFeedsOnly", "x=\ny\n", "xy\r\n"},
            QpCase{"softBreakAtTheEnd", "end=", "end"},
            QpCase{"bareCarriageReturn", "a\rb\r\n", "a\rb\r\n"},
            QpCase{"escapeBeforeBlanks", "=41  \r\n=4 \r\n", "A\r\n=4\r\n"}),
        ::testing::Values(1u, 2u, 3u, 7u, 64u, 4096u)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::to_string(std::get<1>(info.param));
    });

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
