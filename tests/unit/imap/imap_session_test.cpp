// The IMAP visit against a scripted server: what goes on the wire, and what
// hostile or unusual responses make of the statuses and the visit.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/session.h"
#include "api/tool_support.h"
#include "brevorin.h"
#include "imap/session.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

// The UIDs an IMAP logon learned.
const std::vector<uint32_t>& uids_of(const Mailbox& box) {
    return dynamic_cast<const imap::ImapProtocol&>(*box.protocol).visit().uids;
}

using test::HostFixture;
using test::ScriptedPeer;

const std::string kMessage =
    "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: Hello\r\n"
    "Message-ID: <2@example.org>\r\n\r\nHello, Bob.\r\n";

std::string repeated(const std::string& line, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += line;
    return text;
}

std::string literal(const std::string& data) {
    return "{" + std::to_string(data.size()) + "}\r\n" + data;
}

// Greeting, LOGIN, SELECT and the table of three messages (UIDs 10, 11, 12).
ScriptedPeer& serve_logon(ScriptedPeer& peer, const std::string& more = " UIDPLUS") {
    return peer.send("* OK [CAPABILITY IMAP4rev1 SASL-IR UIDPLUS] ready\r\n")
        .read_line()
        .send("B1 OK [CAPABILITY IMAP4rev1" + more + "] Logged in\r\n")
        .read_line()
        .send("* 3 EXISTS\r\n* OK [UIDVALIDITY 77] ok\r\nB2 OK [READ-WRITE] selected\r\n")
        .read_line()
        .send("* 1 FETCH (UID 10 RFC822.SIZE 100)\r\n* 2 FETCH (RFC822.SIZE " +
              std::to_string(kMessage.size()) +
              " UID 11)\r\n* 3 FETCH (UID 12 RFC822.SIZE 300)\r\nB3 OK done\r\n");
}

class ImapSession : public ::testing::Test {
  protected:
    ImapSession() {
        EXPECT_EQ(brevorin_setoption("protocol", "imap", s_), 0);
        EXPECT_EQ(brevorin_setoption("allow_plaintext_auth", "yes", s_), 0);
    }
    int logon() { return brevorin_logonmail(peer_.server().c_str(), "alice", "pw", s_); }
    int get(int n, std::string& body, int max_size = 0) {
        char *header = nullptr, *text = nullptr, *files = nullptr;
        int status = brevorin_getmail(n, "/tmp", max_size, &header, &text, &files, s_);
        body = text != nullptr ? text : "";
        return status;
    }

    HostFixture host_;
    MailSession* s_ = host_.new_session();
    ScriptedPeer peer_;
};

// How each sign-in goes on the wire, up to the server's refusal.
struct SignIn {
    const char* name;
    const char* auth;
    std::string capabilities;
    std::string user, password;
    std::vector<std::string> replies;  // one after each line the client sends
    std::string sent;
};

class SignIns : public ImapSession, public ::testing::WithParamInterface<SignIn> {};

TEST_P(SignIns, SendTheCredentialsSafelyAndMapTheRefusal) {
    const SignIn& c = GetParam();
    peer_.send("* OK [CAPABILITY IMAP4rev1" + c.capabilities + "] hi\r\n");
    for (const std::string& reply : c.replies) peer_.read_line().send(reply + "\r\n");
    peer_.start();
    ASSERT_EQ(brevorin_setoption("auth", c.auth, s_), 0);
    ASSERT_EQ(brevorin_setoption("allow_plaintext_auth", "yes", s_), 0);
    EXPECT_EQ(brevorin_logonmail(peer_.server().c_str(), c.user.c_str(), c.password.c_str(), s_),
              kRefused);
    EXPECT_FALSE(s_->mailbox.logged_on);
    EXPECT_EQ(s_->mailbox.connection.socket(), -1);
    peer_.join();
    EXPECT_EQ(peer_.received(), c.sent);
    EXPECT_EQ(s_->failure.kind, Failure::kAuth);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> LOGONMAIL: Exit because of authorization fault"));
}

INSTANTIATE_TEST_SUITE_P(
    Peer, SignIns,
    ::testing::Values(
        SignIn{"login_quoted",
               "user",
               "",
               "alice",
               "p\\w\"",
               {"B1 NO no"},
               "B1 LOGIN \"alice\" \"p\\\\w\\\"\"\r\n"},
        SignIn{"login_literal_after_the_continuation",
               "user",
               "",
               "j\xC3\xBCrgen",
               "pw",
               {"+ go on", "B1 NO no"},
               "B1 LOGIN {7}\r\nj\xC3\xBCrgen \"pw\"\r\n"},
        SignIn{"login_literals_without_waiting",
               "user",
               " LITERAL+",
               "j\xC3\xBCrgen",
               "p\xC3\xA4",
               {"B1 NO no"},
               "B1 LOGIN {7+}\r\nj\xC3\xBCrgen {3+}\r\np\xC3\xA4\r\n"},
        SignIn{"plain_with_initial_response",
               "plain",
               " SASL-IR",
               "alice",
               "pw",
               {"B1 NO no"},
               "B1 AUTHENTICATE PLAIN AGFsaWNlAHB3\r\n"},
        SignIn{"plain_after_the_continuation",
               "plain",
               "",
               "alice",
               "pw",
               {"+ ", "B1 NO no"},
               "B1 AUTHENTICATE PLAIN\r\nAGFsaWNlAHB3\r\n"},
        SignIn{"xoauth2_error_report_gets_the_empty_answer",
               "xoauth2",
               " SASL-IR",
               "alice",
               "tok",
               {"+ eyJzdGF0dXMiOiI0MDEifQ==", "B1 NO [AUTHENTICATIONFAILED] token"},
               "B1 AUTHENTICATE XOAUTH2 dXNlcj1hbGljZQFhdXRoPUJlYXJlciB0b2sBAQ==\r\n\r\n"}),
    [](const ::testing::TestParamInfo<SignIn>& info) { return std::string(info.param.name); });

// A server that says something unexpected in place of the answer to
// getmail 2: the status, and whether the visit goes on.
struct Hostile {
    const char* name;
    std::string answer;  // the peer's bytes after reading UID FETCH
    int status;
    bool still_logged_on;
    std::string body;
};

class AnswersToGetmail : public ImapSession {
  protected:
    // Getmail 2 with a limit of 1,000 bytes against the answer: the status,
    // and whether the visit goes on.
    void expect_call_ends(const Hostile& h) {
        serve_logon(peer_).read_line().send(h.answer);
        if (h.still_logged_on) peer_.read_line().send("B5 OK [] noop\r\n");
        if (h.status == kTimedOut)
            peer_.run([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); });
        peer_.start();
        ASSERT_EQ(brevorin_setoption("timeout", "1", s_), 0);
        ASSERT_EQ(logon(), 0);
        std::string body;
        EXPECT_EQ(get(2, body, 1000), h.status);
        EXPECT_EQ(body, h.body);
        EXPECT_EQ(s_->mailbox.logged_on, h.still_logged_on);
        if (h.still_logged_on) {
            // The next command reads its own answer: nothing was left behind.
            EXPECT_EQ(brevorin_deletemail(3, s_), 0);
        } else {
            EXPECT_EQ(get(2, body), kNotLoggedOn);
        }
        // Message 2 was asked for by its UID, its \Seen flag left alone (the
        // peer read that line before it answered).
        std::vector<std::string> lines = peer_.received_lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[3], "B4 UID FETCH 11 (UID BODY.PEEK[])\r\n");
    }
};

class HostileAnswers : public AnswersToGetmail, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileAnswers, EndTheCallAsTheyShould) {
    expect_call_ends(GetParam());
}

// Messages of exactly the caller's limit of 1,000 bytes and one byte more.
std::string padded_to(size_t size) {
    return kMessage + std::string(size - kMessage.size() - 2, 'x') + "\r\n";
}
const std::string kAtLimit = padded_to(1000);
const std::string kPastLimit = padded_to(1001);

INSTANTIATE_TEST_SUITE_P(
    Peer, HostileAnswers,
    ::testing::Values(
        Hostile{"literal_split_across_reads_with_other_responses_around",
                "* 3 FETCH (FLAGS (\\Seen))\r\n* 4 EXISTS\r\n* 2 FETCH (UID 11 BODY[] " +
                    literal(kMessage) + " FLAGS ())\r\nB4 OK done\r\n",
                kOk, true, "Hello, Bob.\r\n"},
        // Only a UID names the message: data ahead of it is not taken, even
        // at the sequence number the expunge shifted it to.
        Hostile{
            "data_before_its_uid_is_not_taken_at_the_shifted_sequence_number",
            "* 1 EXPUNGE\r\n* 1 FETCH (BODY[] " + literal(kMessage) + " UID 11)\r\nB4 OK done\r\n",
            kNoMessage, true, ""},
        Hostile{"data_before_another_uid_is_not_taken",
                "* 2 FETCH (BODY[] " + literal(kMessage) + " UID 12)\r\nB4 OK done\r\n", kNoMessage,
                true, ""},
        Hostile{"data_before_the_uid_at_the_old_sequence_number_is_not_taken",
                "* 1 EXPUNGE\r\n* 2 FETCH (BODY[] " + literal(kMessage) + ")\r\nB4 OK done\r\n",
                kNoMessage, true, ""},
        Hostile{"data_of_another_message_is_not_taken",
                "* 3 FETCH (UID 12 BODY[] " + literal(kMessage) + ")\r\nB4 OK done\r\n", kNoMessage,
                true, ""},
        Hostile{"expunged_before_the_fetch", "* 2 EXPUNGE\r\nB4 OK no data for that one\r\n",
                kNoMessage, true, ""},
        Hostile{"refused", "B4 NO [SERVERBUG] cannot\r\n", kCommandFailed, true, ""},
        Hostile{"literal_of_exactly_the_limit",
                "* 2 FETCH (UID 11 BODY[] " + literal(kAtLimit) + ")\r\nB4 OK done\r\n", kOk, true,
                kAtLimit.substr(kAtLimit.find("Hello, Bob"))},
        Hostile{"literal_one_byte_over_the_limit",
                "* 2 FETCH (UID 11 BODY[] " + literal(kPastLimit) + ")\r\nB4 OK done\r\n",
                kOverSizeLimit, true, ""},
        Hostile{"bye_in_the_middle", "* BYE shutting down\r\n", kNetwork, false, ""},
        Hostile{"answer_to_another_tag", "B9 OK what\r\n", kNetwork, false, ""},
        Hostile{"garbage_instead_of_a_response", "(((\r\n", kNetwork, false, ""},
        // 1,000 unsolicited responses and one per message (3) are borne.
        Hostile{"untagged_responses_up_to_the_bound",
                repeated("* OK still here\r\n", 1003) + "* 2 FETCH (UID 11 BODY[] " +
                    literal(kMessage) + ")\r\nB4 OK done\r\n",
                kOk, true, "Hello, Bob.\r\n"},
        Hostile{"one_untagged_response_past_the_bound",
                repeated("* OK still here\r\n", 1004) + "* 2 FETCH (UID 11 BODY[] " +
                    literal(kMessage) + ")\r\nB4 OK done\r\n",
                kNetwork, false, ""},
        // A flag change of no message asked for counts as unsolicited too.
        Hostile{"flag_changes_up_to_the_bound",
                repeated("* 1 FETCH (FLAGS (\\Seen))\r\n", 1003) + "* 2 FETCH (UID 11 BODY[] " +
                    literal(kMessage) + ")\r\nB4 OK done\r\n",
                kOk, true, "Hello, Bob.\r\n"},
        Hostile{"one_flag_change_past_the_bound",
                repeated("* 1 FETCH (FLAGS (\\Seen))\r\n", 1004) + "* 2 FETCH (UID 11 BODY[] " +
                    literal(kMessage) + ")\r\nB4 OK done\r\n",
                kNetwork, false, ""},
        Hostile{"connection_closed_inside_the_literal",
                "* 2 FETCH (UID 11 BODY[] {500}\r\nFrom: a\r\n", kNetwork, false, ""},
        Hostile{"silence_inside_the_literal", "* 2 FETCH (UID 11 BODY[] {500}\r\nFrom: a\r\n",
                kTimedOut, false, ""}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// The visit's bounds on what one answer may hold, lowered to meet them in a
// few bytes: an answer exactly at a bound is taken, one step past it ends the
// visit as a broken server would.
struct AtBound {
    VisitLimits limits;
    Hostile answer;
    const char* line;  // the report of the end, or nullptr
};

class AnswersAtBounds : public AnswersToGetmail, public ::testing::WithParamInterface<AtBound> {};

TEST_P(AnswersAtBounds, AreTakenUpToTheBoundOnly) {
    const AtBound& b = GetParam();
    s_->mailbox.limits = b.limits;
    expect_call_ends(b.answer);
    if (b.line != nullptr) {
        EXPECT_EQ(host_.count_containing(b.line), 1) << host_.all_lines();
    } else {
        EXPECT_EQ(host_.count_containing("connection closed"), 0) << host_.all_lines();
    }
}

VisitLimits fetch_items(int items) {
    VisitLimits limits;
    limits.fetch_items = items;
    return limits;
}

VisitLimits capability_words(size_t words) {
    VisitLimits limits;
    limits.capabilities = words;
    return limits;
}

VisitLimits in_memory(size_t ceiling) {
    VisitLimits limits;
    limits.in_memory_ceiling = ceiling;
    return limits;
}

const std::string kBody = "* 2 FETCH (UID 11 BODY[] " + literal(kMessage) + ")\r\nB4 OK done\r\n";

INSTANTIATE_TEST_SUITE_P(
    Peer, AnswersAtBounds,
    ::testing::Values(
        AtBound{fetch_items(4),
                {"fetch_with_as_many_items_as_the_bound",
                 "* 2 FETCH (UID 11 FLAGS () X-A NIL BODY[] " + literal(kMessage) +
                     ")\r\nB4 OK done\r\n",
                 kOk, true, "Hello, Bob.\r\n"},
                nullptr},
        AtBound{fetch_items(4),
                {"fetch_with_one_item_more",
                 "* 2 FETCH (UID 11 FLAGS () X-A NIL X-B NIL BODY[] " + literal(kMessage) +
                     ")\r\nB4 OK done\r\n",
                 kNetwork, false, ""},
                "IMAP: Response not parsable, connection closed"},
        AtBound{capability_words(2),
                {"capability_list_filling_the_bound", "* CAPABILITY IMAP4rev1 IDLE\r\n" + kBody,
                 kOk, true, "Hello, Bob.\r\n"},
                nullptr},
        AtBound{capability_words(2),
                {"capability_list_one_word_longer",
                 "* CAPABILITY IMAP4rev1 IDLE UIDPLUS\r\n" + kBody, kNetwork, false, ""},
                "IMAP: Response not parsable, connection closed"},
        // A literal larger than the listed size is refused before its bytes
        // are read only past the ceiling.
        AtBound{in_memory(kAtLimit.size()),
                {"literal_of_exactly_the_ceiling_over_the_listed_size",
                 "* 2 FETCH (UID 11 BODY[] " + literal(kAtLimit) + ")\r\nB4 OK done\r\n", kOk, true,
                 kAtLimit.substr(kAtLimit.find("Hello, Bob"))},
                nullptr},
        AtBound{in_memory(kAtLimit.size()),
                {"literal_past_the_ceiling_and_the_listed_size",
                 "* 2 FETCH (UID 11 BODY[] " + literal(kPastLimit) + ")\r\nB4 OK done\r\n",
                 kNetwork, false, ""},
                "IMAP: Message 2 sent as 1001 bytes instead of "},
        AtBound{in_memory(kMessage.size() - 1),
                {"literal_past_the_ceiling_as_listed", kBody, kOk, true, "Hello, Bob.\r\n"},
                nullptr}),
    [](const ::testing::TestParamInfo<AtBound>& info) {
        return std::string(info.param.answer.name);
    });

struct Refusal {
    const char* name;
    std::string security;
    std::string greeting_and_more;
    int status;
};

class RefusedLogons : public ImapSession, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedLogons, MapToThePop3Statuses) {
    const Refusal& r = GetParam();
    peer_.send(r.greeting_and_more);
    peer_.start();
    ASSERT_EQ(brevorin_setoption("security", r.security.c_str(), s_), 0);
    ASSERT_EQ(brevorin_setoption("verify", "none", s_), 0);
    ASSERT_EQ(brevorin_setoption("timeout", "5", s_), 0);
    EXPECT_EQ(logon(), r.status);
    EXPECT_FALSE(s_->mailbox.logged_on);
    EXPECT_EQ(s_->mailbox.connection.socket(), -1);
    peer_.join();
    // Nothing but what the script allows went out: no credentials after a
    // refused STARTTLS.
    EXPECT_EQ(peer_.received().find("LOGIN"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Peer, RefusedLogons,
    ::testing::Values(
        Refusal{"bye_greeting", "none", "* BYE too busy\r\n", kNetwork},
        Refusal{"no_greeting_at_all", "none", "B1 OK\r\n", kNetwork},
        Refusal{"preauth_when_tls_was_asked", "starttls",
                "* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] hi\r\n", kNetwork},
        Refusal{"starttls_not_offered", "starttls", "* OK [CAPABILITY IMAP4rev1] hi\r\n", kNetwork},
        Refusal{"login_disabled_keeps_the_password", "none",
                "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED STARTTLS] hi\r\n", kRefused}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(ImapSession, LargeMailboxAmidUnsolicitedFlagsLogsOnAndLogsOffAfterABareBye) {
    // Every message's row is the logon's own answer, however many there
    // are; a flag change of another client in between is no row.
    const int count = 2500;
    std::string table;
    for (int n = 1; n <= count; ++n) {
        table += "* " + std::to_string(n) + " FETCH (UID " + std::to_string(100 + 2 * n) +
                 " RFC822.SIZE 10)\r\n";
        if (n % 500 == 0) table += "* 7 FETCH (FLAGS (\\Seen))\r\n";
    }
    peer_.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .read_line()
        .send("B1 OK in\r\n")
        .read_line()
        .read_line()
        .send("* CAPABILITY IMAP4rev1\r\nB2 OK\r\n* " + std::to_string(count) +
              " EXISTS\r\nB3 OK [READ-WRITE] sel\r\n")
        .read_line()
        .send(table + "B4 OK done\r\n")
        .read_line()
        .send("* BYE closing\r\n")
        .close();
    peer_.start();
    ASSERT_EQ(logon(), 0);
    EXPECT_EQ(s_->mailbox.message_count, count);
    EXPECT_EQ(s_->mailbox.mailbox_octets, 10 * count);
    EXPECT_EQ(uids_of(s_->mailbox)[count], static_cast<uint32_t>(100 + 2 * count));
    EXPECT_EQ(brevorin_logoffmail(s_), 0);
}

// Headers come by UID in one command; one of exactly the header capacity is
// kept whole, one byte more is cut with a warning, and a message the answer
// leaves out was expunged meanwhile.
TEST_F(ImapSession, ListingTakesHeadersByUidUpToTheirCapacity) {
    auto header = [](size_t size) {
        std::string text = "Subject: s\r\nX-Pad: ";
        text += std::string(size - text.size() - 4, 'a') + "\r\n\r\n";
        return text;
    };
    serve_logon(peer_).read_line().send("* 1 FETCH (UID 10 RFC822.SIZE 40000 BODY[HEADER] " +
                                        literal(header(32767)) + ")\r\n* 2 FETCH (BODY[HEADER] " +
                                        literal(header(32768)) +
                                        " UID 11 RFC822.SIZE 40001)\r\nB4 OK done\r\n");
    peer_.start();
    ASSERT_EQ(logon(), 0);
    char* list = nullptr;
    EXPECT_EQ(brevorin_listmail(&list, s_), 2);
    std::string text = list;
    EXPECT_NE(text.find("NMB=1\x1bID=\x1b"), std::string::npos);
    EXPECT_NE(text.find("SIZE=40000\x1bNMB=2"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 10), "SIZE=40001");
    EXPECT_EQ(host_.count_containing("longer than 32767 bytes"), 1);
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <W1> POP3_TOP: Header of message 2 longer than 32767 "
                       "bytes, listed from its start"));
    EXPECT_EQ(peer_.received_lines()[3],
              "B4 UID FETCH 10:12 (UID RFC822.SIZE BODY.PEEK[HEADER])\r\n");
}

// Without TLS, IMAP's LOGIN and AUTHENTICATE wait for the host's word: the
// logon is refused before anything connects (port 1 would refuse a
// connection, which would be -9), and the option lets them go.
class ClearSignIns : public ImapSession, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClearSignIns, AreRefusedUnlessAllowed) {
    ASSERT_EQ(brevorin_setoption("allow_plaintext_auth", "no", s_), 0);
    ASSERT_EQ(brevorin_setoption("auth", GetParam(), s_), 0);
    EXPECT_EQ(brevorin_logonmail("127.0.0.1+1", "alice", "pw", s_), kInvalid);
    EXPECT_EQ(s_->failure.kind, Failure::kNoTls);
    EXPECT_TRUE(host_.has_line(
        "BREVORIN: <E1> LOGONMAIL: Refused: credentials would be sent without TLS (set "
        "security, or allow_plaintext_auth=yes)"));
    ASSERT_EQ(brevorin_setoption("allow_plaintext_auth", "yes", s_), 0);
    EXPECT_EQ(brevorin_logonmail("127.0.0.1+1", "alice", "pw", s_), kNetwork);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, ClearSignIns, ::testing::Values("user", "plain", "xoauth2"));

// The logon's table in UID order whatever order the rows came in, each
// size staying with its UID, a repeated row counted once.
class TableOrders : public ImapSession,
                    public ::testing::WithParamInterface<std::vector<uint32_t>> {};

TEST_P(TableOrders, KeepSizesWithTheirUids) {
    std::string rows;
    int n = 0;
    for (uint32_t uid : GetParam())
        rows += "* " + std::to_string(++n) + " FETCH (UID " + std::to_string(uid) +
                " RFC822.SIZE " + std::to_string(uid * 3) + ")\r\n";
    peer_.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .read_line()
        .send("B1 OK [CAPABILITY IMAP4rev1] in\r\n")
        .read_line()
        .send("* " + std::to_string(n) + " EXISTS\r\nB2 OK [READ-WRITE] sel\r\n")
        .read_line()
        .send(rows + "B3 OK done\r\n");
    peer_.start();
    ASSERT_EQ(logon(), 0);
    const Mailbox& box = s_->mailbox;
    ASSERT_EQ(box.message_count, 4);
    for (int m = 1; m <= 4; ++m) {
        EXPECT_EQ(uids_of(box)[m], static_cast<uint32_t>(10 * m)) << m;
        EXPECT_EQ(box.states[m].size, 30 * m) << m;
        EXPECT_TRUE(box.is_present(m));
    }
    EXPECT_EQ(box.mailbox_octets, 300);
}

INSTANTIATE_TEST_SUITE_P(Peer, TableOrders,
                         ::testing::Values(std::vector<uint32_t>{10, 20, 30, 40},
                                           std::vector<uint32_t>{40, 30, 20, 10},
                                           std::vector<uint32_t>{30, 40, 10, 20},
                                           std::vector<uint32_t>{20, 10, 40, 20, 30}));

// A header for a UID the logon's table does not hold is filed under no
// message, least of all a neighbour: the table holds UIDs 10, 20 and 30,
// and the server answers for UID 20 with another UID.
class UnknownHeaderUids : public ImapSession, public ::testing::WithParamInterface<int> {};

TEST_P(UnknownHeaderUids, AreFiledUnderNoMessage) {
    auto header = [](int uid, const std::string& subject) {
        return "* 1 FETCH (UID " + std::to_string(uid) + " BODY[HEADER] " +
               literal("Subject: " + subject + "\r\n\r\n") + ")\r\n";
    };
    peer_.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .read_line()
        .send("B1 OK [CAPABILITY IMAP4rev1] in\r\n")
        .read_line()
        .send("* 3 EXISTS\r\n* OK [UIDVALIDITY 77] ok\r\nB2 OK [READ-WRITE] sel\r\n")
        .read_line()
        .send(
            "* 1 FETCH (UID 10 RFC822.SIZE 10)\r\n* 2 FETCH (UID 20 RFC822.SIZE 10)\r\n"
            "* 3 FETCH (UID 30 RFC822.SIZE 10)\r\nB3 OK done\r\n")
        .read_line()
        .send(header(10, "ten") + header(GetParam(), "forged") + header(30, "thirty") +
              "B4 OK done\r\n");
    peer_.start();
    ASSERT_EQ(logon(), 0);
    char* list = nullptr;
    // Message 2 got no header of its own: gone, as if expunged.
    EXPECT_EQ(brevorin_listmail(&list, s_), 2);
    std::string text = list != nullptr ? list : "";
    EXPECT_EQ(text.find("forged"), std::string::npos) << text;
    EXPECT_NE(text.find("SUBJECT=ten"), std::string::npos) << text;
    EXPECT_NE(text.find("SUBJECT=thirty"), std::string::npos) << text;
    EXPECT_EQ(text.find("NMB=2"), std::string::npos) << text;
}

// Below the first UID, between two, and past the last.
INSTANTIATE_TEST_SUITE_P(Peer, UnknownHeaderUids, ::testing::Values(5, 15, 25, 35));

// The logon's UIDs hold only while UIDVALIDITY stays: a new value, in an
// untagged response or a completion, ends the visit before a deletion is
// sent with the old UIDs; the same value again is no news.
struct Validity {
    const char* name;
    std::string answer;  // to getmail 2
    int status;
};

class UidValidity : public ImapSession, public ::testing::WithParamInterface<Validity> {};

TEST_P(UidValidity, ChangeEndsTheVisitBeforeAnyDeletion) {
    const Validity& v = GetParam();
    const bool ends = v.status == kNetwork;
    serve_logon(peer_).read_line().send("B4 OK stored\r\n").read_line().send(v.answer);
    if (!ends)
        peer_.read_line()
            .send("B6 OK stored\r\n")
            .read_line()
            .read_line()
            .send("B7 OK expunged\r\n* BYE\r\nB8 OK bye\r\n");
    peer_.start();
    ASSERT_EQ(logon(), 0);
    ASSERT_EQ(brevorin_deletemail(1, s_), 0);
    std::string body;
    EXPECT_EQ(get(2, body), v.status);
    EXPECT_EQ(brevorin_deletemail(3, s_), ends ? kNotLoggedOn : kOk);
    EXPECT_EQ(brevorin_logoffmail(s_), ends ? kNotLoggedOn : kOk);
    EXPECT_EQ(host_.count_containing(
                  "<E1> IMAP: Mailbox UIDVALIDITY changed from 77 to 78, connection closed"),
              ends ? 1 : 0)
        << host_.all_lines();
    peer_.join();
    const std::string sent = peer_.received();
    EXPECT_EQ(sent.find("EXPUNGE") == std::string::npos, ends) << sent;
    EXPECT_EQ(sent.find("UID STORE 12") == std::string::npos, ends) << sent;
}

INSTANTIATE_TEST_SUITE_P(
    Peer, UidValidity,
    ::testing::Values(
        Validity{"untagged_change", "* OK [UIDVALIDITY 78] new\r\nB5 OK done\r\n", kNetwork},
        Validity{"change_in_the_completion", "B5 OK [UIDVALIDITY 78] done\r\n", kNetwork},
        Validity{"same_value_again",
                 "* OK [UIDVALIDITY 77] same\r\n* 2 FETCH (UID 11 BODY[] " + literal(kMessage) +
                     ")\r\nB5 OK done\r\n",
                 kOk}),
    [](const ::testing::TestParamInfo<Validity>& info) { return std::string(info.param.name); });

// A size the logon's table left out is asked of the IMAP server by UID, never
// with a POP3 command; a message the server no longer has has no size.
TEST_F(ImapSession, AMissingSizeIsAskedByUid) {
    peer_.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .read_line()
        .send("B1 OK [CAPABILITY IMAP4rev1] Logged in\r\n")
        .read_line()
        .send("* 2 EXISTS\r\n* OK [UIDVALIDITY 77] ok\r\nB2 OK [READ-WRITE] selected\r\n")
        .read_line()
        .send("* 1 FETCH (UID 10)\r\n* 2 FETCH (UID 11)\r\nB3 OK done\r\n")
        .read_line()
        .send("* 1 FETCH (UID 10 RFC822.SIZE 4321)\r\nB4 OK done\r\n")
        .read_line()
        .send("B5 OK nothing for that one\r\n")
        .read_line()
        .send("* BYE\r\nB6 OK bye\r\n");
    peer_.start();
    ASSERT_EQ(logon(), 0);
    long long size = 0;
    EXPECT_TRUE(tool::message_size(s_, 1, size));
    EXPECT_EQ(size, 4321);
    EXPECT_TRUE(tool::message_size(s_, 1, size));  // known now: nothing more asked
    EXPECT_FALSE(tool::message_size(s_, 2, size));
    EXPECT_EQ(brevorin_logoffmail(s_), 0);
    peer_.join();
    std::vector<std::string> lines = peer_.received_lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], "B4 UID FETCH 10 (UID RFC822.SIZE)\r\n");
    EXPECT_EQ(lines[4], "B5 UID FETCH 11 (UID RFC822.SIZE)\r\n");
}

// The session's deletions are flagged at once and committed at logoff: by
// UID where the server has UIDPLUS (after sign-in: what it offered before
// does not count), else by EXPUNGE.
class Deletions : public ImapSession, public ::testing::WithParamInterface<bool> {};

TEST_P(Deletions, AreFlaggedThenExpungedAtLogoff) {
    const bool uidplus = GetParam();
    serve_logon(peer_, uidplus ? " UIDPLUS" : "")
        .read_line()
        .send("B4 OK stored\r\n")
        .read_line()
        .send("B5 OK stored\r\n")
        .read_line()
        .read_line()
        .send("* 1 EXPUNGE\r\n* 2 EXPUNGE\r\nB6 OK expunged\r\n* BYE\r\nB7 OK bye\r\n");
    peer_.start();
    ASSERT_EQ(logon(), 0);
    EXPECT_EQ(s_->mailbox.message_count, 3);
    EXPECT_EQ(s_->mailbox.mailbox_octets, 400 + static_cast<int>(kMessage.size()));
    EXPECT_EQ(brevorin_deletemail(3, s_), 0);
    EXPECT_EQ(brevorin_deletemail(3, s_), kNoMessage);
    EXPECT_EQ(brevorin_deletemail(1, s_), 0);
    EXPECT_EQ(brevorin_deletemail(4, s_), kNoMessage);
    EXPECT_EQ(brevorin_logoffmail(s_), 0);
    peer_.join();
    std::vector<std::string> lines = peer_.received_lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(
        lines[0] + lines[1] + lines[2],
        "B1 LOGIN \"alice\" \"pw\"\r\nB2 SELECT \"INBOX\"\r\nB3 FETCH 1:* (UID RFC822.SIZE)\r\n");
    EXPECT_EQ(lines[3], "B4 UID STORE 12 +FLAGS.SILENT (\\Deleted)\r\n");
    EXPECT_EQ(lines[4], "B5 UID STORE 10 +FLAGS.SILENT (\\Deleted)\r\n");
    EXPECT_EQ(lines[5], uidplus ? "B6 UID EXPUNGE 10,12\r\n" : "B6 EXPUNGE\r\n");
    EXPECT_EQ(lines[6], "B7 LOGOUT\r\n");
}

INSTANTIATE_TEST_SUITE_P(Peer, Deletions, ::testing::Bool());

}  // namespace
}  // namespace brevorin
