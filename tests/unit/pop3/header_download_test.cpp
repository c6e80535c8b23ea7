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
#include "net/transport.h"
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

    int top(int message, std::vector<char>& out, int capacity = kHeaderBlockCapacity) {
        out.assign(static_cast<size_t>(capacity > 0 ? capacity : 1), '\0');
        return fetch_top(s_->socket, &s_->top_support, message, 0, out.data(), capacity, s_);
    }

    int list(int message) {
        return list_size(s_->socket, message, &s_->messages[message].size, s_);
    }

    std::unique_ptr<MiniPop3> pop_;
    ScriptedPeer peer_;
    HostFixture host_;
    MailSession* s_ = host_.new_session();
};

TEST_F(HeaderDownloadTest, FirstTopSettlesSupportAndReturnsHeaderWithEmptyLine) {
    logon(std::make_unique<MiniPop3>(three_messages()));
    std::vector<char> out;
    ASSERT_EQ(top(1, out), 0);
    EXPECT_STREQ(out.data(), "From: one@x.example\r\nSubject: first\r\n\r\n");
    EXPECT_EQ(s_->top_support, 1);
    ASSERT_EQ(top(3, out), 0);
    EXPECT_STREQ(out.data(), "From: three@x.example\r\nSubject: third\r\n\r\n");
    EXPECT_EQ(pop_->commands(), (std::vector<std::string>{"USER u\r\n", "PASS p\r\n", "STAT\r\n",
                                                          "TOP 1 0\r\n", "TOP 3 0\r\n"}));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> POP3_TOP: Received response from server: \n"));
}

TEST_F(HeaderDownloadTest, RefusedTopFallsBackToRetrForTheRestOfTheConnection) {
    auto pop = std::make_unique<MiniPop3>(three_messages());
    pop->refuse_top();
    logon(std::move(pop));
    std::vector<char> out;
    ASSERT_EQ(top(1, out), 0);
    EXPECT_STREQ(out.data(), "From: one@x.example\r\nSubject: first");  // no line end after it
    EXPECT_EQ(s_->top_support, 0);
    ASSERT_EQ(top(2, out), 0);
    EXPECT_STREQ(out.data(), "From: two@x.example\r\nSubject: second");
    EXPECT_EQ(pop_->count_starting("TOP"), 1);
    EXPECT_EQ(pop_->count_starting("RETR"), 2);
    EXPECT_TRUE(host_.has_line("BREVORIN: <D1> POP3_TOP: Doing retrieve with command: RETR 1\r\n"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <D2> POP3_TOP: Length of header = 35"));

    // A new connection asks again.
    ASSERT_EQ(brevorin_logoffmail(s_), 0);
    EXPECT_EQ(s_->top_support, -1);
    MiniPop3 second(three_messages());
    ScriptedPeer second_peer;
    second.serve_on(second_peer);
    second_peer.start();
    ASSERT_EQ(brevorin_logonmail(second_peer.server().c_str(), "u", "p", s_), 0);
    ASSERT_EQ(top(2, out), 0);
    EXPECT_EQ(s_->top_support, 1);
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
    std::vector<char> out;
    ASSERT_EQ(top(1, out), 0);
    EXPECT_EQ(std::string(out.data()), "From: slow@x.example\r\n" + header_line + "\r\n\r\n");
    ASSERT_EQ(list(2), 0);
    EXPECT_EQ(s_->messages[2].size, 21);
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
    std::vector<char> out;
    ASSERT_EQ(top(1, out), 0);
    EXPECT_STREQ(out.data(), "From: a@x.example\r\n.Odd: dotted\r\nX-Dots: ...\r\n\r\n");

    s_->top_support = 0;
    ASSERT_EQ(top(2, out), 0);
    EXPECT_STREQ(out.data(), "From: b@x\r\n.\r\nSubject: after");
    ASSERT_EQ(list(1), 0);  // still in step
}

TEST_F(HeaderDownloadTest, AnswerOfCapacityMinusOneFitsAndOneMoreDoesNot) {
    logon(std::make_unique<MiniPop3>(std::vector<std::string>{
        message_with_top_text_of(32767), message_with_top_text_of(32768),
        message_with_top_text_of(32767), message_with_top_text_of(32768)}));
    std::vector<char> out;
    ASSERT_EQ(top(1, out), 0);
    EXPECT_EQ(std::string(out.data()).size(), 32767u);
    EXPECT_EQ(s_->top_support, 1);

    // The same limits on the first TOP of a connection (way A)...
    s_->top_support = -1;
    EXPECT_EQ(top(2, out), -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_TOP: Buffer too small!"));
    EXPECT_EQ(s_->top_support, 1);
    ASSERT_EQ(list(2), 0);
    EXPECT_EQ(s_->messages[2].size, 32768 + 6);

    // ...and on a later one (way B).
    EXPECT_EQ(top(3, out), 0);
    EXPECT_EQ(top(4, out), -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_TOP: Topbuf too small"));
    ASSERT_EQ(list(1), 0);
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
    std::vector<char> out(64, 'u');
    EXPECT_EQ(fetch_top(s_->socket, &s_->top_support, 1, 0, out.data(), 64, s_), -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_TOP: Couldn't find header delimiter"));
    EXPECT_EQ(out, std::vector<char>(64, 'u'));  // written only on success

    EXPECT_EQ(top(2, out, 17), -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <E1> POP3_TOP: Buffer too small"));
    ASSERT_EQ(top(2, out, 18), 0);
    EXPECT_STREQ(out.data(), "Subject: abcdefgh");
    ASSERT_EQ(list(3), 0);
    EXPECT_EQ(s_->messages[3].size, 11);
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
    ASSERT_EQ(list(1), 0);
    EXPECT_EQ(s_->messages[1].size, 1200);  // the echoed number is not compared
    EXPECT_TRUE(host_.has_line("BREVORIN: <D0> POP3_LIST: Received message number=3, size=1200"));
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> POP3_LIST: Listing : 1"));
    EXPECT_EQ(list(2), -1);
    EXPECT_EQ(list(3), -1);
    EXPECT_EQ(s_->messages[2].size, -1);
    EXPECT_EQ(s_->messages[3].size, -1);
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
    std::vector<char> out;
    EXPECT_EQ(list(2), 0);
    s_->top_support = 1;
    EXPECT_EQ(top(1, out), -1);
    EXPECT_EQ(s_->top_support, 1);
    EXPECT_EQ(top(2, out), -1);
    EXPECT_EQ(sock_error(), 10054);
    EXPECT_EQ(list(3), -1);
}

}  // namespace
}  // namespace brevorin
