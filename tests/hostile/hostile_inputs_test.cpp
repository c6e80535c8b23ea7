// Hostile servers and callers, one test per fault class. Run under
// AddressSanitizer and UndefinedBehaviorSanitizer in CI: none may exhaust
// memory or disk, forge a field, hang, or turn a failure into success.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brevorin.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace brevorin {
namespace {

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<std::string> split_record(const std::string& record) {
    std::vector<std::string> items;
    size_t start = 0;
    while (true) {
        size_t end = record.find('\x1b', start);
        items.push_back(record.substr(start, end - start));
        if (end == std::string::npos) return items;
        start = end + 1;
    }
}

class Hostile : public ::testing::Test {
protected:
    ~Hostile() override { host.cleanup(session); }
    void script_logon(const std::string& stat = "+OK 2 400\r\n") {
        peer.send("+OK ready\r\n").read_line().send("+OK\r\n").read_line().send("+OK\r\n");
        peer.read_line().send(stat);
    }
    int logon() {
        peer.read_until("QUIT\r\n").send("+OK bye\r\n");
        peer.start();
        return brevorin_logonmail(peer.server().c_str(), "user", "pw", session);
    }
    std::vector<std::string> files_in_dir() const { return scratch.names(); }

    test::HostFixture host;
    MailSession* session = host.new_session();
    test::ScriptedPeer peer;
    test::TempDir scratch;
    std::string dir = scratch.path();
};

// The message table must not be sized by whatever count a server claims.
struct StatCase {
    const char* reply;
    int status;
};

class HostileStat : public Hostile, public ::testing::WithParamInterface<StatCase> {};

TEST_P(HostileStat, CountIsRefusedOrCheap) {
    script_logon(GetParam().reply);
    long before = peak_rss_kib();
    EXPECT_EQ(logon(), GetParam().status);
    EXPECT_LT(peak_rss_kib() - before, 200L * 1024) << "logon cost more than 200 MB";
    if (GetParam().status != 0) {
        EXPECT_NE(host.all_lines().find("<E1> LOGONMAIL: Refused: server claims"), std::string::npos)
            << host.all_lines();
        EXPECT_EQ(brevorin_deletemail(1, session), BREVORIN_E_NOT_LOGGED_ON);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, HostileStat,
                         ::testing::Values(StatCase{"+OK 10000000 0\r\n", 0},
                                           StatCase{"+OK 2147483647 0\r\n", BREVORIN_E_NO_TABLE},
                                           StatCase{"+OK 2147483648 0\r\n", BREVORIN_E_NO_TABLE},
                                           StatCase{"+OK 4294967297 0\r\n", BREVORIN_E_NO_TABLE},
                                           StatCase{"+OK -1 0\r\n", BREVORIN_E_NO_TABLE}));

// No value of the header record may add an item of its own.
TEST_F(Hostile, HeaderRecordValuesCannotForgeItems) {
    script_logon();
    std::string message =
        "From: x\x1b" "FROM=ceo@bank.example\r\n"
        "Subject: =?UTF-8?B?G0ZST009ZXZpbEBiYW5rLmV4YW1wbGU=?=\r\n"  // ESC "FROM=evil@..."
        "To: =?ISO-2022-JP?B?GyRCJEgbKEI=?=\r\n\r\nbody\r\n";
    peer.read_line().send("+OK 1 300\r\n");
    peer.read_line().send("+OK\r\n" + message + ".\r\n");
    ASSERT_EQ(logon(), 0);
    char *h = nullptr, *b = nullptr, *f = nullptr;
    ASSERT_GE(brevorin_getmail(1, dir.c_str(), 0, &h, &b, &f, session), 0);
    std::vector<std::string> items = split_record(h);
    ASSERT_EQ(items.size(), 8u) << h;
    int from_items = 0;
    for (const std::string& item : items) from_items += item.rfind("FROM=", 0) == 0 ? 1 : 0;
    EXPECT_EQ(from_items, 1);
    EXPECT_EQ(items[2], "FROM=xFROM=ceo@bank.example");
}

// A size limit holds against what arrives, whatever LIST claimed, and the
// dialogue stays in step afterwards.
struct LimitCase {
    bool raw;
    const char* name;
};

class HostileLimit : public Hostile, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(HostileLimit, LimitHoldsAgainstBytesReceived) {
    script_logon();
    std::string attachment;
    for (int i = 0; i < 2000; ++i) attachment += "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB\r\n";
    std::string message =
        "From: a@example.org\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
        "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"big.bin\"\r\n\r\n" +
        attachment + "--b--\r\n";
    peer.read_line().send("+OK 1 10\r\n");  // LIST lies
    peer.read_line().send("+OK\r\n" + message + ".\r\n");
    peer.read_line().send("+OK deleted\r\n");
    ASSERT_EQ(logon(), 0);
    char *h = nullptr, *b = nullptr, *f = nullptr;
    int rc = GetParam().raw ? brevorin_getrawmail(1, 1000, &b, session)
                            : brevorin_getmail(1, dir.c_str(), 1000, &h, &b, &f, session);
    EXPECT_EQ(rc, BREVORIN_E_TOO_BIG);
    EXPECT_TRUE(files_in_dir().empty()) << "a file past the limit was left: " << files_in_dir()[0];
    EXPECT_EQ(brevorin_deletemail(2, session), 0);
    EXPECT_EQ(brevorin_logoffmail(session), 0);
}

INSTANTIATE_TEST_SUITE_P(Retrievals, HostileLimit,
                         ::testing::Values(LimitCase{true, "raw"}, LimitCase{false, "decoded"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A header block beyond the listing's buffer costs that message its tail,
// not the whole listing.
TEST_F(Hostile, OversizedHeaderIsListedFromItsStart) {
    script_logon();
    std::string received;
    for (int i = 0; i < 1200; ++i) received += "Received: from relay" + std::to_string(i) + " by mx\r\n";
    peer.read_line().send("+OK 1 50000\r\n");
    peer.read_line().send("+OK\r\nFrom: a@example.org\r\nSubject: long\r\n" + received + "\r\n.\r\n");
    peer.read_line().send("+OK 2 100\r\n");
    peer.read_line().send("+OK\r\nFrom: b@example.org\r\nSubject: short\r\n\r\n.\r\n");
    ASSERT_EQ(logon(), 0);
    char* list = nullptr;
    EXPECT_EQ(brevorin_listmail(&list, session), 2);
    EXPECT_NE(std::string(list).find("SUBJECT=long"), std::string::npos);
    EXPECT_NE(std::string(list).find("SUBJECT=short"), std::string::npos);
    EXPECT_EQ(host.count_containing("<W1> POP3_TOP: Header of message 1 longer than"), 1);
}

// SMTP: only the codes that mean success at each step count as success.
struct SmtpCase {
    const char* name;
    const char* rcpt_reply;
    const char* final_reply;
    int status;
};

class HostileSmtp : public Hostile, public ::testing::WithParamInterface<SmtpCase> {};

TEST_P(HostileSmtp, OnlySuccessCodesSucceed) {
    const SmtpCase& c = GetParam();
    peer.send("220 ready\r\n").read_line().send("250 hi\r\n").read_line().send("250 ok\r\n");
    peer.read_line().send(c.rcpt_reply);
    if (c.final_reply != nullptr) {
        peer.read_line().send("354 go\r\n").read_until(".\r\n").send(c.final_reply);
    }
    peer.start();
    int rc = brevorin_sendmail(peer.server().c_str(), "TO=b@example.org\x1b" "FROM=a@example.org",
                               "text\r\n", "", 0, session);
    EXPECT_EQ(rc, c.status);
}

std::string endless_continuation() {
    std::string lines;
    for (int i = 0; i < 1500; ++i) lines += "250-more\r\n";
    return lines;
}

const std::string kEndless = endless_continuation();

INSTANTIATE_TEST_SUITE_P(
    Replies, HostileSmtp,
    ::testing::Values(SmtpCase{"rcpt199", "199 odd\r\n", nullptr, BREVORIN_E_NETWORK},
                      SmtpCase{"rcpt354", "354 odd\r\n", nullptr, BREVORIN_E_NETWORK},
                      SmtpCase{"rcpt25", "25 short\r\n", nullptr, BREVORIN_E_NETWORK},
                      SmtpCase{"rcpt0", "0 zero\r\n", nullptr, BREVORIN_E_NETWORK},
                      SmtpCase{"rcptWord", "abc\r\n", nullptr, BREVORIN_E_NETWORK},
                      SmtpCase{"rcptRefused", "550 no\r\n", nullptr, BREVORIN_E_REFUSED},
                      SmtpCase{"final354", "250 ok\r\n", "354 again\r\n", BREVORIN_E_NETWORK},
                      SmtpCase{"finalRefused", "250 ok\r\n", "554 no\r\n", BREVORIN_E_REFUSED},
                      SmtpCase{"endless", kEndless.c_str(), nullptr, BREVORIN_E_NETWORK}),
    [](const auto& info) { return std::string(info.param.name); });

// Attachment paths that are not regular files are refused before any read:
// /dev/zero would fill the disk, a FIFO would block for ever.
class HostileAttachment : public Hostile, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostileAttachment, NonRegularFileIsRefused) {
    std::string path = GetParam();
    if (path == "fifo") {
        path = dir + "/fifo";
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    int rc = brevorin_sendmail("127.0.0.1+1", "TO=b@example.org\x1b" "FROM=a@example.org", "text",
                               path.c_str(), 0, session);
    EXPECT_EQ(rc, BREVORIN_E_ATTACH_OPEN);
    EXPECT_EQ(host.count_containing("<E1> PARSE_ATT_LIST: Refused: not a regular file: " + path), 1)
        << host.all_lines();
}

INSTANTIATE_TEST_SUITE_P(Paths, HostileAttachment, ::testing::Values("/dev/zero", "fifo", "/tmp"));

}  // namespace
}  // namespace brevorin
