// How a text part goes out: lines no server takes force quoted-printable,
// and a text attachment is labelled with the encoding its bytes are in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec/quoted_printable.h"
#include "smtp/compose.h"
#include "smtp/sendmail.h"
#include "smtp_test_support.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::HostFixture;
using test::ScriptedPeer;

std::string repeated(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// What went out between DATA and the final dot.
std::string message_sent(const Context& ctx, const std::string& text) {
    ScriptedPeer peer;
    peer.send("220 mail.test\r\n").read_line().send("250 hello\r\n");
    peer.read_line().send("250 ok\r\n").read_line().send("250 ok\r\n");
    peer.read_line().send("354 go\r\n").read_until(".\r\n").send("250 queued\r\n");
    peer.read_line().send("221 bye\r\n");
    peer.start();
    EXPECT_EQ(send_mail(peer.server().c_str(), "TO=to1\033FROM=from1", text.c_str(), "", 0, ctx),
              0);
    peer.join();
    const std::string all = peer.received();
    const size_t data = all.find("DATA\r\n") + 6;
    return all.substr(data, all.find("\r\n.\r\n", data) + 2 - data);
}

// The longest line as the server keeps it: a stuffed dot is not counted.
size_t longest_line(const std::string& message) {
    size_t longest = 0;
    for (size_t start = 0; start < message.size();) {
        size_t end = message.find("\r\n", start);
        if (end == std::string::npos) end = message.size();
        const bool stuffed = message.compare(start, 2, "..") == 0;
        longest = std::max(longest, end - start - (stuffed ? 1 : 0));
        start = end + 2;
    }
    return longest;
}

// The transfer encoding and body of the part of the given type.
void find_part(const std::string& message, const std::string& type, std::string& encoding,
               std::string& body) {
    const size_t at = message.find("Content-Type: " + type);
    ASSERT_NE(at, std::string::npos) << message.substr(0, 2000);
    const size_t line = message.find("Content-Transfer-Encoding: ", at) + 27;
    encoding = message.substr(line, message.find("\r\n", line) - line);
    const size_t start = message.find("\r\n\r\n", at) + 4;
    size_t end = message.find("\r\n--", start);
    if (end == std::string::npos) end = message.size() - 2;
    body = message.substr(start, end - start);
}

struct LongLineCase {
    const char* id;
    int charset;
    MimeMode mime;
    bool html;
    std::string text;
    bool quoted;       // goes out quoted-printable
    std::string sent;  // what the part carries once decoded; empty: the text
};

class LongLines : public ::testing::TestWithParam<LongLineCase> {};

TEST_P(LongLines, QuotedPrintableOnlyWhereALineIsTooLongForAServer) {
    const LongLineCase& c = GetParam();
    HostFixture host;
    Context ctx = test::traced_context(c.charset);
    ctx.options.mime = c.mime;
    if (c.html) ctx.options.text_format = TextFormat::kHtml;
    const std::string message = message_sent(ctx, c.text);
    EXPECT_LE(longest_line(message), 998u);
    std::string encoding, body;
    find_part(message, c.html ? "text/html" : "text/plain", encoding, body);
    const std::string& sent = c.sent.empty() ? c.text : c.sent;
    if (!c.quoted) {
        EXPECT_EQ(encoding, "7bit");
        EXPECT_EQ(body, sent);
        return;
    }
    EXPECT_EQ(encoding, "quoted-printable");
    std::string decoded;
    ASSERT_TRUE(qp_decode_whole(QpDecoder::Form::kClassicText, body, decoded));
    EXPECT_EQ(decoded, sent);
}

const std::string k998(998, 'a');
const std::string k999(999, 'a');
// 496 kanji are 992 bytes of JIS, 998 with the escapes around them.
const std::string kKanji = repeated("\xc6\xfc", 496);
const std::string kJis = "\x1b$B" + repeated("F|", 496) + "\x1b(J";

INSTANTIATE_TEST_SUITE_P(
    Texts, LongLines,
    ::testing::Values(
        LongLineCase{
            "Ascii998Kept", kUsAscii, MimeMode::kClassic, false, k998 + "\r\nend", false, {}},
        LongLineCase{
            "Ascii999Quoted", kUsAscii, MimeMode::kClassic, false, k999 + "\r\nend", true, {}},
        // The dot doubled for the line rule is not part of the line.
        LongLineCase{"DotLine998Kept", kUsAscii, MimeMode::kClassic, false,
                     "x\r\n." + k998.substr(1), false, "x\r\n.." + k998.substr(1)},
        LongLineCase{"LoneBreaksEndLines", kUsAscii, MimeMode::kClassic, false,
                     k998 + "\n" + k998 + "\r" + k998, false, k998 + "\r\n" + k998 + "\r\n" + k998},
        LongLineCase{
            "Latin999Quoted", kLatin1, MimeMode::kClassic, false, "x\r\n" + k999, true, {}},
        LongLineCase{"Utf8Modern999Quoted", kUtf8, MimeMode::kModern, false, k999, true, {}},
        // Counted as the line goes out: in JIS, escapes included.
        LongLineCase{"Jis998Kept", kEuc, MimeMode::kClassic, false, kKanji, false, kJis},
        LongLineCase{"Jis999Quoted", kEuc, MimeMode::kClassic, false, "a" + kKanji, true,
                     "a" + kJis},
        LongLineCase{"HtmlModern999Quoted",
                     kUtf8,
                     MimeMode::kModern,
                     true,
                     "<p>" + k999.substr(3) + "\r\n",
                     true,
                     {}},
        LongLineCase{"HtmlClassic998Kept",
                     kUsAscii,
                     MimeMode::kClassic,
                     true,
                     "<p>" + k998.substr(3) + "\r\n",
                     false,
                     {}}),
    [](const auto& info) { return std::string(info.param.id); });

// A text attachment goes out as the bytes on disk: the modern rules name
// their encoding, the classic ones keep the label they always had.
struct AttachmentLabel {
    const char* id;
    int charset;
    MimeMode mime;
    const char* type;
};

class TextAttachmentLabel : public ::testing::TestWithParam<AttachmentLabel> {};

TEST_P(TextAttachmentLabel, NamesTheEncodingOfTheFile) {
    const AttachmentLabel& c = GetParam();
    test::TempDir dir;
    Context ctx = test::traced_context(c.charset);
    ctx.options.mime = c.mime;
    ctx.options.text_format = TextFormat::kHtml;  // the classic rules type files only there
    AttachmentList attachments;
    const std::string path = dir.write("notes.txt", "x");
    ASSERT_EQ(parse_attachment_list(path.c_str(), attachments, ctx), 0);
    const std::string header = attachment_part_header("b", attachments.entries[0], ctx);
    EXPECT_NE(header.find(std::string("\r\nContent-Type: ") + c.type + "\r\n"), std::string::npos)
        << header;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, TextAttachmentLabel,
    ::testing::Values(
        AttachmentLabel{"Euc", kEuc, MimeMode::kModern, "text/plain; charset=EUC-JP"},
        AttachmentLabel{"Sjis", kSjis, MimeMode::kModern, "text/plain; charset=SHIFT_JIS"},
        AttachmentLabel{"Chinese", kChinese, MimeMode::kModern, "text/plain; charset=GB2312"},
        AttachmentLabel{"Korean", kKorean, MimeMode::kModern, "text/plain; charset=EUC-KR"},
        AttachmentLabel{"Latin2", kLatin2, MimeMode::kModern, "text/plain; charset=ISO-8859-2"},
        AttachmentLabel{"Utf8", kUtf8, MimeMode::kModern, "text/plain; charset=UTF-8"},
        AttachmentLabel{"EucClassic", kEuc, MimeMode::kClassic, "text/plain; charset=ISO-2022-JP"},
        AttachmentLabel{"ChineseClassic", kChinese, MimeMode::kClassic,
                        "text/plain; charset=CN-GB"}),
    [](const auto& info) { return std::string(info.param.id); });

}  // namespace
}  // namespace brevorin
