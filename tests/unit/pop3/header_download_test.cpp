// LIST and TOP against a small POP3 server: the three ways of TOP, the
// reading of multi-line answers, the buffer limits, and that the connection
// stays in step after every failure.
#include "pop3/header_download.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "api/session.h"
#include "brevorin.h"
#include "mini_pop3.h"
#include "net/connection.h"
#include "pop3/protocol.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::HostFixture;
using test::make_message;
using test::MiniPop3;
using test::ScriptedPeer;

// A message whose TOP text (header lines and the empty line) is exactly
// size bytes long.
std::string message_with_top_text_of(size_t size) {
    std::string header = "Subject: big\r\n";
    while (header.size() + 2 < size) {
        size_t room = size - 2 - header.size();
        size_t line = room > 1000 ? 1000 : room;
        if (room - line != 0 && room - line < 12) line = room - 12;  // keep the last line sane
        std::string fill = "X-Fill: ";
        fill += std::string(line - fill.size() - 2, 'f');
        header += fill + "\r\n";
    }
    return header + "\r\nbody\r\n";
}

std::vector<std::string> three_messages() {
    return {make_message({"From: one@x.example", "Subject: first"}),
            make_message({"From: two@x.example", "Subject: second"}),
            make_message({"From: three@x.example", "Subject: third"})};
}

// Members in this order so that teardown logs off (host_) before the peer
// thread is joined, and the server object outlives the thread.
class HeaderDownloadTest : public ::testing::Test {
  protected:
    void logon(std::unique_ptr<MiniPop3> pop) {
        pop_ = std::move(pop);
        pop_->serve_on(peer_);
        peer_.start();
        ASSERT_EQ(brevorin_logonmail(peer_.server().c_str(), "u", "p", s_), 0);
    }

    bool top(int message, std::string& out, size_t capacity = kHeaderBlockCapacity) {
        return fetch_header(s_->mailbox, top_support(), message, capacity, out);
    }

    // What the logon's POP3 visit knows of TOP.
    TopSupport& top_support() {
        return dynamic_cast<pop3::Pop3Protocol&>(*s_->mailbox.protocol).visit().top_support;
    }

    bool list(int message) {
        return list_size(s_->mailbox, message, s_->mailbox.states[message].size);
    }

    std::unique_ptr<MiniPop3> pop_;
    ScriptedPeer peer_;
    HostFixture host_;
    MailSession* s_ = host_.new_session();
};

TEST_F(HeaderDownloadTest, FirstTopSettlesSupportAndReturnsHeaderWithEmptyLine) {
    logon(std::make_unique<MiniPop3>(three_messages()));
    std::string out;
    ASSERT_TRUE(top(1, out));
    EXPECT_EQ(out, "From: one@x.example\r\nSubject: first\r\n\r\n");
    EXPECT_EQ(top_support(), TopSupport::kWorks);
    ASSERT_TRUE(top(3, out));
    EXPECT_EQ(out, "From: three@x.example\r\nSubject: third\r\n\r\n");
    EXPECT_EQ(pop_->commands(), (std::vector<std::string>{"USER u\r\n", "PASS p\r\n", "STAT\r\n",
                                                          "TOP 1 0\r\n", "TOP 3 0\r\n"}));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> POP3_TOP: Received response from server: \n"));
}

TEST_F(HeaderDownloadTest, RefusedTopFallsBackToRetrForTheRestOfTheConnection) {
    auto pop = std::make_unique<MiniPop3>(three_messages());
    pop->refuse_top();
    logon(std::move(pop));
    std::string out;
    ASSERT_TRUE(top(1, out));
    EXPECT_EQ(out, "From: one@x.example\r\nSubject: first");  // no line end after it
    EXPECT_EQ(top_support(), TopSupport::kUseRetr);
    ASSERT_TRUE(top(2, out));
    EXPECT_EQ(out, "From: two@x.example\r\nSubject: second");
    EXPECT_EQ(pop_->count_starting("TOP"), 1);
    EXPECT_EQ(pop_->count_starting("RETR"), 2);
    EXPECT_TRUE(host_.has_line("BREVORIN: <D1> POP3_TOP: Doing retrieve with command: RETR 1\r\n"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D2> POP3_TOP: Length of header = 35"));

    // A new connection asks again.
    ASSERT_EQ(brevorin_logoffmail(s_), 0);
    EXPECT_EQ(top_support(), TopSupport::kUnknown);
    MiniPop3 second(three_messages());
    ScriptedPeer second_peer;
    second.serve_on(second_peer);
    second_peer.start();
    ASSERT_EQ(brevorin_logonmail(second_peer.server().c_str(), "u", "p", s_), 0);
    ASSERT_TRUE(top(2, out));
    EXPECT_EQ(top_support(), TopSupport::kWorks);
    EXPECT_EQ(second.count_starting("TOP 2 0"), 1);
    EXPECT_EQ(second.count_starting("RETR"), 0);
    ASSERT_EQ(brevorin_logoffmail(s_), 0);
    second_peer.join();
}

TEST_F(HeaderDownloadTest, HeaderArrivingInManyPacketsIsReadWholeAndLeavesTheLineInStep) {
    std::string header_line = "Subject: " + std::string(300, 's');
    auto pop = std::make_unique<MiniPop3>(std::vector<std::string>{
        make_message({"From: slow@x.example", header_line}), make_message({"From: b@x"})});
    pop->dribble(7, std::chrono::milliseconds(1));
    logon(std::move(pop));
    std::string out;
    ASSERT_TRUE(top(1, out));
    EXPECT_EQ(out, "From: slow@x.example\r\n" + header_line + "\r\n\r\n");
    ASSERT_TRUE(list(2));
    EXPECT_EQ(s_->mailbox.states[2].size, 21);
}

TEST_F(HeaderDownloadTest, DotStuffedLinesLoseTheirFirstDotAndALoneDotIsNotTheEnd) {
    auto pop = std::make_unique<MiniPop3>(
        std::vector<std::string>{make_message({"From: a@x.example", ".Odd: dotted", "X-Dots: ..."}),
                                 make_message({"From: b@x"})});
    // Lines holding one dot, stuffed, in the header and in the body.
    pop->on_command([](const std::string& command, int fd) {
        if (command != "RETR 2\r\n") return false;
        MiniPop3::send_all(fd,
                           "+OK\r\nFrom: b@x\r\n..\r\nSubject: after\r\n\r\n..\r\nbody\r\n.\r\n");
        return true;
    });
    logon(std::move(pop));
    std::string out;
    ASSERT_TRUE(top(1, out));
    EXPECT_EQ(out, "From: a@x.example\r\n.Odd: dotted\r\nX-Dots: ...\r\n\r\n");

    top_support() = TopSupport::kUseRetr;
    ASSERT_TRUE(top(2, out));
    EXPECT_EQ(out, "From: b@x\r\n.\r\nSubject: after");
    ASSERT_TRUE(list(1));  // still in step
}

TEST_F(HeaderDownloadTest, AnswerOfCapacityMinusOneFitsAndOneMoreIsCutWithAWarning) {
    const std::string over = message_with_top_text_of(32768);
    const std::string over_top = over.substr(0, over.find("\r\n\r\n") + 4);
    logon(std::make_unique<MiniPop3>(std::vector<std::string>{
        message_with_top_text_of(32767), over, message_with_top_text_of(32767), over}));
    std::string out;
    ASSERT_TRUE(top(1, out));
    EXPECT_EQ(out.size(), 32767u);
    EXPECT_EQ(top_support(), TopSupport::kWorks);
    EXPECT_EQ(host_.count_containing("<W1> POP3_TOP: Header of message"), 0);

    // One byte more is listed from its start, cut at a line end, on the
    // first TOP of a connection (way A)...
    top_support() = TopSupport::kUnknown;
    EXPECT_TRUE(top(2, out));
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <W1> POP3_TOP: Header of message 2 longer than 32767 bytes, "
                       "listed from its start"));
    EXPECT_LE(out.size(), 32767u);
    EXPECT_EQ(out, over_top.substr(0, out.size()));
    EXPECT_TRUE(!out.empty() && out.back() == '\n');
    EXPECT_EQ(top_support(), TopSupport::kWorks);
    ASSERT_TRUE(list(2));
    EXPECT_EQ(s_->mailbox.states[2].size, 32768 + 6);

    // ...and on a later one (way B).
    EXPECT_TRUE(top(3, out));
    EXPECT_TRUE(top(4, out));
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <W1> POP3_TOP: Header of message 4 longer than 32767 bytes, "
                       "listed from its start"));
    EXPECT_LE(out.size(), 32767u);
    EXPECT_EQ(out, over_top.substr(0, out.size()));
    EXPECT_TRUE(!out.empty() && out.back() == '\n');
    ASSERT_TRUE(list(1));
}

// The RETR fallback: the header is the part before the first empty line,
// searched in what fits the work buffer; the rest of the answer is read and
// dropped so that the next command still reads its own answer.
TEST_F(HeaderDownloadTest, RetrFallbackFindsTheHeaderOrFailsInStep) {
    std::string body;
    for (int i = 0; i < 3000; ++i) body += "line " + std::to_string(i) + " of a long body text\r\n";
    auto pop = std::make_unique<MiniPop3>(
        std::vector<std::string>{"From: a@x.example\r\nSubject: no body\r\n",
                                 make_message({"Subject: abcdefgh"}, body), "From: b@x\r\n"});
    pop->refuse_top();
    logon(std::move(pop));
    std::string out = "stale";
    EXPECT_FALSE(top(1, out, 64));
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_TOP: Couldn't find header delimiter"));
    EXPECT_EQ(out, "");  // nothing of a failed answer is handed out

    // A header over the capacity is listed from its start.
    EXPECT_TRUE(top(2, out, 17));
    EXPECT_TRUE(
        host_.has_line("BREVORIN: <W1> POP3_TOP: Header of message 2 longer than 16 bytes, "
                       "listed from its start"));
    EXPECT_EQ(out, "Subject: abcdefg");
    ASSERT_TRUE(top(2, out, 18));
    EXPECT_EQ(out, "Subject: abcdefgh");
    ASSERT_TRUE(list(3));
    EXPECT_EQ(s_->mailbox.states[3].size, 11);
}

TEST_F(HeaderDownloadTest, ListStoresTheSizeOrLeavesItWhenTheAnswerIsNotTwoNumbers) {
    auto pop = std::make_unique<MiniPop3>(three_messages());
    pop->on_command([](const std::string& command, int fd) {
        if (command == "LIST 1\r\n")
            MiniPop3::send_all(fd, "+OK 3 1200\r\n");
        else if (command == "LIST 2\r\n")
            MiniPop3::send_all(fd, "+OK\r\n");
        else if (command == "LIST 3\r\n")
            MiniPop3::send_all(fd, "+OK 3 octets\r\n");
        else
            return false;
        return true;
    });
    logon(std::move(pop));
    ASSERT_TRUE(list(1));
    EXPECT_EQ(s_->mailbox.states[1].size, 1200);  // the echoed number is not compared
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> POP3_LIST: Received message number=3, size=1200"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> POP3_LIST: Listing : 1"));
    EXPECT_FALSE(list(2));
    EXPECT_FALSE(list(3));
    EXPECT_EQ(s_->mailbox.states[2].size, -1);
    EXPECT_EQ(s_->mailbox.states[3].size, -1);
    EXPECT_EQ(host_.count_containing("<E1> POP3_LIST: Response from server not parsable"), 2);
}

TEST_F(HeaderDownloadTest, RefusalsAndLostConnectionsFail) {
    auto pop = std::make_unique<MiniPop3>(three_messages());
    pop->on_command([](const std::string& command, int fd) {
        if (command == "TOP 1 0\r\n") {
            MiniPop3::send_all(fd, "-ERR not now\r\n");
            return true;
        }
        if (command == "TOP 2 0\r\n") {
            MiniPop3::send_all(fd, "+OK\r\nFrom: half");
            ::shutdown(fd, SHUT_RDWR);
            return true;
        }
        return false;
    });
    logon(std::move(pop));
    std::string out;
    EXPECT_TRUE(list(2));
    top_support() = TopSupport::kWorks;
    EXPECT_FALSE(top(1, out));
    EXPECT_EQ(top_support(), TopSupport::kWorks);
    EXPECT_FALSE(top(2, out));
    EXPECT_EQ(s_->mailbox.connection.failure(), Failure::kLost);
    EXPECT_FALSE(list(3));
}

}  // namespace
}  // namespace brevorin
