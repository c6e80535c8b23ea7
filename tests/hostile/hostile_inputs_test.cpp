// Hostile servers and callers, one test per fault class. Run under
// AddressSanitizer and UndefinedBehaviorSanitizer in CI: none may exhaust
// memory or disk, forge a field, hang, or turn a failure into success.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/tool_support.h"
#include "brevorin.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

// A file system without hard links (FAT, many FUSE and network file
// systems) while set: link() fails as it does there.
static bool g_no_hard_links = false;

extern "C" int link(const char* from, const char* to) {
    if (g_no_hard_links) {
        errno = EPERM;
        return -1;
    }
    return ::linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

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
// dialogue stays in step afterwards. What arrives is counted as LIST counts
// a message (without stuffing dots): a message of exactly the limit passes,
// one byte over is refused, and a refused message stays for a larger limit.
struct LimitCase {
    bool raw;
    const char* name;
};

class HostileLimit : public Hostile, public ::testing::WithParamInterface<LimitCase> {
protected:
    int retrieve(int limit) {
        char *h = nullptr, *b = nullptr, *f = nullptr;
        int rc = GetParam().raw ? brevorin_getrawmail(1, limit, &b, session)
                                : brevorin_getmail(1, dir.c_str(), limit, &h, &b, &f, session);
        text = b != nullptr ? b : "";
        return rc;
    }
    std::string text;
};

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
    EXPECT_EQ(retrieve(1000), BREVORIN_E_TOO_BIG);
    EXPECT_TRUE(files_in_dir().empty()) << "a file past the limit was left: " << files_in_dir()[0];
    EXPECT_EQ(brevorin_deletemail(2, session), 0);
    EXPECT_EQ(brevorin_logoffmail(session), 0);
}

TEST_P(HostileLimit, StuffingDotsDoNotCountAndARefusalKeepsTheMessage) {
    script_logon();
    const std::string message = "From: a@example.org\r\n\r\n.one dot\r\n..two\r\nend\r\n";
    const std::string stuffed = "From: a@example.org\r\n\r\n..one dot\r\n...two\r\nend\r\n";
    const int octets = static_cast<int>(message.size());
    peer.read_line().send("+OK 1 10\r\n");  // LIST claims less: the count alone decides
    for (int i = 0; i < 3; ++i) peer.read_line().send("+OK\r\n" + stuffed + ".\r\n");
    ASSERT_EQ(logon(), 0);
    EXPECT_EQ(retrieve(octets - 1), BREVORIN_E_TOO_BIG);
    // Still there: at exactly its size, and again without a limit.
    EXPECT_EQ(retrieve(octets), 0);
    EXPECT_EQ(text, GetParam().raw ? message : message.substr(message.find("\r\n\r\n") + 4));
    if (GetParam().raw) {
        EXPECT_EQ(retrieve(0), 0);
    }
    EXPECT_EQ(brevorin_logoffmail(session), 0);
}

INSTANTIATE_TEST_SUITE_P(Retrievals, HostileLimit,
                         ::testing::Values(LimitCase{true, "raw"}, LimitCase{false, "decoded"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Attachment files appear under their own names only for a message
// received whole; whatever goes wrong, nothing else is left behind, not
// even a temporary, and a file that could not be written is reported with
// its path.
std::string attachment_message(size_t second_size) {
    auto part = [](const std::string& name, const std::string& data) {
        return "--b\r\nContent-Type: application/octet-stream\r\n"
               "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n" + data + "\r\n";
    };
    std::string second;
    while (second.size() < second_size) second += "0123456789abcdefghijklmnopqrstuvwxyz\r\n";
    return "From: a@example.org\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
           "hi\r\n" + part("a.bin", "first") + part("b.bin", second) + "--b--\r\n";
}

struct FileCase {
    const char* name;
    const char* mime;  // null: the classic walker
    std::function<void(const std::string& dir)> before;  // the directory, the process
    bool cut_short;                                       // the server closes inside b.bin
    rlim_t file_size_limit;                               // 0: none; else a disk that fills
    int status;
    const char* files;  // listed, ESC-separated
    std::vector<std::string> left;  // in the directory afterwards, besides what before made
};

class HostileFiles : public Hostile, public ::testing::WithParamInterface<FileCase> {
protected:
    ~HostileFiles() override {
        g_no_hard_links = false;
        if (limited_) ::setrlimit(RLIMIT_FSIZE, &saved_);
    }
    void limit_file_size(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small{bytes, saved_.rlim_max};
        limited_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    rlimit saved_{};
    bool limited_ = false;
};

TEST_P(HostileFiles, OnlyWholeFilesUnderTheirNames) {
    const FileCase& c = GetParam();
    if (c.mime != nullptr) {
        ASSERT_EQ(brevorin_setoption("mime", c.mime, session), 0);
    }
    if (c.before) c.before(dir);
    std::vector<std::string> made = files_in_dir();
    script_logon();
    std::string message = attachment_message(64 * 1024);
    peer.read_line().send("+OK 1 100000\r\n").read_line();
    if (c.cut_short) {
        peer.send("+OK\r\n" + message.substr(0, message.size() / 2)).close();
    } else {
        peer.send("+OK\r\n" + message + ".\r\n");
        peer.read_line().send("+OK deleted\r\n");
    }
    ASSERT_EQ(logon(), 0);
    if (c.file_size_limit != 0) limit_file_size(c.file_size_limit);
    char *h = nullptr, *b = nullptr, *f = nullptr;
    EXPECT_EQ(brevorin_getmail(1, dir.c_str(), 0, &h, &b, &f, session), c.status);
    if (limited_) ::setrlimit(RLIMIT_FSIZE, &saved_);
    limited_ = false;
    EXPECT_EQ(std::string(f != nullptr ? f : ""), c.files);
    std::vector<std::string> expected = made;
    expected.insert(expected.end(), c.left.begin(), c.left.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_in_dir(), expected);
    if (c.status == BREVORIN_E_NETWORK) {
        EXPECT_EQ(brevorin_getmail(1, dir.c_str(), 0, &h, &b, &f, session), BREVORIN_E_NOT_LOGGED_ON);
        return;
    }
    if (c.status == 2) {
        EXPECT_EQ(host.count_containing("<E1> POP3_PARSE_MIME: Could not write file: " + dir + "/b.bin"), 1)
            << host.all_lines();
    }
    // The dialogue goes on.
    EXPECT_EQ(brevorin_deletemail(2, session), 0);
}

const auto kNoHardLinks = [](const std::string&) { g_no_hard_links = true; };
const auto kNamesAround = [](const std::string& dir) {
    // An editor's backup and a temporary an interrupted run might have left.
    for (const char* name : {"a.bin~", ".brv-000000000000.part"})
        ::close(::open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
};

INSTANTIATE_TEST_SUITE_P(
    Writes, HostileFiles,
    ::testing::Values(
        FileCase{"whole", nullptr, nullptr, false, 0, 0, "a.bin\x1b" "b.bin", {"a.bin", "b.bin"}},
        FileCase{"closedInSecond", nullptr, nullptr, true, 0, BREVORIN_E_NETWORK, "", {}},
        FileCase{"closedInSecondModern", "modern", nullptr, true, 0, BREVORIN_E_NETWORK, "", {}},
        FileCase{"diskFull", "modern", nullptr, false, 16 * 1024, 2, "a.bin", {"a.bin"}},
        FileCase{"noHardLinks", "modern", kNoHardLinks, false, 0, 0, "a.bin\x1b" "b.bin", {"a.bin", "b.bin"}},
        FileCase{"namesAround", nullptr, kNamesAround, false, 0, 0, "a.bin\x1b" "b.bin", {"a.bin", "b.bin"}}),
    [](const auto& info) { return std::string(info.param.name); });

// One message cannot fill a directory: past the limit, parts are skipped.
TEST_F(Hostile, AttachmentCountIsBounded) {
    ASSERT_EQ(brevorin_setoption("mime", "modern", session), 0);
    script_logon();
    std::string message = "From: a@example.org\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < 1002; ++i)
        message += "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
                   "filename=\"p" + std::to_string(i) + "\"\r\n\r\nx\r\n";
    message += "--b--\r\n";
    peer.read_line().send("+OK 1 100000\r\n").read_line().send("+OK\r\n" + message + ".\r\n");
    ASSERT_EQ(logon(), 0);
    char *h = nullptr, *b = nullptr, *f = nullptr;
    // Status 1 for the skipped parts, over-ruled by the file list's length.
    EXPECT_EQ(brevorin_getmail(1, dir.c_str(), 0, &h, &b, &f, session), BREVORIN_E_HOST_LIMIT);
    EXPECT_EQ(files_in_dir().size(), 1000u);
    EXPECT_EQ(host.count_containing("<W1> POP3_PARSE_MIME: More than 1000 attachment files"), 1);
}

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
    const char* mail_reply = "250 ok\r\n";
};

class HostileSmtp : public Hostile, public ::testing::WithParamInterface<SmtpCase> {};

TEST_P(HostileSmtp, OnlySuccessCodesSucceed) {
    const SmtpCase& c = GetParam();
    // A reply the dialogue misreads as unfinished fails in seconds, not at
    // the test runner's limit.
    ASSERT_EQ(brevorin_setoption("timeout", "2", session), 0);
    peer.send("220 ready\r\n").read_line().send("250 hi\r\n").read_line().send(c.mail_reply);
    peer.read_line().send(c.rcpt_reply);
    if (c.final_reply != nullptr) {
        peer.read_line().send("354 go\r\n").read_until(".\r\n").send(c.final_reply);
        if (c.status == 0) peer.read_line().send("221\r\n");
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
                      SmtpCase{"endless", kEndless.c_str(), nullptr, BREVORIN_E_NETWORK},
                      SmtpCase{"mail354", "250 ok\r\n", nullptr, BREVORIN_E_NETWORK, "354 odd\r\n"},
                      SmtpCase{"mail300", "250 ok\r\n", nullptr, BREVORIN_E_NETWORK, "300 odd\r\n"},
                      // A reply line may be its code alone.
                      SmtpCase{"codesOnly", "250\r\n", "250\r\n", 0, "250\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A 3xx reply where no 3xx is success, from a server that goes on as if
// all were well: only the library's own judgement can fail the call.
struct PlayAlongCase {
    const char* name;
    int odd_step;  // 0 MAIL, 1 RCPT, 2 the end of the data
    const char* reply;
};

class HostileSmtpPlaysAlong : public Hostile,
                              public ::testing::WithParamInterface<PlayAlongCase> {};

TEST_P(HostileSmtpPlaysAlong, ThreeHundredIsNoSuccess) {
    const PlayAlongCase& c = GetParam();
    ASSERT_EQ(brevorin_setoption("timeout", "2", session), 0);
    auto reply = [&c](int step) { return step == c.odd_step ? c.reply : "250 ok\r\n"; };
    peer.send("220 ready\r\n").read_line().send("250 hi\r\n");
    peer.read_line().send(reply(0)).read_line().send(reply(1));
    peer.read_line().send("354 go\r\n").read_until(".\r\n").send(reply(2));
    peer.read_line().send("221 bye\r\n");
    peer.start();
    int rc = brevorin_sendmail(peer.server().c_str(),
                               "TO=b@example.org\x1b"
                               "FROM=a@example.org",
                               "text\r\n", "", 0, session);
    EXPECT_EQ(rc, BREVORIN_E_NETWORK);
    EXPECT_EQ(tool::last_failure(session).kind, Failure::kReply);
}

INSTANTIATE_TEST_SUITE_P(Replies, HostileSmtpPlaysAlong,
                         ::testing::Values(PlayAlongCase{"mail354", 0, "354 go on\r\n"},
                                           PlayAlongCase{"mail399", 0, "399 odd\r\n"},
                                           PlayAlongCase{"rcpt300", 1, "300 odd\r\n"},
                                           PlayAlongCase{"rcpt354", 1, "354 go on\r\n"},
                                           PlayAlongCase{"final354", 2, "354 again\r\n"},
                                           PlayAlongCase{"final399", 2, "399 odd\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that answers with what cannot be read is told apart from one
// that could not be reached or went away: the caller learns what happened.
// Each bound is met exactly (accepted) and passed by one (refused), and the
// session after a refusal is the one a broken connection leaves.
struct UnreadableCase {
    const char* name;
    bool imap;
    std::string greeting;
    std::vector<std::string> replies;  // one per line read
    int status;
    Failure kind;
};

class HostileUnreadable : public Hostile, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(HostileUnreadable, ReplyFailureIsRecordedAsSuch) {
    const UnreadableCase& c = GetParam();
    ASSERT_EQ(brevorin_setoption("timeout", "2", session), 0);
    if (c.imap) {
        ASSERT_EQ(brevorin_setoption("protocol", "imap", session), 0);
        ASSERT_EQ(brevorin_setoption("allow_plaintext_auth", "yes", session), 0);
    }
    peer.send(c.greeting);
    for (const std::string& r : c.replies) peer.read_line().send(r);
    peer.start();
    int rc = c.imap ? brevorin_logonmail(peer.server().c_str(), "user", "pw", session)
                    : brevorin_sendmail(peer.server().c_str(),
                                        "TO=b@example.org\x1b"
                                        "FROM=a@example.org",
                                        "text\r\n", "", 0, session);
    EXPECT_EQ(rc, c.status);
    EXPECT_EQ(tool::last_failure(session).kind, c.kind);
    if (c.imap && c.status != 0) {
        EXPECT_EQ(brevorin_deletemail(1, session), BREVORIN_E_NOT_LOGGED_ON);
    }
    // The next call starts with a clean record.
    EXPECT_EQ(brevorin_sendmail("127.0.0.1+1",
                                "TO=b@example.org\x1b"
                                "FROM=a@example.org",
                                "x", "", 0, session),
              BREVORIN_E_NETWORK);
    EXPECT_EQ(tool::last_failure(session).kind, Failure::kConnect);
}

std::string imap_atom_greeting(size_t length) {
    return "* OK [CAPABILITY IMAP4rev1] ready\r\n* " + std::string(length, 'A') + "\r\n";
}

const std::vector<std::string> kImapLogon = {
    "B1 OK [CAPABILITY IMAP4rev1] in\r\n",
    "* 1 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nB2 OK [READ-WRITE] selected\r\n",
    "* 1 FETCH (UID 5 RFC822.SIZE 10)\r\nB3 OK done\r\n"};

INSTANTIATE_TEST_SUITE_P(
    Replies, HostileUnreadable,
    ::testing::Values(
        UnreadableCase{
            "smtpGreetingWords", false, "hello there\r\n", {}, BREVORIN_E_NETWORK, Failure::kReply},
        UnreadableCase{"smtpGreetingShortCode",
                       false,
                       "25 short\r\n",
                       {},
                       BREVORIN_E_NETWORK,
                       Failure::kReply},
        UnreadableCase{"smtpRcptShortCode",
                       false,
                       "220 hi\r\n",
                       {"250 hi\r\n", "250 ok\r\n", "25 short\r\n"},
                       BREVORIN_E_NETWORK,
                       Failure::kReply},
        UnreadableCase{"smtpLineAtLimit",
                       false,
                       "220 hi\r\n",
                       {"250 hi\r\n", "250 " + std::string(16 * 1024 - 6, 'x') + "\r\n",
                        "250 ok\r\n", "354 go\r\n"},
                       BREVORIN_E_NETWORK,
                       Failure::kLost},
        UnreadableCase{"smtpLinePastLimit",
                       false,
                       "220 hi\r\n",
                       {"250 hi\r\n", "250 " + std::string(16 * 1024 - 5, 'x') + "\r\n"},
                       BREVORIN_E_NETWORK,
                       Failure::kReply},
        UnreadableCase{
            "smtpHangsUp", false, "220 hi\r\n", {"250 hi\r\n"}, BREVORIN_E_NETWORK, Failure::kLost},
        UnreadableCase{"imapAtomAtLimit", true, imap_atom_greeting(8192), kImapLogon, 0,
                       Failure::kNone},
        UnreadableCase{"imapAtomPastLimit", true, imap_atom_greeting(8193), kImapLogon,
                       BREVORIN_E_NETWORK, Failure::kReply}),
    [](const auto& info) { return std::string(info.param.name); });

// No server holds a call longer than a small multiple of the timeout: a
// reply must end within the timeout after its first byte, and a reply line
// that never ends is cut off by its length.
struct StallCase {
    const char* name;
    std::string greeting;
    size_t chunk;
    int pause_ms;
    const char* line;  // the E1 line that says why, if any
};

class HostileStall : public Hostile, public ::testing::WithParamInterface<StallCase> {};

TEST_P(HostileStall, ReplyEndsWithinTheTimeout) {
    const StallCase& c = GetParam();
    ASSERT_EQ(brevorin_setoption("timeout", "1", session), 0);
    peer.send_slowly(c.greeting, c.chunk, std::chrono::milliseconds(c.pause_ms))
        .run([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); });
    peer.start();
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(brevorin_logonmail(peer.server().c_str(), "user", "pw", session), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
    EXPECT_EQ(brevorin_deletemail(1, session), BREVORIN_E_NOT_LOGGED_ON);
    if (c.line != nullptr) {
        EXPECT_EQ(host.count_containing(c.line), 1) << host.all_lines();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Greetings, HostileStall,
    // Each byte within the timeout, the whole greeting not.
    ::testing::Values(StallCase{"dribbled", "+OK " + std::string(10, 'x') + "\r\n", 1, 250, nullptr},
                      StallCase{"endlessLine", "+OK " + std::string(40000, 'x'), 40000, 0,
                                "<E1> SOCKREAD: Reply line longer than 16384 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

// An IMAP server that never ends what it started, or declares more than it
// may: the call ends within a small multiple of the timeout (1 s here), the
// visit is over, and the next call says so. The peer gives up after 4 s, so
// a client that waits for it fails the time bound instead of hanging.
struct ImapHangCase {
    const char* name;
    bool at_logon;       // else in getmail 2 (UID 11) with a limit of 1,000
    std::string before;  // sent at once
    std::string stream;  // then repeated (each byte after pause_ms when set)
    int pause_ms;
    uint64_t stream_bytes;  // 0: until the client goes or 4 s are over
    std::string after;
    int status;
    const char* line;  // the E1 line that says why, if any
};

class HostileImap : public Hostile, public ::testing::WithParamInterface<ImapHangCase> {};

// Writes bytes of piece, over and over, until the client closes, limit
// bytes went out or time is over: 4 s for an endless stream, more for a
// bounded one, which a slow (sanitized) client must be able to read whole.
void stream_to(int fd, const std::string& piece, int pause_ms, uint64_t limit) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::seconds(limit == 0 ? 4 : 60);
    std::string block;
    while (pause_ms == 0 && block.size() < 64 * 1024) block += piece;
    uint64_t sent = 0;
    size_t at = 0;
    while (std::chrono::steady_clock::now() < end && (limit == 0 || sent < limit)) {
        size_t n = pause_ms > 0 ? 1 : block.size();
        if (limit != 0 && n > limit - sent) n = static_cast<size_t>(limit - sent);
        const char* data = pause_ms > 0 ? &piece[at++ % piece.size()] : block.data();
        ssize_t put = ::send(fd, data, n, MSG_NOSIGNAL);
        if (put <= 0) return;
        sent += static_cast<uint64_t>(put);
        if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
}

TEST_P(HostileImap, EndsTheVisitWithinTheTimeout) {
    const ImapHangCase& c = GetParam();
    const std::string message = "Subject: s\r\n\r\nbody\r\n";
    ASSERT_EQ(brevorin_setoption("protocol", "imap", session), 0);
    ASSERT_EQ(brevorin_setoption("allow_plaintext_auth", "yes", session), 0);
    ASSERT_EQ(brevorin_setoption("timeout", "1", session), 0);
    peer.send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
        .read_line()
        .send("B1 OK [CAPABILITY IMAP4rev1] in\r\n")
        .read_line()
        .send("* 3 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nB2 OK [READ-WRITE] sel\r\n")
        .read_line();
    if (!c.at_logon) {
        peer.send("* 1 FETCH (UID 10 RFC822.SIZE 30)\r\n* 2 FETCH (UID 11 RFC822.SIZE " +
                  std::to_string(message.size()) +
                  ")\r\n* 3 FETCH (UID 12 RFC822.SIZE 30)\r\nB3 OK done\r\n")
            .read_line();
    }
    peer.send(c.before)
        .run([&c](int fd) { stream_to(fd, c.stream, c.pause_ms, c.stream_bytes); })
        .send(c.after);
    if (c.status == BREVORIN_E_TOO_BIG) peer.read_line().send("B5 OK stored\r\n");
    peer.start();
    auto start = std::chrono::steady_clock::now();
    int status = brevorin_logonmail(peer.server().c_str(), "user", "pw", session);
    if (!c.at_logon) {
        ASSERT_EQ(status, 0) << host.all_lines();
        start = std::chrono::steady_clock::now();
        char *h = nullptr, *b = nullptr, *f = nullptr;
        status = brevorin_getmail(2, dir.c_str(), 1000, &h, &b, &f, session);
    }
    EXPECT_EQ(status, c.status) << host.all_lines();
    // A call that would hang ends within about the timeout; one that reads
    // 64 MiB through takes what the machine needs.
    if (c.status != BREVORIN_E_TOO_BIG) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    }
    if (c.status == BREVORIN_E_TOO_BIG) {
        // Read through in step: the next command reads its own answer.
        EXPECT_EQ(brevorin_deletemail(3, session), 0);
    } else {
        EXPECT_EQ(brevorin_deletemail(1, session), BREVORIN_E_NOT_LOGGED_ON);
    }
    if (c.line != nullptr) {
        EXPECT_EQ(host.count_containing(c.line), 1) << host.all_lines();
    }
}

const char* const kTooMany = "<E1> IMAP: Too many untagged responses, connection closed";
const char* const kTooLong = "<E1> IMAP: Response too long, connection closed";
const uint64_t kCeiling = 64u * 1024 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Imap, HostileImap,
    ::testing::Values(
        ImapHangCase{"flagChangesWithoutEndAtLogon", true, "", "* 1 FETCH (FLAGS (\\Seen))\r\n", 0,
                     0, "", BREVORIN_E_NETWORK, kTooMany},
        ImapHangCase{"flagChangesWithoutEndInGet", false, "", "* 1 FETCH (FLAGS (\\Seen))\r\n", 0,
                     0, "", BREVORIN_E_NETWORK, kTooMany},
        ImapHangCase{"hugeLiteralOfAnotherUid", false,
                     "* 3 FETCH (UID 12 BODY[] {9999999999999999}\r\n", "x\r\n", 0, 0, "",
                     BREVORIN_E_NETWORK, kTooLong},
        ImapHangCase{"hugeLiteralOfTheHeader", false,
                     "* 2 FETCH (UID 11 BODY[HEADER] {9999999999999999}\r\n", "x\r\n", 0, 0, "",
                     BREVORIN_E_NETWORK, kTooLong},
        ImapHangCase{"hugeLiteralOfAnUnknownItem", false,
                     "* 2 FETCH (UID 11 X-UNKNOWN {9999999999999999}\r\n", "x\r\n", 0, 0, "",
                     BREVORIN_E_NETWORK, kTooLong},
        ImapHangCase{"blanksWithoutEnd", false, "* ", " ", 0, 0, "", BREVORIN_E_NETWORK, kTooLong},
        ImapHangCase{"fetchLineDripped", false, "", "* 2 FETCH (FLAGS (\\Seen)) ", 200, 0, "",
                     BREVORIN_E_TIMEOUT, nullptr},
        ImapHangCase{"responseWordDripped", false, "* 2 ", "FETCH", 200, 0, "", BREVORIN_E_TIMEOUT,
                     nullptr},
        // The message asked for, declared far beyond its size and any limit.
        ImapHangCase{"literalFarOverTheLimit", false,
                     "* 2 FETCH (UID 11 BODY[] {1000000000000000}\r\n", "x\r\n", 0, 0, "",
                     BREVORIN_E_NETWORK,
                     "<E1> IMAP: Message 2 sent as 1000000000000000 bytes instead of 20, "
                     "connection closed"},
        // Up to the in-memory ceiling a literal over the limit is read
        // through; one byte more ends the visit before a byte is read.
        ImapHangCase{"literalOfTheCeilingIsReadThrough", false,
                     "* 2 FETCH (UID 11 BODY[] {" + std::to_string(kCeiling) + "}\r\n", "x\r\n", 0,
                     kCeiling, ")\r\nB4 OK done\r\n", BREVORIN_E_TOO_BIG,
                     "<E1> GETMAIL: Message 2 larger than the size limit of 1000 bytes"},
        ImapHangCase{"literalOneOverTheCeiling", false,
                     "* 2 FETCH (UID 11 BODY[] {" + std::to_string(kCeiling + 1) + "}\r\n", "x\r\n",
                     0, kCeiling + 1, ")\r\nB4 OK done\r\n", BREVORIN_E_NETWORK,
                     "<E1> IMAP: Message 2 sent as 67108865 bytes instead of 20, connection "
                     "closed"}),
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
