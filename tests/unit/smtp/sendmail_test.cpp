// The sending worker against a scripted SMTP peer: command sequence, every
// status code, and the refusals that come before any connection.
#include "smtp/sendmail.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtp_test_support.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using namespace std::chrono_literals;
using test::HostFixture;
using test::ScriptedPeer;

constexpr char kHeaders[] = "TO=to1\033FROM=from1";
constexpr char kNoServer[] = "127.0.0.1+1";  // nothing listens: a connection attempt gives -9

// The peer's script up to the reply to the n-th RCPT TO; later steps follow.
ScriptedPeer& up_to_recipients(ScriptedPeer& peer, int accepted) {
    peer.send("220 mail.test\r\n").read_line().send("250 hello\r\n");
    peer.read_line().send("250 sender ok\r\n");
    for (int i = 0; i < accepted; ++i) peer.read_line().send("250 ok\r\n");
    return peer;
}

ScriptedPeer& data_and_verdict(ScriptedPeer& peer, const std::string& verdict) {
    return peer.read_line().send("354 go\r\n").read_until(".\r\n").send(verdict);
}

// Lines the client sent outside the message data.
std::vector<std::string> commands_of(const ScriptedPeer& peer) {
    std::vector<std::string> commands;
    bool in_data = false;
    for (const auto& line : peer.received_lines()) {
        if (!in_data) commands.push_back(line);
        if (line == "DATA\r\n" || line == ".\r\n") in_data = line == "DATA\r\n";
    }
    return commands;
}

class SendmailTest : public ::testing::Test {
  protected:
    int send(ScriptedPeer& peer, const std::string& headers, const char* text = "Hello") {
        peer.start();
        int status = send_mail(peer.server().c_str(), headers.c_str(), text, "", 0, ctx_);
        peer.join();
        return status;
    }
    int send_offline(const std::string& headers, const char* text = "Hello",
                     const char* attachments = "", int max_size = 0) {
        return send_mail(kNoServer, headers.c_str(), text, attachments, max_size, ctx_);
    }
    int connections() const { return host_.count_containing("SENDMAIL: Opening connection"); }

    HostFixture host_;
    Context ctx_ = test::traced_context();
};

TEST_F(SendmailTest, CommandSequenceWithRecipientsInOrder) {
    ScriptedPeer peer;
    data_and_verdict(up_to_recipients(peer, 6), "250 queued\r\n").read_line().send("221 bye\r\n");
    ASSERT_EQ(send(peer, "TO= a, a,,b ,\033FROM=from1\033BCC=bcc1\033CC=c1,c2"), 0)
        << host_.all_lines();
    auto commands = commands_of(peer);
    std::vector<std::string> expected = {
        "MAIL FROM: <from1>\r\n", "RCPT TO: <a>\r\n",  "RCPT TO: <a>\r\n",
        "RCPT TO: <b>\r\n",       "RCPT TO: <c1>\r\n", "RCPT TO: <c2>\r\n",
        "RCPT TO: <bcc1>\r\n",    "DATA\r\n",          "QUIT\r\n"};
    ASSERT_EQ(commands.size(), expected.size() + 1);
    EXPECT_EQ(commands[0].rfind("HELO ", 0), 0u);
    EXPECT_EQ(std::vector<std::string>(commands.begin() + 1, commands.end()), expected);
    std::string all = peer.received();
    EXPECT_NE(all.find("\r\nTo:  a, a,,b ,\r\ncc: c1,c2\r\n"), std::string::npos);
    EXPECT_EQ(all.find("bcc1", all.find("DATA")), std::string::npos);
    EXPECT_NE(all.find("\r\n\r\nHello\r\n.\r\nQUIT\r\n"), std::string::npos);
    EXPECT_TRUE(host_.has_line("BREVORIN: <F1> SENDMAIL: Using port " +
                               std::to_string(peer.port()) + " in stead of default port"));
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <D0> SENDMAIL: Closing message: code: 221, message: bye\r\n"));
}

TEST_F(SendmailTest, RepliesAndTheirStatusCodes) {
    struct Case {
        int accepted;       // RCPT TO accepted before the reply under test
        const char* reply;  // to the second RCPT TO (accepted 1) or to the message (accepted 2)
        int status;
    } cases[] = {{1, "550 no such user\r\n", kRefused}, {1, "452 full\r\n", kStorage},
                 {1, "552 quota\r\n", kStorage},        {1, "554 relay denied\r\n", kRefused},
                 {2, "554 rejected\r\n", kRefused},     {2, "451 later\r\n", kRefused},
                 {2, "550 spam\r\n", kRefused},         {2, "552 too big\r\n", kStorage}};
    for (const auto& c : cases) {
        ScriptedPeer peer;
        up_to_recipients(peer, 1).read_line();
        if (c.accepted == 1)
            peer.send(c.reply);
        else
            data_and_verdict(peer.send("251 forwarded\r\n"), c.reply);
        EXPECT_EQ(send(peer, "TO=a,b\033FROM=f"), c.status) << c.reply;
        EXPECT_EQ(peer.received().find(c.accepted == 1 ? "DATA" : "QUIT"), std::string::npos);
    }
}

TEST_F(SendmailTest, EarlyFailures) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"554 go away\r\n"}, kNetwork},
        {{"220 hi\r\n", "502 no HELO\r\n"}, kNetwork},
        {{"220 hi\r\n", "hello there\r\n"}, kNetwork},  // not a reply line
        {{"220 hi\r\n", "250 ok\r\n", "501 bad sender\r\n"}, kRefused},
        {{"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "503 no\r\n"}, kRefused}};
    for (const auto& [replies, status] : cases) {
        ScriptedPeer peer;
        peer.send(replies[0]);
        for (size_t i = 1; i < replies.size(); ++i) peer.read_line().send(replies[i]);
        EXPECT_EQ(send(peer, kHeaders), status) << replies.back();
        EXPECT_EQ(peer.received_lines().size(), replies.size() - 1);
    }
    EXPECT_EQ(host_.count_containing("<E1> SMTP_READLINE"), 0);

    ScriptedPeer closing;  // the verdict is sent, then the connection closes before QUIT's reply
    data_and_verdict(up_to_recipients(closing, 1), "250 ok\r\n").close();
    EXPECT_EQ(send(closing, kHeaders), kNetwork);
    EXPECT_EQ(host_.count_containing("<E1> SMTP_READLINE: Error in reading socket: "), 1);
}

TEST_F(SendmailTest, MultiLineAndOverlongRepliesKeepTheDialogueInStep) {
    ScriptedPeer peer;
    peer.send("220-mail.test first\r\n").send_slowly("220 mail.test second\r\n", 5, 20ms);
    peer.read_line().send("250-mail.test\r\n250 SIZE 1000\r\n");
    peer.read_line().send("250 " + std::string(700, 'w') + "\r\n");
    peer.read_line().send("250 ok\r\n");
    data_and_verdict(peer, "250 ok\r\n").read_line().send("221 bye\r\n");
    ASSERT_EQ(send(peer, kHeaders), 0) << host_.all_lines();
    EXPECT_EQ(commands_of(peer)[1], "MAIL FROM: <from1>\r\n");
    EXPECT_EQ(host_.count_containing("<D0> SENDMAIL: Parsed response from server, code: 220"), 2);
}

TEST_F(SendmailTest, RefusalsBeforeConnecting) {
    EXPECT_EQ(send_offline("FROM=f"), kNoRecipient);
    EXPECT_EQ(send_offline(kHeaders, nullptr), kInvalid);
    EXPECT_EQ(send_offline(kHeaders, "x", "/nonexistent/file.bin"), kAttachOpen);
    EXPECT_EQ(send_offline("TO=a\r\nDATA\033FROM=f"), kInvalid);
    EXPECT_EQ(send_offline("TO=, ,\033FROM=f"), kNoRecipient);
    EXPECT_EQ(send_offline("TO=t\033FROM=" + std::string(501, 'f')), kInvalid);
    EXPECT_EQ(send_offline("TO=a," + std::string(503, 'r') + "\033FROM=f"), kInvalid);
    EXPECT_EQ(send_offline("TO=t\033FROM=f\033SUBJECT=" + std::string(40000, 's')), kInvalid);
    EXPECT_EQ(send_mail(std::string(516, 'h').c_str(), kHeaders, "x", "", 0, ctx_), kInvalid);
    test::TempDir dir;
    std::string file = dir.write("a.bin", "abcd");  // 9 encoded characters
    EXPECT_EQ(send_offline(kHeaders, "Hello", file.c_str(), 13), kOverSizeLimit);
    EXPECT_EQ(connections(), 0) << host_.all_lines();
    // At the limits the sending goes on to the connection.
    EXPECT_EQ(send_offline(kHeaders, "Hello", file.c_str(), 14), kNetwork);
    EXPECT_EQ(send_offline("TO=" + std::string(502, 'r') + "\033FROM=" + std::string(500, 'f')),
              kNetwork);
    EXPECT_EQ(connections(), 2);
}

TEST_F(SendmailTest, FailedMessageWriteIsARefusal) {
    test::RecordingSocketApi net;
    net.fail_longer_than = 200;
    ScriptedPeer peer;
    up_to_recipients(peer, 1).read_line().send("354 go\r\n");
    std::string text(5000, 'x');
    EXPECT_EQ(send(peer, kHeaders, text.c_str()), kRefused);
    EXPECT_TRUE(host_.has_line("BREVORIN: <F2> SENDMAIL: Putmessage command done, status: -1"));
}

// SIZE= (RFC 1870) is never below what goes out between DATA and the final
// dot, whatever line ends the text holds: a lone CR or LF goes out as CR LF.
struct SizeCase {
    const char* id;
    std::string text;
    size_t attachment;   // bytes of an attachment, 0 for none
    const char* format;  // text_format
};

class SizeParameter : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeParameter, NeverBelowTheMessageOnTheWire) {
    const SizeCase& c = GetParam();
    HostFixture host;
    Context ctx = test::traced_context(kUtf8);
    ctx.options.mime = MimeMode::kModern;
    if (std::string(c.format) == "html") ctx.options.text_format = TextFormat::kHtml;
    test::TempDir dir;
    std::string attachments =
        c.attachment == 0 ? std::string() : dir.write("big.bin", std::string(c.attachment, '\x9c'));
    ScriptedPeer peer;
    peer.send("220 mail.test\r\n").read_line().send("250-mail.test\r\n250 SIZE\r\n");
    peer.read_line().send("250 ok\r\n").read_line().send("250 ok\r\n");
    data_and_verdict(peer, "250 queued\r\n").read_line().send("221 bye\r\n");
    peer.start();
    ASSERT_EQ(
        send_mail(peer.server().c_str(), kHeaders, c.text.c_str(), attachments.c_str(), 0, ctx), 0)
        << host.all_lines();
    peer.join();
    const std::string all = peer.received();
    const size_t size_at = all.find(" SIZE=");
    ASSERT_NE(size_at, std::string::npos);
    const long long stated = std::atoll(all.c_str() + size_at + 6);
    const size_t data = all.find("DATA\r\n") + 6;
    const size_t end = all.find("\r\n.\r\n", data) + 5;
    const long long wire = static_cast<long long>(end - data);
    EXPECT_GE(stated, wire);
    EXPECT_LE(stated, wire * 3 / 2 + 4096);  // an estimate, not a guess
}

std::string lines_of(const char* line, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += line;
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SizeParameter,
    ::testing::Values(SizeCase{"loneCrs", lines_of("ab\r", 100000), 0, "plain"},
                      SizeCase{"loneLfs", lines_of("ab\n", 100000), 0, "plain"},
                      SizeCase{"crLf", lines_of("ab\r\n", 100000), 0, "plain"},
                      SizeCase{"dotsAndCrs", lines_of(".\r", 100000), 0, "plain"},
                      SizeCase{"crsInHtml", lines_of("<p>a</p>\r", 20000), 0, "html"},
                      // Lines too long for a server go out quoted-printable:
                      // "=" three times as long.
                      SizeCase{"overlongLines",
                               lines_of((std::string(2000, '=') + "\r\n").c_str(), 50), 0, "plain"},
                      // Base64 lines of 72 characters: each ends in CR LF.
                      SizeCase{"largeAttachment", "see the file", 6000000, "plain"}),
    [](const auto& info) { return std::string(info.param.id); });

}  // namespace
}  // namespace brevorin
