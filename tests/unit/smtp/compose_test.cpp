// Composition: Date line, boundary, the line rule and the message as written.
#include "smtp/compose.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/base64.h"
#include "smtp_test_support.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::RecordingSocketApi;

std::tm make_tm(int year, int yday, int mday, int wday, int hour, int min) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_yday = yday;
    t.tm_mon = 11;
    t.tm_mday = mday;
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = 32;
    return t;
}

TEST(DateAndBoundaryTest, ZoneOffsetAcrossDaysAndYears) {
    MessageTime t;
    t.local = make_tm(2026, 339, 6, 0, 0, 30);
    t.utc = make_tm(2026, 338, 5, 6, 23, 30);  // local 00:30 is UTC 23:30 of the day before
    EXPECT_EQ(date_line(t), "Date: Sun, 06 Dec 2026 00:30:32 +0100\r\n");
    t.local = make_tm(2025, 364, 31, 3, 20, 0);
    t.utc = make_tm(2026, 0, 1, 4, 1, 30);
    EXPECT_EQ(date_line(t), "Date: Wed, 31 Dec 2025 20:00:32 -0530\r\n");
    t.utc = t.local;
    EXPECT_EQ(date_line(t), "Date: Wed, 31 Dec 2025 20:00:32 +0000\r\n");
}

TEST(DateAndBoundaryTest, ZoneNameIsCutAndCleanedToFit) {
    MessageTime t;
    t.local = make_tm(2026, 339, 6, 0, 18, 57);
    t.zone_name = "CET";
    EXPECT_EQ(boundary_for(t), "--NextPart----062026185732CET----KTHZ1999--");
    t.zone_name = "W. Europe Standard Time and more";
    EXPECT_EQ(boundary_for(t), "--NextPart----062026185732W. Europe Standard Time----KTHZ1999--");
    t.zone_name = "Mitteleurop\xe4ische Zeit";  // a localised name in the host's code page
    EXPECT_EQ(boundary_for(t), "--NextPart----062026185732Mitteleuropische Zeit----KTHZ1999--");
}

class ComposeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx_.host_version = "7.2.05";  // what a session records for the host runtime
        headers_.to = "to1, to2";
        headers_.from = "from1";
        peer_.start();
        ASSERT_TRUE(conn_.open("127.0.0.1", peer_.port()));
        net_.recorded = conn_.socket();
    }
    int put(const std::string& text) {
        OutgoingText outgoing;
        outgoing.text = text;
        outgoing.encoding = text_encoding_;
        return put_message(conn_, headers_, outgoing, attachments_, ctx_);
    }
    std::string after_date() const { return net_.sent.substr(net_.sent.find("\r\n") + 2); }

    RecordingSocketApi net_;
    test::HostFixture host_;
    Context ctx_ = test::traced_context(kUsAscii);
    int text_encoding_ = kEncoding7bit;
    test::ScriptedPeer peer_;  // only accepts: what is sent is recorded in net_
    Connection conn_{ctx_};
    HeaderList headers_;
    AttachmentList attachments_;
    test::TempDir dir_;
};

TEST_F(ComposeTest, SinglePartHeaderLinesInOrderWithoutBcc) {
    ASSERT_EQ(put("Hello"), 0);
    EXPECT_EQ(after_date(),
              "From: from1\r\nTo: to1, to2\r\nX-Mailer: Dravemont TESSERA 7.2.05, 1.1\r\n"
              "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n"
              "Content-Transfer-Encoding: 7bit\r\n\r\nHello\r\n.\r\n");
    EXPECT_EQ(host_.count_containing("<D1> SENDMAIL: Header now: Date: "), 1);

    net_.sent.clear();
    headers_.cc = "cc1";
    headers_.bcc = "secret";
    headers_.reply_to = "r@x";
    headers_.priority = 1;
    headers_.subject = "=?ISO-8859-1?Q?Gr=FC=DFe?=";
    ctx_.charset = kLatin1;
    text_encoding_ = kEncodingQuotedPrintable;
    ASSERT_EQ(put("Hi\r\n"), 0);
    EXPECT_EQ(after_date(),
              "From: from1\r\nTo: to1, to2\r\ncc: cc1\r\nReply-To: r@x\r\n"
              "X-Priority: 1 (Lowest)\r\nSubject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\n"
              "X-Mailer: Dravemont TESSERA 7.2.05, 1.1\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=iso-8859-1\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n\r\nHi\r\n\r\n.\r\n");
}

TEST_F(ComposeTest, LineRuleStuffsDotsAndWritesEveryBreakAsCrLf) {
    const std::pair<std::string, std::string> cases[] = {{"a\nb", "a\r\nb"},
                                                         {"a\rb", "a\r\nb"},
                                                         {"a\r\nb", "a\r\nb"},
                                                         {"a\n\rb", "a\r\n\r\nb"},
                                                         {".x\n.\n..", "..x\r\n..\r\n..."},
                                                         {"x\r\n.\r\n", "x\r\n..\r\n"},
                                                         {"", ""}};
    for (const auto& [text, wire] : cases) {
        net_.sent.clear();
        ASSERT_EQ(write_text_lines(conn_, text), 0);
        EXPECT_EQ(net_.sent, wire) << text;
    }
}

TEST_F(ComposeTest, MultipartMessageInOneGatheredSend) {
    std::string pdf =
        dir_.write("report.pdf", std::string("%PDF\x00\xff", 6) + std::string(300, 'z'));
    std::string two = dir_.write("two.bin", "ab");
    std::string list = pdf + "\033" + two;
    ASSERT_EQ(parse_attachment_list(list.c_str(), attachments_, ctx_), 0);
    // The file encoder's form: 408 digits, a line feed after each full line.
    platform::File source = platform::open_binary_read(pdf);
    platform::File encoded_file(std::tmpfile());
    ASSERT_EQ(base64_encode(source.get(), encoded_file.get(), ctx_), 413);
    EXPECT_EQ(attachments_.entries[0].encoded_size, 413);
    std::string encoded = test::read_all(encoded_file.get());
    std::string wire;  // its line feeds go out as CR LF
    for (char c : encoded) wire += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_EQ(put(""), 0);

    size_t at = net_.sent.find("boundary=\"") + 10;
    std::string b = net_.sent.substr(at, net_.sent.find('"', at) - at);
    EXPECT_EQ(net_.sent.substr(net_.sent.find("MIME-Version: ")),
              "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"" + b +
                  "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + b +
                  "\r\nContent-Type: text/plain; charset=us-ascii\r\n"
                  "Content-Transfer-Encoding: 7bit\r\n\r\n\r\n\r\n--" +
                  b +
                  "\r\nContent-Type: application/octet-stream\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"report.pdf\"\r\n\r\n" +
                  wire + "\r\n\r\n--" + b +
                  "\r\nContent-Type: application/octet-stream\r\n"
                  "Content-Transfer-Encoding: base64\r\n"
                  "Content-Disposition: attachment; filename=\"two.bin\"\r\n\r\nYWI=\r\n--" +
                  b + "--\r\n\r\n.\r\n");
    EXPECT_TRUE(host_.has_line("BREVORIN: <F1> SMTP_PUTMESSAGE: Done writing attachment: two.bin"));
    EXPECT_EQ(net_.sends, 1);
}

TEST_F(ComposeTest, FailuresEndTheComposition) {
    std::string big = dir_.write("big.bin", std::string(300000, 'q'));
    ASSERT_EQ(parse_attachment_list(big.c_str(), attachments_, ctx_), 0);
    net_.fail_after = 1000;
    EXPECT_EQ(put("text"), -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> SMTP_PUTMESSAGE: Error writing data to socket"));
    EXPECT_EQ(host_.count_containing("Done writing attachment"), 0);

    attachments_.entries.clear();  // the gathered message fails as it goes out
    net_.fail_after = 10;
    EXPECT_EQ(put("text"), -1);
    EXPECT_TRUE(net_.sent.empty());

    net_.fail_after = -1;
    headers_.to = std::string(kHeaderBlockCapacity, 't');
    host_.clear_lines();
    EXPECT_EQ(put("x"), -1);
    EXPECT_TRUE(net_.sent.empty());
    headers_.to = std::string(1000, 't');  // 1,002 characters or more: not traced
    ASSERT_EQ(put("x"), 0);
    EXPECT_EQ(host_.count_containing("Header now"), 0);
}

std::string repeated(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// The classic rules keep the bytes they always sent, 8-bit names included.
TEST(ClassicAttachmentNames, KeepTheirBytes) {
    test::TempDir dir;
    Context ctx = test::traced_context(kLatin1);
    AttachmentList attachments;
    std::string path = dir.write(
        "\xdc"
        "bersicht.txt",
        "x");
    ASSERT_EQ(parse_attachment_list(path.c_str(), attachments, ctx), 0);
    EXPECT_EQ(attachment_part_header("b", attachments.entries[0], ctx),
              "\r\n\r\n--b\r\nContent-Type: application/octet-stream\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment; filename=\"\xdc"
              "bersicht.txt\"\r\n\r\n");
    ctx.charset = kUtf8;
    std::string long_name = dir.write(repeated("\xc3\x9c", 60) + ".txt", "x");
    ASSERT_EQ(parse_attachment_list(long_name.c_str(), attachments, ctx), 0);
    const std::string header = attachment_part_header("b", attachments.entries[0], ctx);
    EXPECT_NE(header.find("\r\n\tfilename*=UTF-8''" + repeated("%C3%9C", 60) + ".txt\r\n"),
              std::string::npos);
}

TEST(CidNames, OnlyWholeNamesAfterCid) {
    const std::pair<const char*, bool> cases[] = {{"<img src=\"cid:a\">", true},
                                                  {"<img src='cid:a'>", true},
                                                  {"<img src=cid:a>", true},
                                                  {"url(cid:a)", true},
                                                  {"cid:a", true},
                                                  {"<img src=\"cid:ab.png\">", false},
                                                  {"<img src=\"cid:a.png\">", false},
                                                  {"<img src=\"cid:\">", false},
                                                  {"<p>a</p>", false}};
    for (const auto& [html, named] : cases) EXPECT_EQ(html_names_cid(html, "a"), named) << html;
    EXPECT_TRUE(html_names_cid("<img src=\"cid:logo (1).png\">", "logo (1).png"));
}

}  // namespace
}  // namespace brevorin
