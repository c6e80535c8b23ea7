// What a connection tells its observer: the bytes of every command and reply
// line, a credential only as a marked piece, message data only as a size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/session.h"
#include "net/connection.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using test::HostFixture;
using test::ScriptedPeer;

// Writes what it is told as text: a secret piece in brackets, so that a
// test sees exactly where the hidden part begins and ends.
class Recorder final : public WireObserver {
  public:
    void sent(const char* data, size_t n, bool secret) override {
        std::string piece(data, n);
        out += secret ? "[" + piece + "]" : piece;
    }
    void received(const char* data, size_t n) override { in.append(data, n); }
    void payload(bool outgoing, uint64_t bytes) override {
        (outgoing ? out : in) += "<" + std::to_string(bytes) + ">";
    }
    void tls(const char*) override {}
    std::string out;
    std::string in;
};

class WireObserverTest : public ::testing::Test {
  protected:
    void SetUp() override { session_->ctx.wire = &recorder_; }
    Connection& connect(ScriptedPeer& peer) {
        peer.start();
        EXPECT_TRUE(conn_.open("127.0.0.1", peer.port()));
        return conn_;
    }
    HostFixture host_;
    MailSession* session_ = host_.new_session();
    Recorder recorder_;
    Connection conn_{session_->ctx};
};

struct Concealed {
    const char* label;
    std::string line;
    size_t from;
    std::string shown;
};

class ConcealedWrite : public WireObserverTest, public ::testing::WithParamInterface<Concealed> {};

// The hidden part runs to the write's line end, never past it and never
// into the next write; the peer gets every byte regardless.
TEST_P(ConcealedWrite, HidesFromTheMarkToTheLineEndOfThatWriteOnly) {
    const Concealed& c = GetParam();
    ScriptedPeer peer;
    peer.read_line().read_line();
    Connection& conn = connect(peer);
    conn.conceal_next(c.from);
    ASSERT_TRUE(conn.write_text(c.line));
    ASSERT_TRUE(conn.write_text("NOOP\r\n"));
    conn.close();
    peer.join();
    EXPECT_EQ(recorder_.out, c.shown + "NOOP\r\n");
    EXPECT_EQ(peer.received().substr(0, c.line.size()), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConcealedWrite,
    ::testing::Values(Concealed{"Password", "PASS pw\r\n", 5, "PASS [pw]\r\n"},
                      Concealed{"WholeResponse", "cHc=\r\n", 0, "[cHc=]\r\n"},
                      Concealed{"BareLineFeed", "cHc=\n", 0, "[cHc=]\n"},
                      // A literal's marker and data are hidden with it: they go in one write.
                      Concealed{"LiteralPlus", "B1 LOGIN a {2+}\r\npw\r\n", 11,
                                "B1 LOGIN a [{2+}\r\npw]\r\n"},
                      // The empty answer to a challenge holds nothing to hide.
                      Concealed{"EmptyAnswer", "\r\n", 0, "\r\n"},
                      Concealed{"MarkPastTheEnd", "QUIT\r\n", 6, "QUIT\r\n"}),
    [](const ::testing::TestParamInfo<Concealed>& info) { return info.param.label; });

// Inside a payload nothing is told but the sizes, each way, at its end;
// the reply after it is a line again.
TEST_F(WireObserverTest, PayloadIsToldAsItsSizeAlone) {
    ScriptedPeer peer;
    peer.send("+OK 9 octets\r\nsecret\r\n.\r\n").read_until(".\r\n").send("250 ok\r\n");
    Connection& conn = connect(peer);
    char line[64];
    ASSERT_EQ(conn.read_line(line, sizeof line), 14);
    {
        PayloadScope payload(conn);
        ASSERT_EQ(conn.read_line(line, sizeof line), 8);
        const char* view = nullptr;
        ASSERT_EQ(conn.read_view(view, line, sizeof line), 3);
        ASSERT_TRUE(conn.write_text("hidden\r\n.\r\n"));
    }
    ASSERT_EQ(conn.read_line(line, sizeof line), 8);
    conn.close();
    peer.join();
    EXPECT_EQ(recorder_.in, "+OK 9 octets\r\n<11>250 ok\r\n");
    EXPECT_EQ(recorder_.out, "<11>");
}

}  // namespace
}  // namespace brevorin
