// brevorin_getmail and brevorin_getrawmail against a scripted POP3 server.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>

#include "api/session.h"
#include "api/tool_support.h"
#include "platform/sockets.h"
#include "support/forwarding_sockets.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

const std::string kHeader =
    "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: Hello\r\n"
    "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <1@example.org>\r\n"
    "X-Priority: 2\r\n";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines of about 100 bytes making a text of exactly size bytes.
std::string text_of(size_t size) {
    std::string text;
    while (text.size() + 100 <= size) text += std::string(98, 'b') + "\r\n";
    if (text.size() < size) text += std::string(size - text.size() - 2, 'c') + "\r\n";
    return text;
}

class Retrieval : public ::testing::Test {
  protected:
    Retrieval() {
        char name[] = "/tmp/brevorin-get-XXXXXX";
        dir = ::mkdtemp(name);
    }
    ~Retrieval() override {
        host.cleanup(session);
        std::string command = "rm -rf '" + dir + "'";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir;
    }

    // The logon dialogue; the test adds the rest of the script.
    void script_logon() {
        peer.send("+OK ready\r\n").read_line().send("+OK\r\n").read_line().send("+OK\r\n");
        peer.read_line().send("+OK 2 400\r\n");
    }
    void script_retr(int n, const std::string& message, size_t size = 300) {
        peer.read_line().send("+OK " + std::to_string(n) + " " + std::to_string(size) + "\r\n");
        peer.read_line().send("+OK message follows\r\n" + message + ".\r\n");
    }
    // Every script ends by answering QUIT, whenever it comes.
    void start() {
        peer.read_until("QUIT\r\n").send("+OK bye\r\n");
        peer.start();
        ASSERT_EQ(brevorin_logonmail(peer.server().c_str(), "user", "pw", session), 0);
    }
    int get(int n, const char* directory = nullptr, int max_size = 0) {
        char *h = nullptr, *b = nullptr, *f = nullptr;
        int rc =
            brevorin_getmail(n, directory ? directory : dir.c_str(), max_size, &h, &b, &f, session);
        header = h ? h : "<null>";
        body = b ? b : "<null>";
        files = f ? f : "<null>";
        return rc;
    }
    // After a failure the connection must still be in step: DELE 2 works.
    void expect_in_step() {
        EXPECT_EQ(brevorin_deletemail(2, session), 0);
        EXPECT_EQ(brevorin_logoffmail(session), 0);
        peer.join();
        auto lines = peer.received_lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "DELE 2\r\n");
    }
    void script_dele() { peer.read_line().send("+OK deleted\r\n"); }

    test::HostFixture host;
    MailSession* session = host.new_session();
    test::ScriptedPeer peer;
    std::string dir;
    std::string header, body, files;
};

TEST_F(Retrieval, GetListsRetrievesAndAnswersTheSecondCallFromTheEntry) {
    script_logon();
    std::string message =
        kHeader +
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b1\r\n\r\n"
        "--b1\r\nContent-Type: text/plain\r\n\r\nHi Bob\r\n"
        "--b1\r\nContent-Type: image/gif\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"p.gif\"\r\n\r\nR0lGODlh\r\n"
        "--b1\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
        "x\r\n--b1--\r\n";
    script_retr(1, message);
    script_dele();
    start();
    ASSERT_EQ(get(1, dir.c_str()), 1);
    EXPECT_EQ(header,
              "ID=<1@example.org>\x1bTO=bob@example.org\x1b"
              "FROM=Ann <ann@example.org>\x1bSUBJECT=Hello\x1b"
              "DATE=Mon, 7 Dec 2026 10:00:00 +0000\x1bPRIORITY=2\x1b"
              "CC=\x1bREPLY=");
    EXPECT_EQ(body, "Hi Bob\r\n");
    EXPECT_EQ(files, "p.gif");
    EXPECT_EQ(read_file(dir + "/p.gif"), "GIF89a");
    EXPECT_TRUE(host.has_line("BREVORIN: <D2> GETMAIL: Size of message: 1 is: 300"));
    EXPECT_TRUE(host.has_line("BREVORIN: <F1> POP3_FETCH: Doing retrieve of number: 1"));

    std::string first_header = header;
    ASSERT_EQ(get(1, dir.c_str()), 0);
    EXPECT_EQ(header, first_header);
    EXPECT_EQ(body, "Hi Bob\r\n");
    EXPECT_EQ(files, "p.gif");
    expect_in_step();
    EXPECT_EQ(peer.received_lines(),
              (std::vector<std::string>{"USER user\r\n", "PASS pw\r\n", "STAT\r\n", "LIST 1\r\n",
                                        "RETR 1\r\n", "DELE 2\r\n", "QUIT\r\n"}));
}

TEST_F(Retrieval, PlainMessageWithUuencodedBlocks) {
    script_logon();
    std::string message = kHeader +
                          "\r\nSee the files.\r\n..dotted\r\n"
                          "begin 644 a.bin\r\n#8V%T\r\n`\r\nend\r\n"
                          "middle\r\n"
                          "begin 600 ../b.bin\r\n#9&]G\r\n`\r\nend\r\n"
                          "bye\r\n";
    script_retr(1, message);
    script_dele();
    start();
    std::string no_separator = dir;
    ASSERT_EQ(get(1, no_separator.c_str()), 0);
    EXPECT_EQ(body, "See the files.\r\n.dotted\r\nmiddle\r\nbye\r\n");
    EXPECT_EQ(files,
              "a.bin\x1b"
              "b.bin");
    EXPECT_EQ(read_file(dir + "/a.bin"), "cat");
    EXPECT_EQ(read_file(dir + "/b.bin"), "dog");
    EXPECT_TRUE(host.has_line("BREVORIN: <F0> POP3_FETCH: Not a MIME encoded message"));
    expect_in_step();
}

TEST_F(Retrieval, FailedUudecodeIsNotListed) {
    script_logon();
    script_retr(1, kHeader +
                       "\r\nbegin 644 a.bin\r\n#8V%T\r\nend\r\n"
                       "begin 644 c.bin\r\n#8V%T\r\n`\r\nend\r\n");
    start();
    ASSERT_EQ(get(1), 1);
    EXPECT_EQ(files, "c.bin");
}

// Messages that overflow a buffer fail, but the rest of the answer is read so
// that the next command gets its own status line.
class Oversized : public Retrieval, public ::testing::WithParamInterface<int> {};

TEST_P(Oversized, FailsAndKeepsTheConnectionInStep) {
    std::string message;
    switch (GetParam()) {
        case 0:  // a text part over the collection buffer
            message = kHeader + "MIME-Version: 1.0\r\n\r\n" + text_of(70000);
            break;
        case 1:  // a plain body over 64000 bytes
            message = kHeader + "\r\n" + text_of(70000);
            break;
        case 2:  // a header over 32768 bytes
            message = kHeader + "X-Long: " + text_of(40000) + "\r\nbody\r\n";
            break;
        case 3:  // an undecodable base64 text
            message = kHeader +
                      "MIME-Version: 1.0\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJ\r\n"
                      "more\r\n";
            break;
    }
    script_logon();
    script_retr(1, message);
    script_dele();
    start();
    EXPECT_EQ(get(1), -11);
    EXPECT_EQ(header, "");
    EXPECT_EQ(body, "");
    EXPECT_EQ(files, "");
    if (GetParam() == 0) {
        EXPECT_TRUE(host.has_line("BREVORIN: <E1> GET_MIME_TEXT: Message too big"));
    }
    EXPECT_EQ(get(1), -7);
    expect_in_step();
}

INSTANTIATE_TEST_SUITE_P(Buffers, Oversized, ::testing::Values(0, 1, 2, 3));

// A header block of exactly size bytes, its empty line included, that
// begins with kHeader and ends with "Cc: last".
std::string header_block_of(size_t size) {
    const std::string tail = "Cc: last\r\n\r\n";
    std::string block = kHeader;
    while (block.size() + 200 + tail.size() <= size)
        block += "X-Pad: " + std::string(91, 'p') + "\r\n";
    block += "X-Pad: " + std::string(size - block.size() - tail.size() - 9, 'q') + "\r\n";
    return block + tail;
}

const std::string kMultipartBody = "--b1\r\nContent-Type: text/plain\r\n\r\nHi Bob\r\n--b1--\r\n";

// Header blocks around the header buffer. Modern rules read a longer one from
// its start, as the listing does, and still decode the body; classic rules
// keep their buffer and refuse.
struct LongHeaderCase {
    const char* name;
    bool modern;
    std::string message;
    int status;
    const char* cc;  // nullptr: no header record
    const char* body;
};

const LongHeaderCase kLongHeaderCases[] = {
    {"FillsTheBuffer", true, header_block_of(32767) + "body\r\n", 0, "last", "body\r\n"},
    {"OneByteOver", true, header_block_of(32768) + "body\r\n", 1, "last", "body\r\n"},
    {"LongFieldThenMimeFields", true,
     kHeader + "X-Long: " + std::string(40000, 'l') +
         "\r\nSubject: after\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed;\r\n boundary=b1\r\n\r\n" +
         kMultipartBody,
     1, "", "Hi Bob"},
    {"ManyFieldsThenMimeFields", true,
     header_block_of(60000).substr(0, 60000 - 2) +
         "Content-Type: multipart/mixed; boundary=b1\r\n\r\n" + kMultipartBody,
     1, "", "Hi Bob"},
    {"ClassicBuffer", false, header_block_of(32767) + "body\r\n", -11, nullptr, ""},
};

class LongHeader : public Retrieval, public ::testing::WithParamInterface<LongHeaderCase> {};

TEST_P(LongHeader, IsReadFromItsStart) {
    const LongHeaderCase& c = GetParam();
    if (c.modern) {
        ASSERT_EQ(brevorin_setoption("mime", "modern", session), 0);
    }
    script_logon();
    script_retr(1, c.message);
    if (c.status >= 0) script_retr(2, kHeader + "\r\nsecond\r\n");
    script_dele();
    start();
    EXPECT_EQ(get(1), c.status);
    bool warned = host.has_line(
        "BREVORIN: <W1> GETMAIL: Header of message 1 longer than 32767 bytes, fields taken from "
        "its start");
    EXPECT_EQ(warned, c.status == 1);
    EXPECT_EQ(body, c.body);
    if (c.cc != nullptr) {
        EXPECT_EQ(header,
                  "ID=<1@example.org>\x1bTO=bob@example.org\x1b"
                  "FROM=Ann <ann@example.org>\x1bSUBJECT=Hello\x1b"
                  "DATE=Mon, 7 Dec 2026 10:00:00 +0000\x1bPRIORITY=4\x1b"
                  "CC=" +
                      std::string(c.cc) + "\x1bREPLY=");
        // The message stays, answered from what was read; the next one is
        // fetched as usual.
        EXPECT_EQ(get(1), 0);
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(get(2), 0);
        EXPECT_EQ(body, "second\r\n");
    } else {
        EXPECT_EQ(header, "");
        EXPECT_EQ(get(1), -7);
    }
    expect_in_step();
}

INSTANTIATE_TEST_SUITE_P(Buffer, LongHeader, ::testing::ValuesIn(kLongHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Retrieval, HostLimitsHandTextsOutWhole) {
    script_logon();
    script_retr(1, kHeader + "\r\n" + text_of(10240));
    script_retr(2, kHeader + "\r\n" + text_of(10239));
    start();
    EXPECT_EQ(get(1), -16);
    EXPECT_EQ(body.size(), 10240u);
    EXPECT_TRUE(host.has_line("BREVORIN: <E1> GETMAIL: TESSERA parameter size exceeded"));
    EXPECT_EQ(get(2), 0);
    EXPECT_EQ(body.size(), 10239u);
}

TEST_F(Retrieval, FileListLimit) {
    // Nine empty uuencoded files whose names and separators make 2047, then
    // 2048 characters.
    auto message_with_names = [](size_t total, char first) {
        std::string message = kHeader + "\r\n";
        size_t names = total - 8;
        for (int i = 0; i < 9; ++i) {
            size_t length = names / 9 + (static_cast<size_t>(i) < names % 9 ? 1 : 0);
            std::string name =
                std::string(1, static_cast<char>(first + i)) + std::string(length - 1, 'n');
            message += "begin 644 " + name + "\r\n`\r\nend\r\n";
        }
        return message;
    };
    script_logon();
    script_retr(1, message_with_names(2047, 'a'));
    script_retr(2, message_with_names(2048, 'j'));
    start();
    EXPECT_EQ(get(1), 0);
    EXPECT_EQ(files.size(), 2047u);
    EXPECT_EQ(get(2), -16);
    EXPECT_EQ(files.size(), 2048u);
}

// A message of exactly size bytes: kHeader, the empty line and a body line.
std::string message_of(size_t size) {
    return kHeader + "\r\n" + std::string(size - kHeader.size() - 4, 'm') + "\r\n";
}

// Empty uuencoded files named a.bin, b.bin and one more.
std::string with_files(const std::string& third) {
    std::string message = kHeader + "\r\n";
    for (const std::string& name : {std::string("a.bin"), std::string("b.bin"), third})
        message += "begin 644 " + name + "\r\n`\r\nend\r\n";
    return message;
}

VisitLimits in_memory(size_t ceiling) {
    VisitLimits limits;
    limits.in_memory_ceiling = ceiling;
    return limits;
}

VisitLimits file_list(size_t length) {
    VisitLimits limits;
    limits.host_file_list = length;
    return limits;
}

// What a retrieval hands out: the raw text, or the decoded body or file list.
enum class Output { kRaw, kBody, kFiles };

// The visit's bounds on what a retrieval keeps for the host, lowered to meet
// them in a few lines. At a bound the call goes as usual; one byte past it,
// it fails as it does past the real one, and then, with the bound raised
// again, the same message is there on the same connection.
struct RetrievalBound {
    const char* name;
    VisitLimits limits;
    Output output;
    std::string message;
    int status;
    std::string handed_out;  // by the call at the bound
    const char* line;        // its report, or nullptr
    std::string whole;       // handed out once the bound is raised
    bool fetched_again;      // by that call, rather than answered from what was kept
};

const RetrievalBound kRetrievalBounds[] = {
    {"raw_text_of_exactly_the_ceiling", in_memory(1050), Output::kRaw, message_of(1050), kOk,
     message_of(1050), nullptr, message_of(1050), true},
    {"raw_text_one_byte_past_the_ceiling", in_memory(1050), Output::kRaw, message_of(1051),
     kOverSizeLimit, "",
     "BREVORIN: <E1> GETRAWMAIL: Message 1 larger than the size limit of 1050 bytes",
     message_of(1051), true},
    {"text_part_of_exactly_the_ceiling", in_memory(1050), Output::kBody,
     kHeader + "MIME-Version: 1.0\r\n\r\n" + text_of(1050), kOk, text_of(1050), nullptr, text_of(1050), false},
    {"text_part_one_byte_past_the_ceiling", in_memory(1050), Output::kBody,
     kHeader + "MIME-Version: 1.0\r\n\r\n" + text_of(1051), kOverSizeLimit, "",
     "BREVORIN: <E1> GETMAIL: Text of message 1 larger than 1050 bytes", text_of(1051), true},
    // The host's bound counts the list's end with its names.
    {"file_list_filling_the_bound", file_list(18), Output::kFiles, with_files("c.bin"), kOk,
     "a.bin\x1b"
     "b.bin\x1b"
     "c.bin",
     nullptr,
     "a.bin\x1b"
     "b.bin\x1b"
     "c.bin",
     false},
    {"file_list_one_byte_longer", file_list(18), Output::kFiles, with_files("cc.bin"), kHostLimit,
     "a.bin\x1b"
     "b.bin\x1b"
     "cc.bin",
     "BREVORIN: <E1> GETMAIL: TESSERA parameter size exceeded",
     "a.bin\x1b"
     "b.bin\x1b"
     "cc.bin",
     false},
};

class RetrievalBounds : public Retrieval, public ::testing::WithParamInterface<RetrievalBound> {
  protected:
    int fetch(Output output, std::string& out) {
        if (output != Output::kRaw) {
            int status = get(1);
            out = output == Output::kBody ? body : files;
            return status;
        }
        char* text = nullptr;
        int status = brevorin_getrawmail(1, 0, &text, session);
        out = text != nullptr ? text : "<null>";
        return status;
    }
};

TEST_P(RetrievalBounds, HoldUpToTheBoundAndLeaveTheVisitGoing) {
    const RetrievalBound& c = GetParam();
    session->mailbox.limits = c.limits;
    script_logon();
    script_retr(1, c.message, c.message.size());
    // The size is known by then: no LIST before this RETR.
    if (c.fetched_again) peer.read_line().send("+OK message follows\r\n" + c.message + ".\r\n");
    script_dele();
    start();
    std::string out;
    EXPECT_EQ(fetch(c.output, out), c.status);
    EXPECT_EQ(out, c.handed_out);
    if (c.line != nullptr) {
        EXPECT_TRUE(host.has_line(c.line)) << host.all_lines();
    } else {
        EXPECT_EQ(host.count_containing("<E1>"), 0) << host.all_lines();
    }
    session->mailbox.limits = VisitLimits{};
    EXPECT_EQ(fetch(c.output, out), kOk);
    EXPECT_EQ(out, c.whole);
    expect_in_step();
    const std::vector<std::string> sent = peer.received_lines();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "RETR 1\r\n"), c.fetched_again ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(Limits, RetrievalBounds, ::testing::ValuesIn(kRetrievalBounds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Retrieval, RefusalsAndSizeLimit) {
    script_logon();
    peer.read_line().send("+OK 1 500\r\n");
    peer.read_line().send("-ERR no such message\r\n");
    start();
    EXPECT_EQ(get(0), -7);
    EXPECT_EQ(get(3), -7);
    EXPECT_EQ(get(1, nullptr, 499), -6);
    EXPECT_EQ(get(1, nullptr, 500), -11);
    EXPECT_EQ(get(1), -7);
    char* text = nullptr;
    EXPECT_EQ(brevorin_getrawmail(0, 0, &text, session), -7);
    EXPECT_STREQ(text, "");
}

TEST_F(Retrieval, RawMessageUnstuffedAndOverTheHostLimit) {
    std::string big = kHeader + "\r\n..stuffed\r\n" + text_of(200000);
    script_logon();
    script_retr(1, big, big.size());
    start();
    char* text = nullptr;
    EXPECT_EQ(brevorin_getrawmail(1, 0, &text, session), -16);
    ASSERT_NE(text, nullptr);
    std::string expected = kHeader + "\r\n.stuffed\r\n" + text_of(200000);
    EXPECT_EQ(std::string(text), expected);
    EXPECT_TRUE(host.has_line("BREVORIN: <F1> POP3_RAWFETCH: Doing retrieve of number: 1"));
}

// The size a server announces only sizes the first block: a server that
// announced too little or too much still gets its message whole, and the
// caller's limit still counts what it sent, not what it announced.
struct RawSizeCase {
    const char* name;
    double announced;  // times the message's size
    double max_size;   // times the message's size; 0: no limit
    int status;        // of getrawmail
};

const RawSizeCase kRawSizeCases[] = {
    {"AnnouncedExactly", 1, 0, -16},
    {"AnnouncedTooLittle", 0.001, 0, -16},
    {"AnnouncedTooMuch", 5, 0, -16},
    {"SentPastTheLimit", 0.001, 0.5, -6},
};

class RawSize : public Retrieval,
                public ::testing::WithParamInterface<std::tuple<RawSizeCase, bool>> {
  protected:
    // Through getrawmail, or through the tool's stream collecting the pieces.
    int raw(int n, int max_size, bool streamed, std::string& text) {
        if (streamed)
            return tool::raw_message_to(session, n, max_size, [&](const char* data, size_t size) {
                text.append(data, size);
                return true;
            });
        char* out = nullptr;
        int rc = brevorin_getrawmail(n, max_size, &out, session);
        text = out ? out : "<null>";
        return rc;
    }
};

TEST_P(RawSize, HandsOutTheMessageAsSent) {
    const RawSizeCase& c = std::get<0>(GetParam());
    const bool streamed = std::get<1>(GetParam());
    const std::string sent = kHeader + "\r\n..stuffed\r\n" + text_of(300000);
    const std::string message = kHeader + "\r\n.stuffed\r\n" + text_of(300000);
    const int max_size = static_cast<int>(c.max_size * message.size());
    script_logon();
    script_retr(1, sent, static_cast<size_t>(c.announced * message.size()));
    script_dele();
    start();
    std::string text;
    int status = raw(1, max_size, streamed, text);
    if (c.status == -6) {
        EXPECT_EQ(status, -6);
        // A stream has given what came before the limit; a host gets nothing.
        if (streamed) {
            EXPECT_EQ(text, message.substr(0, text.size()));
            EXPECT_LE(text.size(), static_cast<size_t>(max_size));
        } else {
            EXPECT_EQ(text, "");
        }
        EXPECT_TRUE(
            host.has_line("BREVORIN: <E1> GETRAWMAIL: Message 1 larger than the size "
                          "limit of " +
                          std::to_string(max_size) + " bytes"));
    } else {
        // -16 is the host's window, which a stream has not.
        EXPECT_EQ(status, streamed ? 0 : c.status);
        EXPECT_EQ(text.size(), message.size());
        EXPECT_TRUE(text == message);
    }
    expect_in_step();
}

INSTANTIATE_TEST_SUITE_P(Announced, RawSize,
                         ::testing::Combine(::testing::ValuesIn(kRawSizeCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Streamed" : "Whole");
                         });

// A writer that takes no more ends the hand-over, not the visit.
TEST_F(Retrieval, StreamStopsAtAWriterThatRefuses) {
    script_logon();
    script_retr(1, kHeader + "\r\n" + text_of(20000));
    script_dele();
    start();
    int calls = 0;
    std::string text;
    EXPECT_EQ(tool::raw_message_to(session, 1, 0,
                                   [&](const char* data, size_t size) {
                                       ++calls;
                                       text.append(data, size);
                                       return false;
                                   }),
              0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(text, kHeader.substr(0, kHeader.find('\n') + 1));
    expect_in_step();
}

TEST_F(Retrieval, DroppedConnectionLogsOff) {
    script_logon();
    peer.read_line().send("+OK 1 300\r\n");
    peer.read_line().send("+OK\r\n" + kHeader + "\r\npart of the bo").close();
    start();
    EXPECT_EQ(get(1), -9);
    char* list = nullptr;
    EXPECT_EQ(brevorin_listmail(&list, session), -8);
}

// Passes everything to the operating system, but once RETR has been sent and
// its status line read, every read times out.
class TimeoutAfterRetr : public test::ForwardingSocketApi {
  public:
    int recv(int s, char* b, int l) override {
        if (retr_sent && reads_after_retr++ > 0) {
            os.set_last_error(platform::kWsaEtimedout);
            return -1;
        }
        return os.recv(s, b, l);
    }
    int send(int s, const char* d, int l) override {
        if (l >= 4 && std::string(d, 4) == "RETR") retr_sent = true;
        return os.send(s, d, l);
    }

    std::atomic<bool> retr_sent{false};
    int reads_after_retr = 0;
};

TEST_F(Retrieval, ReadTimeOutLogsOff) {
    TimeoutAfterRetr api;
    script_logon();
    peer.read_line().send("+OK 1 300\r\n");
    peer.read_line().send("+OK\r\n");
    peer.run([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    peer.send(kHeader + "\r\nbody\r\n.\r\n");
    start();
    platform::set_socket_api(&api);
    EXPECT_EQ(get(1), -4);
    platform::set_socket_api(nullptr);
    char* list = nullptr;
    EXPECT_EQ(brevorin_listmail(&list, session), -8);
}

}  // namespace
}  // namespace brevorin
