// The POP3 logon, delete and logoff dialogue against a scripted server:
// exact bytes sent, status codes, diagnostics lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/session.h"
#include "brevorin.h"
#include "codec/base64.h"
#include "net/connection.h"
#include "net/server_address.h"
#include "pop3/protocol.h"
#include "pop3/session.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::HostFixture;
using test::ScriptedPeer;

// The server half of a successful logon with count messages.
ScriptedPeer& serve_logon(ScriptedPeer& peer, int count = 3, int octets = 1200) {
    return peer.send("+OK ready\r\n")
        .read_line()
        .send("+OK\r\n")
        .read_line()
        .send("+OK Logged in.\r\n")
        .read_line()
        .send("+OK " + std::to_string(count) + " " + std::to_string(octets) + "\r\n");
}

class Pop3SessionTest : public ::testing::Test {
  protected:
    HostFixture host_;
    MailSession* s_ = host_.new_session();
};

TEST_F(Pop3SessionTest, LogonSendsUserPassStatAndBuildsTheTable) {
    ScriptedPeer peer;
    serve_logon(peer, 3, 1200).read_line().send("+OK bye\r\n");
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "alice", "pw", s_), 0);
    EXPECT_TRUE(s_->mailbox.logged_on);
    EXPECT_EQ(dynamic_cast<pop3::Pop3Protocol&>(*s_->mailbox.protocol).visit().top_support,
              TopSupport::kUnknown);
    EXPECT_EQ(s_->mailbox.message_count, 3);
    EXPECT_EQ(s_->mailbox.mailbox_octets, 1200);
    ASSERT_EQ(s_->mailbox.states.size(), 4u);
    EXPECT_TRUE(s_->mailbox.states[3].present);
    EXPECT_EQ(s_->mailbox.states[3].size, -1);
    const MessageEntry& third = s_->mailbox.entry(3);
    EXPECT_EQ(third.priority, -1);
    EXPECT_FALSE(third.from.has_value());
    EXPECT_EQ(HostFixture::sleeps(), std::vector<unsigned>{3000});
    EXPECT_EQ(brevorin_logoffmail(s_), 0);
    peer.join();
    EXPECT_EQ(peer.received(), "USER alice\r\nPASS pw\r\nSTAT\r\nQUIT\r\n");
    EXPECT_FALSE(s_->mailbox.logged_on);
    EXPECT_EQ(s_->mailbox.connection.socket(), -1);
    EXPECT_EQ(s_->mailbox.message_count, -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> POP3_GETRANGE: Received countp=3, bytes=1200"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <F2> POP3_GETRANGE; Going to send STAT command"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D1> LOGOFFMAIL: Sent QUIT to server"));
}

TEST_F(Pop3SessionTest, PortAfterPlusIsAnnounced) {
    ScriptedPeer peer;
    serve_logon(peer);
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> LOGONMAIL: Using port: " +
                               std::to_string(peer.port()) + " in stead of default port"));
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <F1> LOGONMAIL: Opening connection with server: "
                       "127.0.0.1 and port: " +
                       std::to_string(peer.port())));
    EXPECT_EQ(host_.count_containing("LOGONMAIL: Opened socket, nr: "), 1);
}

TEST_F(Pop3SessionTest, DefaultPortIs110WithoutALine) {
    ServerAddress address;
    address.port_given = true;
    ASSERT_TRUE(split_server("mail.example", 110, address));
    EXPECT_EQ(address.host, "mail.example");
    EXPECT_EQ(address.port, 110);
    EXPECT_FALSE(address.port_given);
    ASSERT_TRUE(split_server("mail+995", 110, address));
    EXPECT_EQ(address.host, "mail");
    EXPECT_EQ(address.port, 995);
    ASSERT_TRUE(split_server("mail+ x", 110, address));
    EXPECT_EQ(address.port, 0);
    // IPv6 literals in brackets; without a closing one the text is a name.
    ASSERT_TRUE(split_server("[::1]+2110", 110, address));
    EXPECT_EQ(address.host, "::1");
    EXPECT_EQ(address.port, 2110);
    ASSERT_TRUE(split_server("[fe80::1%lo]", 110, address));
    EXPECT_EQ(address.host, "fe80::1%lo");
    EXPECT_EQ(address.port, 110);
    ASSERT_TRUE(split_server("[::1+7", 110, address));
    EXPECT_EQ(address.host, "[::1");
    EXPECT_EQ(address.port, 7);
}

TEST_F(Pop3SessionTest, SecondLogonIsRefusedWithoutSending) {
    ScriptedPeer peer;
    serve_logon(peer);
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    EXPECT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), -3);
}

TEST_F(Pop3SessionTest, ErrGreetingIsANetworkFailureNotARefusal) {
    ScriptedPeer peer;
    peer.send("-ERR go away\r\n");
    peer.start();
    EXPECT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), -9);
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <E1> LOGONMAIL: Exit because of erronous server response"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> LOGONMAIL: Server response: go away\r\n"));
    EXPECT_FALSE(s_->mailbox.logged_on);
}

TEST_F(Pop3SessionTest, WrongPasswordIsARefusalAndThePasswordNeverShows) {
    ScriptedPeer peer;
    peer.send("+OK ready\r\n")
        .read_line()
        .send("+OK\r\n")
        .read_line()
        .send("-ERR [AUTH] Authentication failed.\r\n");
    peer.start();
    EXPECT_EQ(brevorin_logonmail(peer.server().c_str(), "alice", "Sup3rSecret", s_), -2);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> LOGONMAIL: Exit because of authorization fault"));
    EXPECT_TRUE(host_.has_line(
        "BREVORIN: <D0> LOGONMAIL: Server response: [AUTH] Authentication failed.\r\n"));
    EXPECT_EQ(host_.count_containing("Sup3rSecret"), 0);
    EXPECT_TRUE(HostFixture::sleeps().empty());
    peer.join();
    EXPECT_EQ(peer.received(), "USER alice\r\nPASS Sup3rSecret\r\n");
}

TEST_F(Pop3SessionTest, UnparsableStatClosesWithNetworkFailure) {
    ScriptedPeer peer;
    peer.send("+OK\r\n").read_line().send("+OK\r\n").read_line().send("+OK\r\n").read_line().send(
        "+OK lots\r\n");
    peer.start();
    EXPECT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), -9);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_GETRANGE: Response from server not parsable"));
    EXPECT_FALSE(s_->mailbox.logged_on);
}

TEST_F(Pop3SessionTest, EmptyMailboxLogsOn) {
    ScriptedPeer peer;
    serve_logon(peer, 0, 0);
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    EXPECT_EQ(s_->mailbox.message_count, 0);
    EXPECT_EQ(s_->mailbox.states.size(), 1u);
    EXPECT_EQ(brevorin_deletemail(1, s_), -7);
}

TEST_F(Pop3SessionTest, UnreachableServer) {
    int port;
    {
        ScriptedPeer gone;
        port = gone.port();
    }
    std::string server = "127.0.0.1+" + std::to_string(port);
    EXPECT_EQ(brevorin_logonmail(server.c_str(), "u", "p", s_), -9);
    EXPECT_TRUE(host_.has_line("BREVORIN: <F1> LOGONMAIL: Exit because of socket error"));
}

TEST_F(Pop3SessionTest, DeleteMarksTheEntryAndKeepsNumbers) {
    ScriptedPeer peer;
    serve_logon(peer)
        .read_line()
        .send("+OK Marked to be deleted.\r\n")
        .read_line()
        .send("+OK Logging out.\r\n");
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    EXPECT_EQ(brevorin_deletemail(2, s_), 0);
    EXPECT_FALSE(s_->mailbox.states[2].present);
    EXPECT_TRUE(s_->mailbox.states[3].present);
    EXPECT_EQ(brevorin_deletemail(2, s_), -7);  // twice: nothing sent
    EXPECT_EQ(brevorin_deletemail(0, s_), -7);
    EXPECT_EQ(brevorin_deletemail(4, s_), -7);
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <F2> DELETEMAIL: Sent DELETE command to server for message: 2"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> FREE_MESSAGE: freeing message number: 2"));
    EXPECT_EQ(brevorin_logoffmail(s_), 0);
    peer.join();
    EXPECT_EQ(peer.received(), "USER u\r\nPASS p\r\nSTAT\r\nDELE 2\r\nQUIT\r\n");
}

TEST_F(Pop3SessionTest, RefusedDeleteKeepsTheSession) {
    ScriptedPeer peer;
    serve_logon(peer).read_line().send("-ERR no\r\n");
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    platform::socket_api().set_last_error(10054);  // left over from some earlier failure
    EXPECT_EQ(brevorin_deletemail(1, s_), -7);
    EXPECT_TRUE(s_->mailbox.logged_on);
    EXPECT_TRUE(s_->mailbox.states[1].present);
}

TEST_F(Pop3SessionTest, LostConnectionDuringDeleteTearsDown) {
    ScriptedPeer peer;
    serve_logon(peer).read_line().close();
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    EXPECT_EQ(brevorin_deletemail(1, s_), -9);
    EXPECT_TRUE(host_.has_line("BREVORIN: <F1> NETWORK_ERROR: network error has occurred"));
    EXPECT_FALSE(s_->mailbox.logged_on);
    EXPECT_EQ(s_->mailbox.message_count, -1);
    EXPECT_EQ(brevorin_deletemail(1, s_), -8);
}

TEST_F(Pop3SessionTest, QuitAnsweredWithErrStillEndsTheLogon) {
    ScriptedPeer peer;
    serve_logon(peer).read_line().send("-ERR cannot\r\n");
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    EXPECT_EQ(brevorin_logoffmail(s_), -9);
    EXPECT_FALSE(s_->mailbox.logged_on);
    EXPECT_EQ(brevorin_logoffmail(s_), -8);
}

TEST_F(Pop3SessionTest, CleanupOfALoggedOnSessionSendsQuit) {
    ScriptedPeer peer;
    serve_logon(peer).read_line().send("+OK bye\r\n");
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s_), 0);
    host_.cleanup(s_);
    peer.join();
    EXPECT_EQ(peer.received(), "USER u\r\nPASS p\r\nSTAT\r\nQUIT\r\n");
}

TEST_F(Pop3SessionTest, UnsafeOrOversizedLogonTextsAreRefusedBeforeConnecting) {
    ScriptedPeer peer;  // never started: a connection attempt would hang
    std::string server = peer.server();
    EXPECT_EQ(brevorin_logonmail(server.c_str(), "alice\r\nDELE 1", "p", s_), -10);
    EXPECT_EQ(brevorin_logonmail(server.c_str(), "alice", "p\nQUIT", s_), -10);
    EXPECT_EQ(brevorin_logonmail(nullptr, "u", "p", s_), -10);
    EXPECT_EQ(brevorin_logonmail(server.c_str(), nullptr, "p", s_), -10);
    EXPECT_EQ(brevorin_logonmail(server.c_str(), "u", nullptr, s_), -10);
    EXPECT_EQ(brevorin_logonmail(server.c_str(), std::string(509, 'u').c_str(), "p", s_), -10);
    EXPECT_EQ(brevorin_logonmail(server.c_str(), "u", std::string(509, 'p').c_str(), s_), -10);
    EXPECT_EQ(brevorin_logonmail((std::string(516, 'h') + "+110").c_str(), "u", "p", s_), -10);
    EXPECT_EQ(host_.count_containing("BREVORIN: <E1> LOGONMAIL: Refused"), 8);
    EXPECT_EQ(host_.count_containing("p\nQUIT"), 0);
    EXPECT_FALSE(s_->mailbox.logged_on);
}

TEST_F(Pop3SessionTest, LongestAcceptedTextsFitTheCommandBuffers) {
    std::string user(508, 'u'), password(508, 'p');
    ScriptedPeer peer;
    serve_logon(peer);
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), user.c_str(), password.c_str(), s_), 0);
    EXPECT_EQ(brevorin_logoffmail(s_), -9);  // the script has no QUIT answer
    peer.join();
    EXPECT_EQ(peer.received().substr(0, 515), "USER " + user + "\r\n");
}

class Pop3OkTest : public Pop3SessionTest {
  protected:
    StatusLine check(const std::string& line, std::string* text, size_t size) {
        ScriptedPeer peer;
        peer.send(line);
        peer.start();
        Connection connection(s_->ctx);
        connection.open("127.0.0.1", peer.port());
        StatusLine rc = read_status(connection, s_->ctx, text, size);
        connection.close();
        return rc;
    }
};

TEST_F(Pop3OkTest, StatusWordAndText) {
    std::string text;
    EXPECT_EQ(check("+OK 2 320\r\n", &text, 513), StatusLine::kOk);
    EXPECT_EQ(text, "2 320\r\n");
    EXPECT_EQ(check("+OK\r\n", &text, 513), StatusLine::kOk);
    EXPECT_EQ(text, "\n");  // the CR is taken as the separator
    EXPECT_EQ(check("-ERR nope\r\n", &text, 513), StatusLine::kNegative);
    EXPECT_EQ(text, "nope\r\n");
    EXPECT_EQ(check("+OKAY fine\r\n", &text, 513), StatusLine::kNegative);
    EXPECT_EQ(check("+ok fine\r\n", &text, 513), StatusLine::kNegative);
    EXPECT_EQ(check("* OK\r\n", &text, 513), StatusLine::kNegative);
    EXPECT_EQ(text, "");
    // the connection ends inside the line
    EXPECT_EQ(check("+OK", &text, 513), StatusLine::kFailed);
    EXPECT_EQ(check("+OK:x\r\n", &text, 513), StatusLine::kOk);
    EXPECT_EQ(text, "x\r\n");
}

TEST_F(Pop3OkTest, TextLongerThanTheCallersSizeFails) {
    std::string text;
    EXPECT_EQ(check("+OK 0123456789abcdef\r\n", &text, 10), StatusLine::kNegative);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_OK: Buffer too small"));
    EXPECT_EQ(check("+OK 0123456\r\n", &text, 10), StatusLine::kOk);
    EXPECT_EQ(check("+OK anything\r\n", nullptr, 0), StatusLine::kOk);
}

TEST_F(Pop3OkTest, OverlongStatusLineIsReadToItsEnd) {
    // A reply longer than 512 bytes must not leave its tail to be read as
    // the reply to the next command.
    ScriptedPeer peer;
    peer.send("+OK " + std::string(1500, 'x') + "\r\n+OK second\r\n");
    peer.start();
    Connection connection(s_->ctx);
    connection.open("127.0.0.1", peer.port());
    std::string text;
    EXPECT_EQ(read_status(connection, s_->ctx, &text, 513), StatusLine::kOk);
    EXPECT_EQ(text, std::string(508, 'x'));
    EXPECT_EQ(read_status(connection, s_->ctx, &text, 513), StatusLine::kOk);
    EXPECT_EQ(text, "second\r\n");
    connection.close();
}

TEST_F(Pop3OkTest, ReadFailureEmptiesTheText) {
    std::string text = "stale";
    ScriptedPeer peer;
    peer.close();
    peer.start();
    Connection connection(s_->ctx);
    connection.open("127.0.0.1", peer.port());
    EXPECT_EQ(read_status(connection, s_->ctx, &text, 513), StatusLine::kFailed);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> POP3_OK: Error, = -1"));
    connection.close();
}

// Access tokens of large providers are JSON Web Tokens of thousands of
// characters. Up to the limit they go out: on the AUTH line while it stays
// short, otherwise after the server's continuation request. One character
// more is refused before anything is sent.
class BearerToken : public Pop3SessionTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(BearerToken, GoesOutWholeUpToTheLimit) {
    ASSERT_EQ(brevorin_setoption("auth", "xoauth2", s_), 0);
    ASSERT_EQ(brevorin_setoption("allow_plaintext_auth", "yes", s_), 0);
    const std::string token(GetParam(), 't');
    const std::string response = base64_encode_bytes(
        "user=u\x01"
        "auth=Bearer " +
        token + "\x01\x01");
    const bool on_the_line = 13 + response.size() + 2 <= kMaxInitialResponseLine;
    ScriptedPeer peer;
    peer.send("+OK ready\r\n").read_line();
    if (!on_the_line) peer.send("+ \r\n").read_line();
    peer.send("+OK Logged in.\r\n").read_line().send("+OK 0 0\r\n").read_line().send("+OK bye\r\n");
    peer.start();
    ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", token.c_str(), s_), 0);
    EXPECT_EQ(brevorin_logoffmail(s_), 0);
    peer.join();
    const std::string auth =
        on_the_line ? "AUTH XOAUTH2 " + response + "\r\n" : "AUTH XOAUTH2\r\n" + response + "\r\n";
    EXPECT_EQ(peer.received(), auth + "STAT\r\nQUIT\r\n");
}

INSTANTIATE_TEST_SUITE_P(Lengths, BearerToken,
                         ::testing::Values(508u, 1500u, kMaxBearerTokenLength));

TEST_F(Pop3SessionTest, BearerTokenOverTheLimitIsRefusedBeforeConnecting) {
    ASSERT_EQ(brevorin_setoption("auth", "xoauth2", s_), 0);
    const std::string token(kMaxBearerTokenLength + 1, 't');
    EXPECT_EQ(brevorin_logonmail("127.0.0.1+1", "u", token.c_str(), s_), BREVORIN_E_INVALID);
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <E1> LOGONMAIL: Refused: password longer than 16384 characters"));
    // USER/PASS keeps its limit.
    ASSERT_EQ(brevorin_setoption("auth", "user", s_), 0);
    EXPECT_EQ(brevorin_logonmail("127.0.0.1+1", "u", std::string(509, 'p').c_str(), s_),
              BREVORIN_E_INVALID);
}

}  // namespace
}  // namespace brevorin
