// The multipart walker over messages held in memory.
#include <gtest/gtest.h>

#include "codec/base64.h"
#include "core/line_source.h"
#include "mime/walker.h"
#include "mime_test_support.h"
#include "support/host_fixture.h"

namespace brevorin {
namespace {

const char kMixed[] =
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XyZ\"\r\n\r\n";

// What a walk leaves unread when it consumed the end of data itself: the
// next reader of the connection is then in step with the server.
const char kAfterEnd[] = "<after the end of data>";

std::string part(const std::string& headers, const std::string& content) {
    return "--XyZ\r\n" + headers + "\r\n" + content + "\r\n";
}

std::string base64(const std::string& data) {
    std::string out;
    base64_encode_text(data.c_str(), out, 1);
    return out + "\r\n";
}

class Walker : public ::testing::Test {
  protected:
    explicit Walker(int charset = kUsAscii) : ctx(test::traced_context(charset)) {}

    // Walks body (as received, dot-stuffing already undone) and records what
    // the walk left unread: the next line, or kAfterEnd.
    BodyOutcome walk(const std::string& header, const std::string& body) {
        TextLineSource lines(body.data(), body.size());
        BodyOutcome rc = walk_body(lines, header, directory, ctx, out);
        out.commit_files(ctx);
        if (lines.finished())
            following = kAfterEnd;
        else if (lines.next() == LineSource::Next::kLine)
            following.assign(lines.raw(), static_cast<size_t>(lines.raw_size()));
        else
            following = "<end of data left unread>";
        return rc;
    }
    std::string body() const { return out.body.value_or("<none>"); }
    std::string files() const { return out.files.value_or("<none>"); }

    test::HostFixture host;
    Context ctx;
    test::TempDir dir;
    std::string directory = dir.text();
    DecodedBody out;
    int& status = out.status;
    std::string following;
};

TEST_F(Walker, TextAndAttachmentClasses) {
    std::string msg =
        "preamble\r\n" + part("Content-Type: text/plain\r\n", "one\r\n.dot") +
        part(
            "Content-Type: text/plain; charset=iso-8859-1\r\n"
            "Content-Transfer-Encoding: base64\r\n",
            base64("two")) +
        part("Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n",
             "caf=E9 =\r\nok") +
        part(
            "Content-Type: text/plain; name=n.txt\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"n.txt\"\r\n",
            "bmFtZWQ=") +
        part(
            "Content-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=raw.bin\r\n",
            ".line1\r\nline2") +
        part(
            "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"b.bin\"\r\n",
            "AAH/DQouzg==") +
        part(
            "Content-Type: image/gif; name=\"a.gif\"\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: inline; filename=\"a.gif\"\r\n",
            base64("GIF89a")) +
        part("Content-Type: application/pdf\r\nContent-Transfer-Encoding: BASE64\r\n",
             base64("%PDF")) +
        "--XyZ--\r\nepilogue\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(following, kAfterEnd);
    EXPECT_EQ(body(), "one\r\n.dot\r\ntwocaf\xe9 ok\r\n");
    EXPECT_EQ(files(),
              "n.txt\x1b"
              "raw.bin\x1b"
              "b.bin\x1b"
              "a.gif\x1b"
              "att-1");
    EXPECT_EQ(test::read_file(dir.file("n.txt")), "bmFtZWQ=\r\n");
    EXPECT_EQ(test::read_file(dir.file("raw.bin")), ".line1\r\nline2\r\n");
    EXPECT_EQ(test::read_file(dir.file("b.bin")), std::string("\x00\x01\xff\r\n.\xce", 7));
    EXPECT_EQ(test::read_file(dir.file("a.gif")), "GIF89a");
    EXPECT_EQ(test::read_file(dir.file("att-1")), "%PDF");
    EXPECT_TRUE(host.has_line("BREVORIN: <F0> POP3_PARSE_MIME: Decoded and written file: " +
                              dir.file("a.gif")));
}

TEST_F(Walker, SkippedPartsSetStatusOneAndTheWalkGoesOn) {
    std::string msg =
        part(
            "Content-Type: image/png\r\nContent-Transfer-Encoding: quoted-printable\r\n"
            "Content-Disposition: attachment; filename=q.png\r\n",
            "=89PNG") +
        part("Content-Type: multipart/mixed; boundary=inner\r\n",
             "--inner\r\nContent-Type: text/plain\r\n\r\nhidden\r\n--inner--") +
        part("X-Nothing: here\r\n", "no type") +
        part("Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: 8bit\r\n",
             "eight bit") +
        part("Content-Type: text/plain\r\n", "kept") + "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(body(), "kept\r\n");
    EXPECT_EQ(files(), "<none>");
    EXPECT_TRUE(dir.names().empty());
    EXPECT_EQ(following, kAfterEnd);
}

TEST_F(Walker, UnopenableFileIsStatusTwo) {
    directory = dir.file("missing") + "/";
    std::string msg = part("Content-Type: application/octet-stream\r\n", "data") +
                      part("Content-Type: text/plain\r\n", "after") + "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(body(), "after\r\n");
}

TEST_F(Walker, NoFreeNameIsStatusThree) {
    test::write_file(dir.file("att-1"), "old");
    for (int i = 2; i <= 10; ++i) test::write_file(dir.file("att-" + std::to_string(i) + "."), "");
    std::string msg = part("Content-Type: application/octet-stream\r\n", "data") + "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(test::read_file(dir.file("att-1")), "old");
}

TEST_F(Walker, FailedDecodingKeepsTheNextPart) {
    std::string msg = part(
                          "Content-Type: image/gif\r\nContent-Transfer-Encoding: base64\r\n"
                          "Content-Disposition: attachment; filename=bad.gif\r\n",
                          "QUJ") +
                      part("Content-Type: text/plain\r\n", "next") + "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(body(), "next\r\n");
    EXPECT_EQ(files(), "<none>");
}

TEST_F(Walker, NamesFromTheMessageStayInTheDirectory) {
    std::string msg = part(
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Disposition: attachment; filename=\"../../up.txt\"\r\n",
                          "u") +
                      part(
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Disposition: attachment; filename=\"..\"\r\n",
                          "d") +
                      part(
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Disposition: attachment; filename=NUL\r\n",
                          "n") +
                      "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(files(),
              "up.txt\x1b"
              "att-1\x1b_NUL");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"_NUL", "att-1", "up.txt"}));
}

TEST_F(Walker, TextInAnUnknownCharsetKeepsItsBytes) {
    std::string msg = part(
                          "Content-Type: text/plain; charset=utf-8\r\n"
                          "Content-Transfer-Encoding: base64\r\n",
                          base64("gr\xc3\xbc\xc3\x9f")) +
                      part("Content-Type: text/plain; charset=\"windows-1252\"\r\n", "\x80") +
                      "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(body(), "gr\xc3\xbc\xc3\x9f\x80\r\n");
}

TEST_F(Walker, LongLinesAreNotDelimitersInTheirMiddle) {
    std::string line = std::string(kLineCapacity, 'x') + "--XyZ--\r\n";
    std::string msg = part("Content-Type: application/octet-stream\r\n", line) + "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(test::read_file(dir.file("att-1")), line + "\r\n");
}

TEST_F(Walker, TooLongTextFails) {
    std::string big;
    while (big.size() < 70000) big += std::string(98, 't') + "\r\n";
    std::string msg = part("Content-Type: text/plain\r\n", big) + "--XyZ--\r\n";
    EXPECT_EQ(walk(kMixed, msg), BodyOutcome::kFailed);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> GET_MIME_TEXT: Message too big"));
}

TEST_F(Walker, DataEndingBeforeTheClosingDelimiterKeepsWhatWasRead) {
    std::string msg = part("Content-Type: text/plain\r\n", "text") +
                      part(
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Disposition: attachment; filename=cut.bin\r\n",
                          "half");
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(body(), "text\r\n");
    EXPECT_EQ(test::read_file(dir.file("cut.bin")), "half\r\n");
    EXPECT_EQ(following, kAfterEnd);

    out = DecodedBody();
    ASSERT_EQ(walk(kMixed, "just a preamble\r\n"), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(following, kAfterEnd);
}

TEST_F(Walker, ClosingDelimiterFirstLeavesEverythingAlone) {
    ASSERT_EQ(walk(kMixed, "--XyZ--\r\n"), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(out.body.has_value());
    EXPECT_FALSE(out.files.has_value());
}

// The connection hands out whole lines however the bytes arrive (a slow
// server is covered in tests/unit/net); what remains here is the message
// that a slow server used to deliver, a preamble, text and a long base64 part.
TEST_F(Walker, SlowServerInSmallPackets) {
    std::string msg = "pre\r\n" + part("Content-Type: text/plain\r\n", "slow text") +
                      part(
                          "Content-Type: application/octet-stream\r\n"
                          "Content-Transfer-Encoding: base64\r\n",
                          base64(std::string(3000, 'q'))) +
                      "--XyZ--\r\n";
    ASSERT_EQ(walk(kMixed, msg), BodyOutcome::kDecoded);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(body(), "slow text\r\n");
    EXPECT_EQ(test::read_file(dir.file("att-1")), std::string(3000, 'q'));
    EXPECT_EQ(following, kAfterEnd);
}

TEST_F(Walker, TopLevelShapes) {
    // Not MIME: nothing is read.
    EXPECT_EQ(walk("Subject: x\r\n\r\n", "line\r\n"), BodyOutcome::kNotMime);
    EXPECT_EQ(following, "line\r\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(walk("MIME-Version: 1.0\r\nContent-Type: application/pdf\r\n\r\n", "x\r\n"),
              BodyOutcome::kNotMime);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(following, "x\r\n");

    status = 0;
    ASSERT_EQ(walk("MIME-Version: 1.0\r\n\r\n", "plain\r\n.dot\r\n"), BodyOutcome::kDecoded);
    EXPECT_EQ(body(), "plain\r\n.dot\r\n");
    EXPECT_EQ(following, kAfterEnd);

    out = DecodedBody();
    ASSERT_EQ(walk("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: quoted-printable\r\n\r\n",
                   "soft =\r\nbreak  \r\n"),
              BodyOutcome::kDecoded);
    EXPECT_EQ(body(), "soft break\r\n");

    out = DecodedBody();
    ASSERT_EQ(walk("MIME-Version: 1.0\r\nContent-Type: multipart/mixed\r\n\r\n", "--x\r\n"),
              BodyOutcome::kDecoded);
    EXPECT_EQ(body(), "--x\r\n");
}

// The classic collections check their room before each line: what fits
// with a whole line's room to spare is read, one byte more is refused (a
// part header skips its part; a text or an epilogue fails the message).
struct LimitCase {
    const char* name;
    size_t fits;  // the largest size read
    std::string (*message)(size_t size);
    BodyOutcome refused;
};

class ClassicLimits : public Walker, public ::testing::WithParamInterface<LimitCase> {};

std::string padded_line(const std::string& start, size_t size) {
    return start + std::string(size - start.size() - 2, 'p') + "\r\n";
}

TEST_P(ClassicLimits, ExactlyAtTheLimitIsReadOneByteMoreIsNot) {
    const LimitCase& c = GetParam();
    for (size_t size : {c.fits, c.fits + 1}) {
        out = DecodedBody();
        host.clear_lines();
        bool fits = size == c.fits;
        BodyOutcome rc = walk(kMixed, c.message(size));
        EXPECT_EQ(rc, fits ? BodyOutcome::kDecoded : c.refused) << size;
        if (rc == BodyOutcome::kDecoded) {
            EXPECT_EQ(status, fits ? 0 : 1) << size;
        }
        if (fits) {
            EXPECT_EQ(body().find("kept"), 0u) << size;
        } else if (rc == BodyOutcome::kDecoded) {
            EXPECT_EQ(body(), "second\r\n");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Collections, ClassicLimits,
    ::testing::Values(
        LimitCase{"part_header", 4096 - 2049,
                  [](size_t size) {
                      std::string block = "Content-Type: text/plain\r\n";
                      return part(block + padded_line("X-Pad: ", size - block.size()), "kept") +
                             part("Content-Type: text/plain\r\n", "second") + "--XyZ--\r\n";
                  },
                  BodyOutcome::kDecoded},
        LimitCase{"text", 64000 - 2049,
                  [](size_t size) {
                      std::string text = "kept\r\n";
                      while (text.size() + 1000 < size) text += padded_line("", 1000);
                      text += padded_line("", size - text.size());
                      return "--XyZ\r\nContent-Type: text/plain\r\n\r\n" + text + "--XyZ--\r\n";
                  },
                  BodyOutcome::kFailed},
        LimitCase{"epilogue", 64000 - 2049,
                  [](size_t size) {
                      std::string epilogue;
                      while (epilogue.size() + 1000 < size) epilogue += padded_line("", 1000);
                      epilogue += padded_line("", size - epilogue.size());
                      return part("Content-Type: text/plain\r\n", "kept") + "--XyZ--\r\n" + epilogue;
                  },
                  BodyOutcome::kFailed}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

// The memory limits of the modern rules, set small for the walk: a part of
// exactly the limit is held and shown, one byte more is not shown, and
// status 1 says so.
struct HoldCase {
    const char* name;
    const char* header;
    WalkLimits limits;
    bool file_kept_past_limit;  // the HTML file is saved whole either way
};

class HoldLimits : public Walker, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HoldLimits, ExactlyTheLimitIsShownOneByteMoreIsNot) {
    const HoldCase& c = GetParam();
    ctx.options.mime = MimeMode::kModern;
    const std::string block = "Content-Type: text/html\r\n\r\n";
    const size_t limit = std::min(c.limits.alternative_hold, c.limits.html_hold);
    for (size_t size : {limit, limit + 1}) {
        out = DecodedBody();
        host.clear_lines();
        // What is held is the content without the line break that belongs
        // to the closing delimiter; an alternative is held with its header.
        const size_t content_size = c.limits.alternative_hold == limit ? size - block.size() : size;
        const std::string content = "<p>shown" + std::string(content_size - 12, 'p') + "</p>";
        const std::string body = "--XyZ\r\n" + block + content + "\r\n--XyZ--\r\n";
        TextLineSource lines(body.data(), body.size());
        test::TempDir fresh;  // the file of each walk under its own name
        ASSERT_EQ(walk_body(lines, c.header, fresh.text(), ctx, out, c.limits),
                  BodyOutcome::kDecoded);
        out.commit_files(ctx);
        const bool fits = size == limit;
        SCOPED_TRACE(fits ? "at the limit" : "one byte past it");
        EXPECT_EQ(status, fits ? 0 : 1);
        EXPECT_EQ(out.body.value_or("").find("shown"), fits ? 0u : std::string::npos);
        const bool file = fits || c.file_kept_past_limit;
        EXPECT_EQ(files(), file ? "message.html" : "<none>");
        if (file) {
            EXPECT_EQ(test::read_file(fresh.file("message.html")), content);
        }
        const std::string warning = "longer than " + std::to_string(limit) + " bytes";
        EXPECT_EQ(host.count_containing(warning), !fits && c.file_kept_past_limit ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modern, HoldLimits,
    ::testing::Values(
        HoldCase{"alternative",
                 "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=XyZ\r\n\r\n",
                 WalkLimits{300, kHtmlHoldLimit}, false},
        HoldCase{"html", kMixed, WalkLimits{kAlternativeHoldLimit, 300}, true}),
    [](const ::testing::TestParamInfo<HoldCase>& info) { return std::string(info.param.name); });

class JapaneseWalker : public Walker {
  protected:
    JapaneseWalker() : Walker(kSjis) {}
};

TEST_F(JapaneseWalker, Iso2022JpTextBecomesShiftJis) {
    ASSERT_EQ(walk("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n\r\n",
                   "\x1b$B!!\x1b(B\r\n"),
              BodyOutcome::kDecoded);
    EXPECT_EQ(body(), "\x81\x40\r\n");
}

}  // namespace
}  // namespace brevorin
