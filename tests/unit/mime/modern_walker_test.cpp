// The mime=modern walker on messages held in memory.
#include <gtest/gtest.h>

#include <string>

#include "core/context.h"
#include "core/line_source.h"
#include "mime/message.h"
#include "mime/walker.h"
#include "mime_test_support.h"

namespace brevorin {
namespace {

using test::TempDir;

struct Decoded {
    MessageBody outcome;
    DecodedBody body;
};

Context modern(int charset = kLatin1) {
    Context ctx;
    ctx.charset = charset;
    ctx.options.mime = MimeMode::kModern;
    return ctx;
}

// Decodes a whole message as retrieval does: its header block, then its body.
Decoded decode(const std::string& message, const TempDir& dir, const Context& ctx) {
    TextLineSource lines(message.data(), message.size());
    std::string header;
    Decoded d;
    EXPECT_EQ(read_header_block(lines, header), HeaderRead::kRead);
    d.outcome = decode_body(lines, header, dir.text(), ctx, d.body);
    d.body.commit_files(ctx);
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

struct WalkCase {
    const char* name;
    const char* message;  // LF line ends
    const char* body;
    const char* files;  // ESC-separated
    int status;
};

class Walks : public ::testing::TestWithParam<WalkCase> {};

std::string case_name(const ::testing::TestParamInfo<WalkCase>& info) {
    std::string n = info.param.name;
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
}

TEST_P(Walks, GiveBodyFilesAndStatus) {
    const WalkCase& c = GetParam();
    TempDir dir;
    Decoded d = decode(crlf(c.message), dir, modern());
    EXPECT_EQ(d.outcome, MessageBody::kDecoded);
    EXPECT_EQ(d.body.body.value_or(""), c.body);
    EXPECT_EQ(d.body.files.value_or(""), c.files);
    EXPECT_EQ(d.body.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Structures, Walks,
    ::testing::Values(
        // Without a plain alternative the first one is a part of its class;
        // the later ones count for nothing. HTML that nothing else shows is
        // rendered into the body, and kept as a file.
        WalkCase{"html-only",
                 "MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=a\n\n"
                 "--a\nContent-Type: text/html\n\n<p>one</p>\n--a\nContent-Type: text/html\n\n"
                 "<p>two</p>\n--a--\n",
                 "one\r\n", "message.html", 0},
        WalkCase{"html-message",
                 "MIME-Version: 1.0\nContent-Type: text/html; charset=iso-8859-1\n"
                 "Content-Transfer-Encoding: quoted-printable\n\n<h1>Gr=FC=DFe</h1>caf&eacute;\n",
                 "Gr\xfc\xdf"
                 "e\r\n\r\ncaf\xe9\r\n",
                 "message.html", 0},
        WalkCase{
            "html-after-text",
            "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
            "Content-Type: text/plain\n\nplain\n--m\nContent-Type: text/html\n\n<p>html</p>\n"
            "--m\nContent-Type: text/html\nContent-Disposition: attachment\n\n<p>x</p>\n--m--\n",
            "plain",
            "att-1.html\x1b"
            "att-2.html",
            0},
        // The plain text coming second still wins over the first.
        WalkCase{"plain-second",
                 "MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=a\n\n"
                 "--a\nContent-Type: text/html\n\n<p>one</p>\n--a\nContent-Type: text/plain\n\n"
                 "plain\n--a--\n",
                 "plain", "", 0},
        // mpack's one-character boundary; a line that only starts like a
        // delimiter is content.
        WalkCase{"dash-boundary",
                 "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"-\"\n\n---\n"
                 "Content-Type: text/plain\n\n----not a delimiter\n---\n"
                 "Content-Type: application/octet-stream; name=\"x.bin\"\n"
                 "Content-Transfer-Encoding: base64\n\naGVsbG8K\n-----\n",
                 "----not a delimiter", "x.bin", 0},
        // Signed: the content is walked, the signature saved as a file.
        WalkCase{"signed",
                 "MIME-Version: 1.0\nContent-Type: multipart/signed; boundary=s;"
                 " protocol=\"application/pgp-signature\"\n\n--s\nContent-Type: text/plain\n\n"
                 "signed text\n--s\nContent-Type: application/pgp-signature; name=signature.asc\n\n"
                 "-----BEGIN PGP SIGNATURE-----\n--s--\n",
                 "signed text", "signature.asc", 0},
        // Data ending before the closing delimiter keeps what was read.
        WalkCase{"cut-short",
                 "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
                 "Content-Type: text/plain\n\npartial\n",
                 "partial\r\n", "", 1},
        // An inner multipart left open ends at the outer delimiter.
        WalkCase{"inner-unclosed",
                 "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=o\n\n--o\n"
                 "Content-Type: multipart/mixed; boundary=i\n\n--i\nContent-Type: text/plain\n\n"
                 "inner\n--o\nContent-Type: text/plain\n\nouter\n--o--\n",
                 "inner\r\n\r\nouter", "", 1},
        // Unnamed parts are named by their type; no name ends in a dot or
        // a blank, not even the next free one (Windows would drop it).
        WalkCase{"unnamed-parts",
                 "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
                 "Content-Type: application/octet-stream\n\nx\n--m\n"
                 "Content-Type: application/octet-stream\n\ny\n--m\n"
                 "Content-Type: text/calendar\n\nz\n--m\n"
                 "Content-Type: application/pdf; name=\"report. \"\n\nw\n--m--\n",
                 "",
                 "att-1\x1b"
                 "att-2\x1b"
                 "att-1.ics\x1breport",
                 0},
        // Encoded-word names, and names the safety rules must change.
        WalkCase{"word-names",
                 "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
                 "Content-Type: text/csv; name=\"=?iso-8859-1?q?=E4rger.txt?=\"\n\nA\n--m\n"
                 "Content-Type: text/plain\nContent-Disposition: attachment;"
                 " filename*=utf-8''..%2F..%2Fetc%2Fpasswd\n\nB\n--m--\n",
                 "", "\xe4rger.txt\x1bpasswd", 0},
        WalkCase{"lossy-text",
                 "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
                 "Content-Transfer-Encoding: base64\n\nNSDigqw=\n",
                 "5 ?", "", 1}),
    case_name);

// Text a mail client shows reaches the body: a type without subtype, a
// multipart without boundary, inline text parts that carry a name, text
// right after a header block that lacks its empty line. What is filed
// away stays a file.
INSTANTIATE_TEST_SUITE_P(
    TextReachesTheBody, Walks,
    ::testing::Values(
        WalkCase{"no-subtype", "MIME-Version: 1.0\nContent-Type: text; charset=us-ascii\n\nshown\n",
                 "shown\r\n", "", 0},
        WalkCase{"no-boundary", "MIME-Version: 1.0\nContent-Type: multipart/mixed\n\n--x\nshown\n",
                 "--x\r\nshown\r\n", "", 0},
        WalkCase{
            "inline-named-texts",
            "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
            "Content-Type: text/plain\nContent-Disposition: inline; filename=\"msg.txt\"\n\none\n"
            "--m\nContent-Type: text/plain; name=\"msg.txt\"\n\ntwo\n--m\n"
            "Content-Type: text/plain\nContent-Disposition: attachment; filename=\"kept.txt\"\n\n"
            "file\n--m--\n",
            "one\r\n\r\ntwo", "kept.txt", 0},
        WalkCase{"part-without-empty-line",
                 "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
                 "Content-Type: text/plain\nbar\n--m--\n",
                 "bar", "", 0},
        WalkCase{"message-without-empty-line",
                 "From: a@example.org\nTo: b@example.org\nSubject: s\ncounter to RFC 2822, no "
                 "empty line\n",
                 "counter to RFC 2822, no empty line\r\n", "", 0},
        WalkCase{"digest-parts-are-messages",
                 "MIME-Version: 1.0\nContent-Type: multipart/digest; boundary=d\n\n--d\n\n"
                 "Subject: inner\n\nforwarded\n--d--\n",
                 "", "att-1.eml", 0}),
    case_name);

// Nesting deeper than the limit is skipped; the limit itself is walked.
TEST(ModernWalker, SixteenLevelsAreWalkedSeventeenAreNot) {
    for (int depth : {kMaxMultipartDepth, kMaxMultipartDepth + 1}) {
        std::string inner = "Content-Type: text/plain\r\n\r\ndeep\r\n";
        for (int level = depth; level >= 1; --level) {
            std::string b = "b" + std::to_string(level);
            inner = "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n" +
                    inner + "\r\n--" + b + "--\r\n";
        }
        TempDir dir;
        Decoded d = decode("MIME-Version: 1.0\r\n" + inner, dir, modern());
        bool walked = depth <= kMaxMultipartDepth;
        EXPECT_EQ(d.body.body.value_or(""), walked ? "deep\r\n" : "") << depth;
        EXPECT_EQ(d.body.status, walked ? 0 : 1) << depth;
    }
}

// Quoted-printable attachments of any line length: soft breaks join, hard
// breaks stay CR LF, the break before the delimiter is the delimiter's.
TEST(ModernWalker, QuotedPrintableAttachmentStreams) {
    std::string long_line(5000, 'q');
    std::string message = crlf(
        "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=m\n\n--m\n"
        "Content-Type: application/octet-stream; name=q.bin\n"
        "Content-Transfer-Encoding: quoted-printable\n\n" +
        long_line + "=\n=00=FF=0D=0A  \nlast=3D\n--m--\n");
    TempDir dir;
    Decoded d = decode(message, dir, modern());
    EXPECT_EQ(d.body.status, 0);
    EXPECT_EQ(test::read_file(dir.file("q.bin")),
              long_line + std::string("\0\xff\r\n\r\nlast=", 11));
}

}  // namespace
}  // namespace brevorin

namespace brevorin {
namespace {

// A text longer than the converter's pieces, with a line longer than
// several of them: converted piece by piece (no character split between
// two) it is what converting it whole gives, both ways between Latin-1 and
// UTF-8, and the body limit holds exactly at the converted size.
TEST(ModernWalker, LargeTextConvertsInPiecesUpToTheLimit) {
    std::string latin1;
    while (latin1.size() < 300 * 1024)
        latin1 +=
            "Gr\xfc\xdf"
            "e \xe4\xf6\xfc\r\n";
    for (int i = 0; i < 200 * 1024; ++i)
        latin1 +=
            "\xe9\xe9"
            "a";
    latin1 += "\r\n";
    std::string utf8;
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    struct Way {
        const char* charset;
        const std::string& sent;
        int host;
        const std::string& shown;
    };
    for (const Way& way :
         {Way{"iso-8859-1", latin1, kUtf8, utf8}, Way{"utf-8", utf8, kLatin1, latin1}}) {
        std::string message =
            std::string("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=") + way.charset +
            "\r\n\r\n" + way.sent;
        for (size_t limit : {way.shown.size(), way.shown.size() - 1}) {
            TempDir dir;
            TextLineSource lines(message.data(), message.size());
            std::string header;
            ASSERT_EQ(read_header_block(lines, header), HeaderRead::kRead);
            DecodedBody body;
            body.body_limit = limit;
            ASSERT_EQ(decode_body(lines, header, dir.text(), modern(way.host), body),
                      MessageBody::kDecoded);
            bool fits = limit == way.shown.size();
            EXPECT_EQ(body.body_over_limit, !fits) << way.charset;
            EXPECT_EQ(body.status, 0) << way.charset;
            EXPECT_TRUE(body.body.value_or("") == (fits ? way.shown : ""))
                << way.charset << " " << limit;
        }
    }
}

}  // namespace
}  // namespace brevorin
