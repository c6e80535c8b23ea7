// A connection kept open between sendings: when it is reused, when a new
// one replaces it, and that a refusal or a loss leaves the next message in
// step and never sends one twice.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "smtp/sendmail.h"
#include "smtp_test_support.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::HostFixture;
using test::ScriptedPeer;

ScriptedPeer& greet(ScriptedPeer& peer, const char* hello = "250 hello\r\n") {
    return peer.send("220 mail.test\r\n").read_line().send(hello);
}

ScriptedPeer& accepted(ScriptedPeer& peer) {
    return peer.read_line()
        .send("250 sender ok\r\n")
        .read_line()
        .send("250 ok\r\n")
        .read_line()
        .send("354 go\r\n")
        .read_until(".\r\n")
        .send("250 queued\r\n");
}

ScriptedPeer& quit(ScriptedPeer& peer) {
    return peer.read_line().send("221 bye\r\n");
}

// Lines the client sent outside the message data.
std::vector<std::string> commands_of(const ScriptedPeer& peer) {
    std::vector<std::string> commands;
    bool in_data = false;
    for (const auto& line : peer.received_lines()) {
        if (line == "RSET\r\n") in_data = false;  // after a refused DATA no message came
        if (!in_data) commands.push_back(line.rfind("HELO ", 0) == 0 ? "HELO" : line);
        if (line == "DATA\r\n" || line == ".\r\n") in_data = line == "DATA\r\n";
    }
    return commands;
}

size_t occurrences(const std::string& all, const std::string& piece) {
    size_t count = 0;
    for (size_t at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1))
        ++count;
    return count;
}

const std::string kMail = "MAIL FROM: <f>\r\n";
const std::string kRcpt = "RCPT TO: <a>\r\n";
const std::string kData = "DATA\r\n";

class KeepOpenTest : public ::testing::Test {
  protected:
    KeepOpenTest() { ctx_.options.smtp_keep_open_s = 30; }
    ~KeepOpenTest() override { link_.connection.reset(); }

    int send(const ScriptedPeer& peer, const char* text = "Hello") {
        return send_mail(peer.server().c_str(), "TO=a\033FROM=f", text, "", 0, ctx_, &link_);
    }
    int connections() const { return host_.count_containing("SENDMAIL: Opening connection"); }
    // Until what the server sent to the idle connection has arrived.
    void await_server_word() {
        ASSERT_TRUE(link_.connection);
        pollfd p{link_.connection->socket(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
    }

    HostFixture host_;
    Context ctx_ = test::traced_context();
    SmtpLink link_;
};

TEST_F(KeepOpenTest, MessagesShareOneConnectionAndOneQuit) {
    ScriptedPeer peer;
    quit(accepted(accepted(accepted(greet(peer)))));
    peer.start();
    for (const char* text : {"one", "two", "three"}) EXPECT_EQ(send(peer, text), kOk) << text;
    close_smtp_link(link_);
    peer.join();
    std::vector<std::string> expected = {"HELO", kMail, kRcpt, kData, kMail,     kRcpt,
                                         kData,  kMail, kRcpt, kData, "QUIT\r\n"};
    EXPECT_EQ(commands_of(peer), expected) << host_.all_lines();
    EXPECT_EQ(connections(), 1);
    EXPECT_FALSE(link_.connection);
}

TEST_F(KeepOpenTest, RefusedMessageIsFollowedByAnRsetOnTheSameConnection) {
    struct Case {
        int answered;  // replies that succeed before the refusal: MAIL, RCPT, DATA, message
        const char* refusal;
        int status;
    } cases[] = {
        {0, "550 sender refused\r\n", kRefused}, {1, "550 no such user\r\n", kRefused},
        {1, "452 too many\r\n", kStorage},       {2, "554 no valid recipients\r\n", kRefused},
        {3, "554 spam\r\n", kRefused},           {3, "451 try later\r\n", kRefused}};
    const char* good[] = {"250 sender ok\r\n", "250 ok\r\n", "354 go\r\n"};
    for (const Case& c : cases) {
        host_.clear_lines();
        ScriptedPeer peer;
        greet(peer);
        for (int step = 0; step < c.answered; ++step) peer.read_line().send(good[step]);
        if (c.answered == 3)
            peer.read_until(".\r\n");
        else
            peer.read_line();
        peer.send(c.refusal).read_line().send("250 reset\r\n");
        quit(accepted(peer));
        peer.start();
        EXPECT_EQ(send(peer, "refused"), c.status) << c.refusal;
        EXPECT_EQ(send(peer, "accepted"), kOk) << c.refusal << host_.all_lines();
        close_smtp_link(link_);
        peer.join();
        std::vector<std::string> commands = commands_of(peer);
        ASSERT_EQ(commands.size(), static_cast<size_t>(std::min(c.answered, 2) + 7)) << c.refusal;
        EXPECT_EQ(commands[commands.size() - 5], "RSET\r\n") << c.refusal;
        EXPECT_EQ(commands[commands.size() - 4], kMail) << c.refusal;
        EXPECT_EQ(connections(), 1) << c.refusal;
    }
}

TEST_F(KeepOpenTest, ConnectionTheServerEndedWhileIdleIsReplacedBeforeUse) {
    const char* farewells[] = {"", "421 idle too long\r\n"};
    for (const char* farewell : farewells) {
        host_.clear_lines();
        ScriptedPeer peer;
        accepted(greet(peer));
        if (*farewell != '\0') peer.send(farewell);
        peer.accept_next();
        quit(accepted(greet(peer)));
        peer.start();
        ASSERT_EQ(send(peer, "first"), kOk);
        await_server_word();
        EXPECT_EQ(send(peer, "second"), kOk) << farewell << host_.all_lines();
        close_smtp_link(link_);
        peer.join();
        std::vector<std::string> expected = {"HELO", kMail, kRcpt, kData,     "HELO",
                                             kMail,  kRcpt, kData, "QUIT\r\n"};
        EXPECT_EQ(commands_of(peer), expected) << farewell;
        EXPECT_EQ(connections(), 2) << farewell;
        EXPECT_EQ(host_.count_containing("Kept connection ended by the server"), 1) << farewell;
    }
}

TEST_F(KeepOpenTest, LossIsRetriedOnlyBeforeTheMessageWentOut) {
    struct Case {
        bool after_data;  // the server vanishes after the message, not after MAIL FROM
        int status;
        int connections;
    } cases[] = {{false, kOk, 2}, {true, kNetwork, 1}};
    for (const Case& c : cases) {
        host_.clear_lines();
        ScriptedPeer peer;
        accepted(greet(peer));
        if (c.after_data) {
            peer.read_line().send("250 ok\r\n").read_line().send("250 ok\r\n");
            peer.read_line().send("354 go\r\n").read_until(".\r\n").close();
        } else {
            quit(accepted(greet(peer.read_line().accept_next())));
        }
        peer.start();
        ASSERT_EQ(send(peer, "first"), kOk);
        EXPECT_EQ(send(peer, "the second message"), c.status) << host_.all_lines();
        close_smtp_link(link_);
        peer.join();
        EXPECT_EQ(occurrences(peer.received(), "the second message"), 1u) << c.after_data;
        EXPECT_EQ(connections(), c.connections);
        if (c.after_data) {
            EXPECT_FALSE(link_.connection);
        }
    }
}

TEST_F(KeepOpenTest, ChangedSettingsOrIdleTimeEndTheKeptConnectionWithQuit) {
    enum class Change { kIdleTimePassed, kOtherHeloName, kOptionCleared };
    for (Change change :
         {Change::kIdleTimePassed, Change::kOtherHeloName, Change::kOptionCleared}) {
        host_.clear_lines();
        Context saved = ctx_;
        ScriptedPeer peer;
        quit(accepted(greet(quit(accepted(greet(peer))).accept_next())));
        peer.start();
        ASSERT_EQ(send(peer, "first"), kOk);
        switch (change) {
            case Change::kIdleTimePassed:
                link_.idle_since_ms = platform::monotonic_ms() - 31000;
                break;
            case Change::kOtherHeloName:
                ctx_.options.helo_name = "other.example";
                break;
            case Change::kOptionCleared:
                ctx_.options.smtp_keep_open_s = 0;
                break;
        }
        EXPECT_EQ(send(peer, "second"), kOk) << host_.all_lines();
        close_smtp_link(link_);
        peer.join();
        std::vector<std::string> expected = {"HELO", kMail, kRcpt, kData, "QUIT\r\n",
                                             "HELO", kMail, kRcpt, kData, "QUIT\r\n"};
        EXPECT_EQ(commands_of(peer), expected) << static_cast<int>(change);
        EXPECT_EQ(link_.connection != nullptr, false);
        ctx_ = saved;
    }
}

TEST(KeepOpenOption, TakesWholeSecondsUpToADay) {
    const std::pair<const char*, long> cases[] = {{"0", 0},      {"30", 30}, {"86400", 86400},
                                                  {"86401", -1}, {"-1", -1}, {"", -1},
                                                  {"5s", -1},    {" 5", -1}};
    for (const auto& [value, seconds] : cases) {
        SessionOptions options;
        options.smtp_keep_open_s = 7;
        OptionOutcome outcome = apply_option(options, "smtp_keep_open", value);
        EXPECT_EQ(outcome, seconds < 0 ? OptionOutcome::kBadValue : OptionOutcome::kSet) << value;
        EXPECT_EQ(options.smtp_keep_open_s, seconds < 0 ? 7u : static_cast<unsigned>(seconds))
            << value;
    }
}

TEST(LinkFingerprint, EverySettingOfTheOpeningTellsConnectionsApart) {
    SessionOptions base;
    base.smtp_user = "ann";
    base.smtp_password = "secret";
    const uint64_t reference = link_fingerprint("mail.example", 587, base);
    EXPECT_EQ(link_fingerprint("mail.example", 587, base), reference);
    std::vector<std::pair<const char*, void (*)(SessionOptions&)>> changes = {
        {"security", [](SessionOptions& o) { o.security = Security::kStartTls; }},
        {"verify", [](SessionOptions& o) { o.verify = Verify::kNone; }},
        {"ca_file", [](SessionOptions& o) { o.ca_file = "ca.pem"; }},
        {"auth", [](SessionOptions& o) { o.smtp_auth = SmtpAuth::kPlain; }},
        {"user", [](SessionOptions& o) { o.smtp_user = "bob"; }},
        {"password", [](SessionOptions& o) { o.smtp_password = "secreT"; }},
        {"password/user shift",
         [](SessionOptions& o) {
             o.smtp_user = "anns";
             o.smtp_password = "ecret";
         }},
        {"helo", [](SessionOptions& o) { o.helo_name = "x.example"; }},
        {"mime", [](SessionOptions& o) { o.mime = MimeMode::kModern; }},
        {"pipelining", [](SessionOptions& o) { o.pipelining = Pipelining::kAuto; }},
        {"plaintext", [](SessionOptions& o) { o.allow_plaintext_auth = true; }}};
    for (const auto& [name, change] : changes) {
        SessionOptions changed = base;
        change(changed);
        EXPECT_NE(link_fingerprint("mail.example", 587, changed), reference) << name;
    }
    EXPECT_NE(link_fingerprint("mail.example", 25, base), reference);
    EXPECT_NE(link_fingerprint("mx.example", 587, base), reference);
    // What only bounds a wait has no part in what the connection is.
    SessionOptions waits = base;
    waits.timeout_s = 9;
    waits.smtp_keep_open_s = 5;
    EXPECT_EQ(link_fingerprint("mail.example", 587, waits), reference);
}

TEST_F(KeepOpenTest, PipelinedRefusalReadsEveryOwedReply) {
    struct Case {
        const char* data_reply;  // to the DATA sent with the refused recipient
        bool kept;               // the next message goes over the same connection
    } cases[] = {{"554 no valid recipients\r\n", true}, {"354 go\r\n", false}};
    ctx_.options.pipelining = Pipelining::kAuto;
    for (const Case& c : cases) {
        host_.clear_lines();
        ScriptedPeer peer;
        greet(peer, "250-hello\r\n250 PIPELINING\r\n").read_line().read_line().read_line();
        peer.read_line().send(std::string("250 ok\r\n250 ok\r\n550 no b\r\n") + c.data_reply);
        if (c.kept)
            peer.read_line().send("250 reset\r\n");
        else
            greet(peer.accept_next(), "250-hello\r\n250 PIPELINING\r\n");
        peer.read_line().read_line().read_line().send("250 ok\r\n250 ok\r\n354 go\r\n");
        quit(peer.read_until(".\r\n").send("250 queued\r\n"));
        peer.start();
        EXPECT_EQ(send_mail(peer.server().c_str(), "TO=a,b\033FROM=f", "x", "", 0, ctx_, &link_),
                  kRefused);
        EXPECT_EQ(send(peer), kOk) << c.data_reply << host_.all_lines();
        close_smtp_link(link_);
        peer.join();
        EXPECT_EQ(connections(), c.kept ? 1 : 2);
        EXPECT_EQ(occurrences(peer.received(), "RSET"), c.kept ? 1u : 0u) << c.data_reply;
    }
}

// A server offering CHUNKING gets the message as one BDAT chunk, and the
// answers come in the order the commands went.
class ChunkingTest : public KeepOpenTest {
  protected:
    ChunkingTest() {
        ctx_.options.mime = MimeMode::kModern;
        ctx_.options.pipelining = Pipelining::kAuto;
    }
    static ScriptedPeer& greet_chunking(ScriptedPeer& peer) {
        return greet(peer, "250-hello\r\n250-PIPELINING\r\n250 CHUNKING\r\n");
    }
};

// A dot opening a line is stuffed under DATA; in a chunk it must stay single.
constexpr char kDottedText[] = "Hello\r\n.dot\r\nend";

// The chunk that followed the first BDAT command, checked against the
// length the command stated; what came after it in rest.
std::string first_chunk(const std::string& received, std::string& rest) {
    size_t at = received.find("BDAT ");
    if (at == std::string::npos) return std::string();
    size_t line_end = received.find("\r\n", at);
    EXPECT_NE(received.find(" LAST\r\n", at), std::string::npos);
    size_t length = std::stoul(received.substr(at + 5, line_end - at - 5));
    size_t start = line_end + 2;
    EXPECT_LE(start + length, received.size());
    rest = received.substr(std::min(start + length, received.size()));
    return received.substr(start, length);
}

TEST_F(ChunkingTest, MessageGoesAsOneChunkAndTheRepliesKeepTheConnectionInStep) {
    enum class Then { kNext, kResetThenNext, kLost };
    struct Case {
        const char* name;
        const char* replies;  // to what the client sent before waiting
        int status;
        Then then;
    } cases[] = {
        {"accepted", "250 ok\r\n250 ok\r\n250 queued\r\n", kOk, Then::kNext},
        {"refused recipient", "250 ok\r\n550 no such user\r\n554 no valid recipients\r\n", kRefused,
         Then::kResetThenNext},
        {"refused sender", "550 no\r\n503 need RCPT\r\n554 no valid recipients\r\n", kRefused,
         Then::kResetThenNext},
        {"storage", "250 ok\r\n250 ok\r\n452 full\r\n", kStorage, Then::kResetThenNext},
        {"lost after the chunk", "250 ok\r\n250 ok\r\n", kNetwork, Then::kLost},
    };
    for (const Case& c : cases) {
        host_.clear_lines();
        ScriptedPeer peer;
        // Every command and the chunk are read before any reply: a client
        // waiting for one between them would stall here.
        greet_chunking(peer).read_line().read_line().read_line().read_until("end\r\n");
        peer.send(c.replies);
        if (c.then == Then::kLost) peer.close();
        if (c.then == Then::kResetThenNext) peer.read_line().send("250 reset\r\n");
        if (c.then != Then::kLost) {
            peer.read_line().read_line().read_line().read_until("second\r\n");
            quit(peer.send("250 ok\r\n250 ok\r\n250 queued\r\n"));
        }
        peer.start();
        EXPECT_EQ(send(peer, kDottedText), c.status) << c.name << host_.all_lines();
        if (c.then != Then::kLost) {
            EXPECT_EQ(send(peer, "second"), kOk) << c.name;
        }
        close_smtp_link(link_);
        peer.join();
        std::string rest;
        std::string chunk = first_chunk(peer.received(), rest);
        EXPECT_NE(chunk.find("\r\n\r\nHello\r\n.dot\r\nend\r\n"), std::string::npos) << c.name;
        EXPECT_EQ(chunk.size() - chunk.rfind("end\r\n"), 5u) << c.name;
        const char* next = c.then == Then::kNext            ? "MAIL FROM: <f>"
                           : c.then == Then::kResetThenNext ? "RSET\r\nMAIL FROM: <f>"
                                                            : "";
        EXPECT_EQ(rest.compare(0, std::strlen(next), next), 0) << c.name << ": " << rest;
        EXPECT_EQ(occurrences(peer.received(), "DATA\r\n"), 0u) << c.name;
        EXPECT_EQ(occurrences(peer.received(), ".dot"), 1u) << c.name;
        EXPECT_EQ(connections(), 1) << c.name;
        EXPECT_FALSE(link_.connection) << c.name;
    }
}

TEST_F(ChunkingTest, EnvelopeIsSettledBeforeTheChunkOrTheMessageStreams) {
    struct Case {
        const char* name;
        const char* to;
        std::string text;
        const char* envelope_replies;  // after MAIL and each RCPT (and DATA)
        int status;
        bool chunked;
    } cases[] = {
        {"two recipients", "a,b", "x", "250 ok\r\n250 ok\r\n250 ok\r\n", kOk, true},
        // No chunk follows a refused recipient: the other one gets nothing.
        {"one of two refused", "a,b", "x", "250 ok\r\n250 ok\r\n550 no b\r\n", kRefused, false},
        {"over the bound", "a", std::string(1100 * 1024, 'y') + "\r\n",
         "250 ok\r\n250 ok\r\n354 go\r\n", kOk, false},
    };
    for (const Case& c : cases) {
        host_.clear_lines();
        ScriptedPeer peer;
        greet_chunking(peer).read_line().read_line().read_line().send(c.envelope_replies);
        if (c.chunked)
            peer.read_line().read_until("x\r\n").send("250 queued\r\n");
        else if (c.status == kOk)
            peer.read_until(".\r\n").send("250 queued\r\n");
        quit(peer);
        peer.start();
        std::string headers = std::string("TO=") + c.to + "\033FROM=f";
        EXPECT_EQ(
            send_mail(peer.server().c_str(), headers.c_str(), c.text.c_str(), "", 0, ctx_, &link_),
            c.status)
            << c.name << host_.all_lines();
        close_smtp_link(link_);
        peer.join();
        std::string rest;
        EXPECT_EQ(!first_chunk(peer.received(), rest).empty(), c.chunked) << c.name;
        EXPECT_EQ(occurrences(peer.received(), "DATA\r\n"), c.status == kOk && !c.chunked ? 1u : 0u)
            << c.name;
    }
}

}  // namespace
}  // namespace brevorin
