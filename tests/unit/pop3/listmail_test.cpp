// brevorin_listmail end to end against a small POP3 server: the record
// format, deleted messages, the 10240-byte cap, large mailboxes, cached
// headers, and the status after failures.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "api/session.h"
#include "brevorin.h"
#include "mailbox/listing.h"
#include "mini_pop3.h"
#include "net/connection.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::HostFixture;
using test::make_message;
using test::MiniPop3;
using test::ScriptedPeer;

const std::string kEscText(1, kEsc);

std::string message(int n, const std::string& subject = "") {
    return make_message(
        {"From: Sender " + std::to_string(n) + " <s" + std::to_string(n) + "@x.example>",
         "Subject: " + (subject.empty() ? "note " + std::to_string(n) : subject),
         "Date: Mon, 7 Dec 2026 10:0" + std::to_string(n % 10) + ":00 +0000",
         "Message-ID: <" + std::to_string(n) + "@x.example>"});
}

std::string record(int n, int size, const std::string& subject = "") {
    return "NMB=" + std::to_string(n) + kEscText + "ID=<" + std::to_string(n) + "@x.example>" +
           kEscText + "FROM=Sender " + std::to_string(n) + " <s" + std::to_string(n) +
           "@x.example>" + kEscText +
           "SUBJECT=" + (subject.empty() ? "note " + std::to_string(n) : subject) + kEscText +
           "DATE=Mon, 7 Dec 2026 10:0" + std::to_string(n % 10) + ":00 +0000" + kEscText +
           "PRIORITY=3" + kEscText + "SIZE=" + std::to_string(size);
}

class ListMailTest : public ::testing::Test {
  protected:
    void logon(std::unique_ptr<MiniPop3> pop) {
        pop_ = std::move(pop);
        pop_->serve_on(peer_);
        peer_.start();
        ASSERT_EQ(brevorin_logonmail(peer_.server().c_str(), "u", "p", s_), 0);
    }

    int listmail(std::string& list) {
        char* out = nullptr;
        int status = brevorin_listmail(&out, s_);
        EXPECT_NE(out, nullptr);
        list = out != nullptr ? out : "<none>";
        return status;
    }

    std::unique_ptr<MiniPop3> pop_;
    ScriptedPeer peer_;
    HostFixture host_;
    MailSession* s_ = host_.new_session();
};

TEST_F(ListMailTest, RecordsFollowOneAnotherSeparatedByOneEsc) {
    std::vector<std::string> messages{message(1), message(2), message(3)};
    logon(std::make_unique<MiniPop3>(messages));
    std::string list;
    ASSERT_EQ(listmail(list), 3);
    EXPECT_EQ(list, record(1, static_cast<int>(messages[0].size())) + kEscText +
                        record(2, static_cast<int>(messages[1].size())) + kEscText +
                        record(3, static_cast<int>(messages[2].size())));
    EXPECT_EQ(pop_->commands(),
              (std::vector<std::string>{"USER u\r\n", "PASS p\r\n", "STAT\r\n", "LIST 1\r\n",
                                        "TOP 1 0\r\n", "LIST 2\r\n", "TOP 2 0\r\n", "LIST 3\r\n",
                                        "TOP 3 0\r\n"}));
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> LISTMAIL: Returning list of 3 messaged"));

    // Known headers are listed again without asking the server.
    std::string again;
    ASSERT_EQ(list_messages(s_->mailbox, again), 3);
    EXPECT_EQ(again, list);
    EXPECT_EQ(pop_->commands().size(), 9u);
}

TEST_F(ListMailTest, ServerWithoutTopListsTheSameThroughRetr) {
    std::vector<std::string> messages{message(1), message(2)};
    auto pop = std::make_unique<MiniPop3>(messages);
    pop->refuse_top();
    logon(std::move(pop));
    std::string list;
    ASSERT_EQ(listmail(list), 2);
    EXPECT_EQ(list, record(1, static_cast<int>(messages[0].size())) + kEscText +
                        record(2, static_cast<int>(messages[1].size())));
    EXPECT_EQ(pop_->count_starting("TOP"), 1);
    EXPECT_EQ(pop_->count_starting("RETR"), 2);
}

// Japanese text kept in its ISO-2022-JP form (the host is not Japanese)
// carries ESC bytes, which would split the record.
TEST_F(ListMailTest, EscInAValueDoesNotSplitTheRecord) {
    logon(std::make_unique<MiniPop3>(std::vector<std::string>{
        make_message({"Subject: =?iso-2022-jp?b?GyRCJEgbKEI=?= x", "From: f@x"})}));
    std::string list;
    ASSERT_EQ(listmail(list), 1);
    EXPECT_EQ(s_->mailbox.entry(1).subject, "\x1b$B$H\x1b(B x");
    EXPECT_NE(list.find(kEscText + "SUBJECT=$B$H(B x" + kEscText + "DATE="), std::string::npos);
}

TEST_F(ListMailTest, DeletedMessagesAreSkipped) {
    std::vector<std::string> messages{message(1), message(2), message(3)};
    logon(std::make_unique<MiniPop3>(messages));
    ASSERT_EQ(brevorin_deletemail(1, s_), 0);
    std::string list;
    ASSERT_EQ(listmail(list), 2);
    EXPECT_EQ(list, record(2, static_cast<int>(messages[1].size())) + kEscText +
                        record(3, static_cast<int>(messages[2].size())));
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> LISTMAIL: Skipping deleted message: 1"));
    EXPECT_EQ(pop_->count_starting("LIST 1"), 0);

    ASSERT_EQ(brevorin_deletemail(2, s_), 0);
    ASSERT_EQ(brevorin_deletemail(3, s_), 0);
    ASSERT_EQ(listmail(list), 0);
    EXPECT_EQ(list, "");
    EXPECT_TRUE(host_.has_line("BREVORIN: <F0> LISTMAIL: Returning list of 0 messaged"));
}

TEST_F(ListMailTest, NotLoggedOnAndEmptyMailboxGiveEmptyLists) {
    std::string list;
    EXPECT_EQ(listmail(list), -8);
    EXPECT_EQ(list, "");

    logon(std::make_unique<MiniPop3>(std::vector<std::string>{}));
    EXPECT_EQ(listmail(list), 0);
    EXPECT_EQ(list, "");
    EXPECT_EQ(pop_->commands().size(), 3u);
}

// Sixteen records with long subjects and a seventeenth whose subject is
// sized so that the list takes extra + 10239 bytes.
struct LimitCase {
    std::vector<std::string> messages;
    std::string list;
};

LimitCase limit_case(size_t extra) {
    auto subject = [](int n, size_t last) { return std::string(n < 17 ? 500 : last, 'q'); };
    auto build = [&](size_t last) {
        LimitCase c;
        for (int n = 1; n <= 17; ++n) {
            c.messages.push_back(message(n, subject(n, last)));
            if (n > 1) c.list += kEscText;
            c.list += record(n, static_cast<int>(c.messages.back().size()), subject(n, last));
        }
        return c;
    };
    for (size_t last = 1; last <= 511; ++last) {
        LimitCase c = build(last);
        if (c.list.size() == static_cast<size_t>(kHostTextLimit - 1) + extra) return c;
    }
    ADD_FAILURE() << "no subject length gives the wanted list size";
    return {};
}

TEST_F(ListMailTest, ListOfExactlyTheHostLimitFits) {
    LimitCase c = limit_case(0);
    logon(std::make_unique<MiniPop3>(c.messages));
    std::string list;
    ASSERT_EQ(listmail(list), 17);
    EXPECT_EQ(list, c.list);
}

TEST_F(ListMailTest, ListOneByteOverTheHostLimitLosesItsLastRecord) {
    LimitCase c = limit_case(1);
    logon(std::make_unique<MiniPop3>(c.messages));
    std::string list;
    ASSERT_EQ(listmail(list), 16);
    EXPECT_EQ(list, c.list.substr(0, c.list.rfind(kEscText + "NMB=17")));
    EXPECT_EQ(host_.count_containing("LISTMAIL: Returning list"), 0);
}

TEST_F(ListMailTest, HugeMailboxListsItsFirstRecords) {
    const int count = 100000;
    logon(std::make_unique<MiniPop3>(count, [](int n) { return message(n); }));
    ASSERT_EQ(s_->mailbox.message_count, count);
    std::string list;
    int listed = listmail(list);
    ASSERT_GT(listed, 30);
    ASSERT_LT(listed, count);
    EXPECT_EQ(list.compare(0, 6, "NMB=1" + kEscText), 0);
    EXPECT_LE(list.size() + 1, static_cast<size_t>(kHostTextLimit));
    EXPECT_EQ(pop_->count_starting("LIST"), listed + 1);
}

TEST_F(ListMailTest, RefusedCommandKeepsTheLogonWhateverTheLastSocketError) {
    auto pop = std::make_unique<MiniPop3>(std::vector<std::string>{message(1), message(2)});
    pop->on_command([](const std::string& command, int fd) {
        if (command == "TOP 2 0\r\n") {
            MiniPop3::send_all(fd, "-ERR busy\r\n");
            return true;
        }
        return false;
    });
    logon(std::move(pop));
    platform::socket_api().set_last_error(10054);  // left over from some earlier failure
    std::string list;
    EXPECT_EQ(listmail(list), -11);
    EXPECT_EQ(list, "");
    EXPECT_TRUE(s_->mailbox.logged_on);
    EXPECT_TRUE(s_->mailbox.states[1].headers_parsed);  // what was learned stays
}

TEST_F(ListMailTest, LostConnectionTearsTheSessionDown) {
    auto pop = std::make_unique<MiniPop3>(std::vector<std::string>{message(1), message(2)});
    pop->on_command([](const std::string& command, int fd) {
        if (command != "LIST 2\r\n") return false;
        ::shutdown(fd, SHUT_RDWR);
        return true;
    });
    logon(std::move(pop));
    std::string list;
    EXPECT_EQ(listmail(list), -9);
    EXPECT_EQ(list, "");
    EXPECT_FALSE(s_->mailbox.logged_on);
    EXPECT_EQ(s_->mailbox.connection.socket(), -1);
    EXPECT_TRUE(host_.has_line("BREVORIN: <F1> NETWORK_ERROR: network error has occurred"));
    EXPECT_EQ(listmail(list), -8);
}

}  // namespace
}  // namespace brevorin

namespace brevorin {
namespace {

// The UIDL answer must name its message: one for another message ends the
// visit before any record could carry the wrong id; a server without UIDL
// leaves the ids empty and the listing goes on.
TEST_F(ListMailTest, UidlAnswersAreCheckedAgainstTheirMessage) {
    struct Case {
        const char* answer;  // to UIDL 2
        int status;
        const char* uidl;
    };
    for (const Case& c :
         {Case{"+OK 2 id-two\r\n", 2, "id-two"}, Case{"-ERR no UIDL here\r\n", 2, ""},
          Case{"+OK 1 id-one\r\n", -9, nullptr}, Case{"+OK 2\r\n", -9, nullptr}}) {
        std::string answer = c.answer;
        auto pop = std::make_unique<MiniPop3>(std::vector<std::string>{message(1), message(2)});
        pop->on_command([answer](const std::string& command, int fd) {
            if (command == "UIDL 1\r\n")
                MiniPop3::send_all(fd, "+OK 1 id-one\r\n");
            else if (command == "UIDL 2\r\n")
                MiniPop3::send_all(fd, answer);
            else
                return false;
            return true;
        });
        ScriptedPeer peer;
        pop->serve_on(peer);
        peer.start();
        MailSession* s = host_.new_session();
        ASSERT_EQ(brevorin_setoption("uidl", "yes", s), 0);
        ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "u", "p", s), 0);
        char* out = nullptr;
        EXPECT_EQ(brevorin_listmail(&out, s), c.status) << c.answer;
        std::string list = out != nullptr ? out : "";
        if (c.uidl != nullptr) {
            EXPECT_NE(list.find(std::string("NMB=2\x1bUIDL=") + c.uidl + "\x1bID="),
                      std::string::npos)
                << list;
            EXPECT_NE(list.find("NMB=1\x1bUIDL=id-one\x1bID="), std::string::npos) << list;
        } else {
            EXPECT_EQ(list.find("UIDL=id-one"), std::string::npos) << list;
            EXPECT_FALSE(s->mailbox.logged_on);
        }
        host_.cleanup(s);
    }
}

}  // namespace
}  // namespace brevorin
