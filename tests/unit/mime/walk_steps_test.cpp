// A message as the network hands it over, in steps of 1, 2, 3, 7, 64 and
// 4096 bytes: read-ahead, dot-unstuffing, the walker and the streaming
// decoders must give the same body, files and diagnostics whatever the
// steps, by either rules.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>

#include "codec/base64.h"
#include "net/connection.h"
#include "net/data_lines.h"
#include "support/scripted_peer.h"
#include "walk_summary.h"

namespace brevorin {
namespace {

// Every path the walker streams through: a quoted-printable text with soft
// breaks and a line that starts with a dot, a base64 attachment, a line
// longer than the line capacity in an attachment kept as received, and
// a nested multipart/alternative.
std::string message() {
    std::string binary;
    for (int i = 0; i < 3000; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
    std::string encoded = base64_encode_bytes(binary);
    std::string lines;
    for (size_t i = 0; i < encoded.size(); i += 76) lines += encoded.substr(i, 76) + "\r\n";
    return "From: a@example.org\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"=_b\"\r\n\r\npreamble\r\n"
           "--=_b\r\nContent-Type: multipart/alternative; boundary=alt\r\n\r\n"
           "--alt\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
           "Gr=FC=DFe, a soft=\r\n break\r\n.a line with a dot\r\n--alt--\r\n"
           "--=_b\r\nContent-Type: application/octet-stream\r\n"
           "Content-Disposition: attachment; filename=\"d.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           lines +
           "--=_b\r\nContent-Type: application/octet-stream\r\n"
           "Content-Disposition: attachment; filename=\"long.txt\"\r\n\r\n" +
           std::string(5000, 'L') + "\r\n--=_b--\r\nepilogue\r\n";
}

std::string stuffed(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text[at] == '.') out += '.';
        out.append(text, at, end - at);
        at = end;
    }
    return out + ".\r\n";
}

class WalkSteps : public ::testing::TestWithParam<std::tuple<char, size_t>> {};

TEST_P(WalkSteps, SameAccountWhateverTheSteps) {
    auto [selector, step] = GetParam();
    Context ctx = test::walk_context(selector);
    std::string whole = message();
    TextLineSource in_memory(whole.data(), whole.size());
    std::string expected = test::walk_account(in_memory, ctx);
    ASSERT_NE(expected.find("file d.bin 3000:"), std::string::npos) << expected;
    ASSERT_NE(expected.find("file long.txt 50"), std::string::npos) << expected;

    test::ScriptedPeer peer;
    peer.send_slowly(stuffed(whole), step, std::chrono::milliseconds(0));
    peer.start();
    Connection connection(ctx);
    ASSERT_TRUE(connection.open("127.0.0.1", peer.port()));
    DataLineReader lines(connection);
    EXPECT_EQ(test::walk_account(lines, ctx), expected);
    connection.close();
}

INSTANTIATE_TEST_SUITE_P(BothRules, WalkSteps,
                         ::testing::Combine(::testing::Values('\x02', '\x06'),  // Latin-1 host
                                            ::testing::Values(1, 2, 3, 7, 64, 4096)));

}  // namespace
}  // namespace brevorin
