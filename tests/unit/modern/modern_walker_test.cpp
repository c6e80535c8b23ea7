// The mime=modern walker on messages held in memory.
#include <gtest/gtest.h>

#include <string>

#include "../mime/mime_test_support.h"
#include "core/context.h"
#include "core/line_source.h"
#include "mime/message.h"
#include "mime/modern_walker.h"

namespace brevorin {
namespace {

using test::TempDir;

struct Decoded {
    BodyOutcome outcome;
    DecodedBody body;
};

Context modern(int charset = kLatin1) {
    Context ctx;
    ctx.charset = charset;
    ctx.options.mime = MimeMode::kModern;
    return ctx;
}

// Splits a whole message at its header's empty line and decodes the body.
Decoded decode(const std::string& message, const TempDir& dir, const Context& ctx) {
    size_t split = message.find("\r\n\r\n") + 4;
    std::string header = message.substr(0, split);
    std::string rest = message.substr(split);
    TextLineSource lines(rest.data(), rest.size());
    Decoded d;
    d.outcome = parse_modern_body(lines, header, dir.text(), ctx, d.body);
    return d;
}

std::string crlf(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

TEST(ModernWalker, MixedWithAlternativeTakesThePlainTextAndSavesAttachments) {
    TempDir dir;
    std::string message = crlf(
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"outer\"\n"
        "\n"
        "preamble\n"
        "--outer\n"
        "Content-Type: multipart/alternative; boundary=\"inner\"\n"
        "\n"
        "--inner\n"
        "Content-Type: text/plain; charset=utf-8\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "Gr=C3=BC=C3=9Fe\n"
        "--inner\n"
        "Content-Type: text/html\n"
        "\n"
        "<p>html</p>\n"
        "--inner--\n"
        "--outer\n"
        "Content-Type: application/octet-stream\n"
        "Content-Disposition: attachment; filename*=utf-8''na%C3%AFve.txt\n"
        "Content-Transfer-Encoding: quoted-printable\n"
        "\n"
        "a=3Db soft=\n"
        "break\n"
        "--outer--\n"
        "epilogue\n");
    Decoded d = decode(message, dir, modern());
    EXPECT_EQ(d.outcome, BodyOutcome::kDecoded);
    EXPECT_EQ(d.body.status, kAttachmentsHandled);
    EXPECT_EQ(d.body.body.value_or(""), "Gr\xfc\xdf" "e");
    EXPECT_EQ(d.body.files.value_or(""), "na\xefve.txt");
    EXPECT_EQ(test::read_file(dir.file("na\xefve.txt")), "a=b soft" "break");
}

}  // namespace
}  // namespace brevorin
