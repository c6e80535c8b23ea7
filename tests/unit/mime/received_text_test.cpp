// Received text and transfer encodings as other mail programs send them:
// a stray byte, a NUL, UTF-16 and UTF-32 text, uuencoded parts and
// encodings nobody knows. The modern rules replace what cannot be shown,
// say so, and keep every part; the classic rules keep what they did.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "core/line_source.h"
#include "mime/message.h"
#include "walk_summary.h"

namespace brevorin {
namespace {

using test::TempDir;

struct TextCase {
    const char* name;
    int host;
    bool modern;
    std::string message;  // the header block after MIME-Version, LF line ends
    std::string body;
    const char* files;    // ESC-separated
    const char* content;  // of the first file, when checked
    int status;
    const char* warning;  // a W line's text (after "<W1> "), or "" for none at all
};

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

class ReceivedText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ReceivedText, ShowsKeepsAndWarns) {
    const TextCase& c = GetParam();
    Context ctx;
    ctx.charset = c.host;
    ctx.options.mime = c.modern ? MimeMode::kModern : MimeMode::kClassic;
    ctx.diag = Diag(true, test::collect_walk_diagnostics);
    test::walk_diagnostics().clear();
    std::string message = crlf("MIME-Version: 1.0\n" + c.message);
    TempDir dir;
    TextLineSource lines(message.data(), message.size());
    std::string header;
    ASSERT_EQ(read_header_block(lines, header), HeaderRead::kRead);
    DecodedBody out;
    ASSERT_EQ(decode_body(lines, header, dir.text(), ctx, out), MessageBody::kDecoded);
    out.commit_files(ctx);
    EXPECT_EQ(out.body.value_or(""), c.body);
    EXPECT_EQ(out.files.value_or(""), c.files);
    EXPECT_EQ(out.status, c.status);
    if (c.content != nullptr) {
        std::string first(c.files);
        first = first.substr(0, first.find('\x1b'));
        EXPECT_EQ(test::read_file(dir.file(first)), c.content);
    }
    const std::string& lines_seen = test::walk_diagnostics();
    if (*c.warning != '\0')
        EXPECT_NE(lines_seen.find(std::string("<W1> ") + c.warning), std::string::npos)
            << lines_seen;
    else
        EXPECT_EQ(lines_seen.find("<W"), std::string::npos) << lines_seen;
}

std::string case_name(const ::testing::TestParamInfo<TextCase>& info) {
    return info.param.name;
}

const std::string kR = "\xEF\xBF\xBD";  // U+FFFD

INSTANTIATE_TEST_SUITE_P(
    BadBytes, ReceivedText,
    ::testing::Values(
        TextCase{"stray_byte_latin1_host", kLatin1, true,
                 "Content-Type: text/plain; charset=utf-8\n\nGr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\n",
                 "Gr\xFC\xDF"
                 "e ?\r\n",
                 "", nullptr, 1,
                 "POP3_PARSE_MIME: Text part not valid UTF-8, 1 sequence(s) replaced"},
        TextCase{"stray_byte_in_base64", kUtf8, true,
                 "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n\n"
                 "YdFi\n",
                 "a" + kR + "b", "", nullptr, 1,
                 "POP3_PARSE_MIME: Text part not valid UTF-8, 1 sequence(s) replaced"},
        TextCase{"bad_euc_kr_byte", kUtf8, true,
                 "Content-Type: text/plain; charset=euc-kr\n\n\xB0\xA1 \xFF ok\n",
                 "\xEA\xB0\x80 " + kR + " ok\r\n", "", nullptr, 1,
                 "POP3_PARSE_MIME: Text part not valid EUC-KR, 1 sequence(s) replaced"},
        TextCase{"well_formed_says_nothing", kUtf8, true,
                 "Content-Type: text/plain; charset=utf-8\n\n\xD0\x9F\xD1\x80\n",
                 "\xD0\x9F\xD1\x80\r\n", "", nullptr, 0, ""},
        // The classic rules keep the bytes of a set the host shares.
        TextCase{"classic_keeps_the_stray_byte", kUtf8, false,
                 "Content-Type: text/plain; charset=UTF-8\n\na \xD1 b\n", "a \xD1 b\r\n", "",
                 nullptr, 0, ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    WideText, ReceivedText,
    ::testing::Values(
        TextCase{"utf16be_latin1_host", kLatin1, true,
                 "Content-Type: text/plain; charset=\"UTF-16BE\"\n"
                 "Content-Transfer-Encoding: base64\n\nAEcAcgD8AN8AZQANAAo=\n",
                 "Gr\xFC\xDF"
                 "e\r\n",
                 "", nullptr, 0, ""},
        TextCase{"utf16_html", kUtf8, true,
                 "Content-Type: text/html; charset=utf-16\nContent-Transfer-Encoding: base64\n\n"
                 "//48AHAAPgDcAGIAZQByADwALwBwAD4A\n",
                 "\xC3\x9C"
                 "ber\r\n",
                 "message.html", nullptr, 0, ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Nuls, ReceivedText,
    ::testing::Values(
        TextCase{"nul_in_base64_text", kLatin1, true,
                 "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\ndm9yAG5hY2g=\n",
                 "vor?nach", "", nullptr, 1,
                 "POP3_PARSE_MIME: Text part holds NUL bytes, 1 replaced"},
        TextCase{"nuls_in_quoted_printable", kUtf8, true,
                 "Content-Type: text/plain; charset=utf-8\n"
                 "Content-Transfer-Encoding: quoted-printable\n\na=00b=00c\n",
                 "a" + kR + "b" + kR + "c\r\n", "", nullptr, 1,
                 "POP3_PARSE_MIME: Text part holds NUL bytes, 2 replaced"},
        TextCase{"nul_in_html", kUtf8, true,
                 "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: base64\n\n"
                 "PHA+dm9yAG5hY2g8L3A+\n",
                 "vor" + kR + "nach\r\n", "message.html", nullptr, 1,
                 "POP3_PARSE_MIME: HTML part holds NUL bytes, 1 replaced"},
        // The classic rules end the text at its NUL, as documented.
        TextCase{"classic_cuts_at_nul", kUtf8, false,
                 "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\ndm9yAG5hY2g=\n",
                 "vor", "", nullptr, 0, ""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    TransferEncodings, ReceivedText,
    ::testing::Values(
        // Unnamed, the part takes the begin line's name, without its trailing
        // dot; the blank line before it is passed over.
        TextCase{"uuencode_named_by_begin_line", kLatin1, true,
                 "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                 "Content-Type: application/octet-stream\nContent-Transfer-Encoding: uuencode\n\n"
                 "\nbegin 600 data.bin.\n#8V%T\n`\nend\n--b--\n",
                 "", "data.bin", "cat", 0, ""},
        // A text/plain part uuencoded is a file, not text to show.
        TextCase{"x_uue_text_part", kUtf8, true,
                 "Content-Type: text/plain; name=notes.txt\nContent-Transfer-Encoding: x-uue\n\n"
                 "begin 644 notes.txt\n#8V%T\n`\nend\n",
                 "", "notes.txt", "cat", 0, ""},
        TextCase{"uuencode_without_its_end", kUtf8, true,
                 "Content-Type: application/octet-stream; name=a.bin\n"
                 "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 a.bin\n#8V%T\n",
                 "", "a.bin", "cat", 1, "UUDECODE: data cut short, what was read kept: "},
        TextCase{"unknown_encoding_text_shown", kUtf8, true,
                 "Content-Type: text/plain\nContent-Transfer-Encoding: x-rot13\n\nnopqr\n",
                 "nopqr\r\n", "", nullptr, 1,
                 "POP3_PARSE_MIME: Unknown transfer encoding x-rot13, text part shown undecoded"}),
    case_name);

}  // namespace
}  // namespace brevorin
