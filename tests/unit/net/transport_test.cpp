// The line readers over the read-ahead buffer must behave exactly like
// reading one line per call straight from the socket.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "api/session.h"
#include "net/connection.h"
#include "net/data_lines.h"
#include "platform/sockets.h"
#include "support/forwarding_sockets.h"
#include "support/host_fixture.h"
#include "support/scripted_peer.h"

namespace brevorin {
namespace {

using namespace std::chrono_literals;
using test::HostFixture;
using test::ScriptedPeer;

class TransportTest : public ::testing::Test {
protected:
    Connection& connect(ScriptedPeer& peer) {
        peer.start();
        EXPECT_TRUE(conn_.open("127.0.0.1", peer.port()));
        return conn_;
    }
    HostFixture host_;
    MailSession* session_ = host_.new_session();
    // Declared after the session whose context it borrows, so it goes first.
    Connection conn_{session_->ctx};
};

TEST_F(TransportTest, TwoLinesInOneSegmentComeOneAtATime) {
    ScriptedPeer peer;
    peer.send("+OK first\r\n-ERR second\r\n");
    Connection& sock = connect(peer);
    char buf[516];
    EXPECT_EQ(sock.read_line(buf, 513), 11);
    EXPECT_STREQ(buf, "+OK first\r\n");
    EXPECT_EQ(sock.read_line(buf, 513), 13);
    EXPECT_STREQ(buf, "-ERR second\r\n");
    sock.close();
}

TEST_F(TransportTest, LongLineComesInPiecesOfTheRoom) {
    ScriptedPeer peer;
    peer.send(std::string(598, 'a') + "\r\n");
    Connection& sock = connect(peer);
    char buf[516];
    EXPECT_EQ(sock.read_line(buf, 513), 512);
    EXPECT_EQ(std::strlen(buf), 512u);
    EXPECT_EQ(sock.read_line(buf, 513), 88);
    EXPECT_EQ(std::string(buf), std::string(86, 'a') + "\r\n");
    sock.close();
}

TEST_F(TransportTest, RawReadOfExactlyTheSizeWritesNoTerminator) {
    ScriptedPeer peer;
    peer.send(std::string(2046, 'b') + "\r\nnext\r\n");
    Connection& sock = connect(peer);
    char buf[2049];
    buf[2048] = 'Z';
    EXPECT_EQ(sock.read_raw(buf, 2048), 2048);
    EXPECT_EQ(buf[2048], 'Z');
    EXPECT_EQ(sock.read_raw(buf, 2048), 6);
    EXPECT_EQ(std::string(buf, 6), "next\r\n");
    sock.close();
}

TEST_F(TransportTest, TooSmallSizesAreRefusedWithoutReading) {
    ScriptedPeer peer;
    peer.send("x\r\n");
    Connection& sock = connect(peer);
    char buf[4];
    EXPECT_EQ(sock.read_line(buf, 1), -1);
    EXPECT_EQ(sock.read_raw(buf, 0), -1);
    EXPECT_EQ(host_.count_containing("BREVORIN: <E1> SOCKREAD: len to small"), 2);
    EXPECT_EQ(sock.read_line(buf, 4), 3);  // nothing was consumed
    sock.close();
}

TEST_F(TransportTest, PeerClosingMidLineFailsTheRead) {
    ScriptedPeer peer;
    peer.send("half a li").close();
    Connection& sock = connect(peer);
    char buf[516];
    EXPECT_EQ(sock.read_line(buf, 513), -1);
    // A lost connection reads as a reset, which the POP3 layer treats as a
    // network failure.
    EXPECT_EQ(sock.failure(), Failure::kLost);
    EXPECT_EQ(sock.failure_code(), 10054);
    // The next operation starts clean: its own outcome is what it reports.
    EXPECT_EQ(sock.write("x", 0), 0);
    EXPECT_EQ(sock.failure(), Failure::kNone);
    sock.close();
}

TEST_F(TransportTest, SlowPeerStillGivesWholeLines) {
    ScriptedPeer peer;
    peer.send_slowly("+OK slow line\r\n.\r\n", 3, 5ms);
    Connection& sock = connect(peer);
    char buf[516];
    EXPECT_EQ(sock.read_line(buf, 513), 15);
    EXPECT_STREQ(buf, "+OK slow line\r\n");
    EXPECT_EQ(sock.read_line(buf, 513), 3);
    sock.close();
}

TEST_F(TransportTest, BytesWaitingCountsWhatIsBuffered) {
    ScriptedPeer peer;
    peer.send("one\r\ntwo\r\n");
    Connection& sock = connect(peer);
    char buf[516];
    sock.read_line(buf, 513);
    unsigned long waiting = 0;
    ASSERT_EQ(sock.pending(&waiting), 0);
    EXPECT_EQ(waiting, 5u);
    sock.read_line(buf, 513);
    ASSERT_EQ(sock.pending(&waiting), 0);
    EXPECT_EQ(waiting, 0u);
    sock.close();
}

TEST_F(TransportTest, WritesGoOutWholeAndEmptyWriteSendsNothing) {
    ScriptedPeer peer;
    peer.read_line();
    Connection& sock = connect(peer);
    EXPECT_EQ(sock.write("", 0), 0);
    std::string big(300000, 'q');
    big += "\r\n";
    EXPECT_EQ(sock.write(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    sock.close();
    peer.join();
    EXPECT_EQ(peer.received(), big);
}

TEST_F(TransportTest, CorkedWritesArriveInOrder) {
    ScriptedPeer peer;
    peer.read_until("end\r\n");
    Connection& sock = connect(peer);
    sock.cork();
    std::string expect;
    for (int i = 0; i < 5000; ++i) {
        std::string line = "line " + std::to_string(i) + "\r\n";
        EXPECT_EQ(sock.write(line.data(), static_cast<int>(line.size())),
                  static_cast<int>(line.size()));
        expect += line;
    }
    sock.write("end\r\n", 5);
    expect += "end\r\n";
    EXPECT_EQ(sock.uncork(), 0);
    sock.close();
    peer.join();
    EXPECT_EQ(peer.received(), expect);
}

TEST_F(TransportTest, WritingToAClosedPeerFailsWithoutSignal) {
    ScriptedPeer peer;
    peer.close();
    Connection& sock = connect(peer);
    peer.join();
    // Without MSG_NOSIGNAL this would kill the test process with SIGPIPE.
    std::string data(1 << 16, 'x');
    int rc = 0;
    for (int i = 0; i < 50 && rc != -1; ++i)
        rc = sock.write(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(rc, -1);
    int error = sock.failure_code();
    EXPECT_TRUE(error == 10054 || error == 10053) << error;
    EXPECT_EQ(sock.failure(), Failure::kLost);
    sock.close();
}

TEST_F(TransportTest, RefusedConnectionKeepsTheConnectError) {
    int port;
    {
        ScriptedPeer closed_port;  // bound, then released: nothing listens there
        port = closed_port.port();
    }
    EXPECT_FALSE(conn_.open("127.0.0.1", port));
    EXPECT_EQ(conn_.failure(), Failure::kConnect);
    EXPECT_EQ(conn_.failure_code(), 10061);
}

// Records whether the resolver was asked.
class ResolverSpy : public test::ForwardingSocketApi {
public:
    int lookups = 0;
    int gethostbyname(const char* h, uint32_t* a, int* l) override {
        ++lookups;
        return os.gethostbyname(h, a, l);
    }
};

TEST_F(TransportTest, DottedAddressSkipsTheResolverNamesUseIt) {
    ResolverSpy spy;
    platform::set_socket_api(&spy);
    ScriptedPeer a;
    a.start();
    Connection& sock = conn_;
    EXPECT_TRUE(sock.open("127.0.0.1", a.port()));
    EXPECT_EQ(spy.lookups, 0);
    sock.close();
    ScriptedPeer b;
    b.start();
    EXPECT_TRUE(sock.open("localhost", b.port()));
    EXPECT_EQ(spy.lookups, 1);
    sock.close();
    EXPECT_FALSE(sock.open("no-such-host.invalid", 1));
    EXPECT_EQ(sock.failure(), Failure::kResolve);
    EXPECT_GE(sock.failure_code(), 11001);
    platform::set_socket_api(nullptr);
}

class DataLinesTest : public TransportTest {};

TEST_F(DataLinesTest, UnstuffsAndStopsAtTheEndLine) {
    ScriptedPeer peer;
    peer.send("a\r\n..dot\r\n.\r\n+OK next\r\n");
    Connection& sock = connect(peer);
    DataLineReader reader(sock);
    ASSERT_EQ(reader.next(), LineSource::Next::kLine);
    EXPECT_EQ(std::string(reader.data(), reader.size()), "a\r\n");
    ASSERT_EQ(reader.next(), LineSource::Next::kLine);
    EXPECT_EQ(std::string(reader.data(), reader.size()), ".dot\r\n");
    EXPECT_EQ(std::string(reader.raw(), reader.raw_size()), "..dot\r\n");
    EXPECT_EQ(reader.next(), LineSource::Next::kEnd);
    EXPECT_EQ(reader.next(), LineSource::Next::kEnd);  // nothing more is read
    char buf[516];
    EXPECT_EQ(sock.read_line(buf, 513), 10);
    sock.close();
}

TEST_F(DataLinesTest, PieceOfALongLineIsNeverTheEndLine) {
    // A line of 2048 bytes without its line end, then ".\r\n" finishing it:
    // the second piece continues the line and must not end the answer.
    ScriptedPeer peer;
    peer.send(std::string(2048, 'x') + ".\r\n" + ".\r\n");
    Connection& sock = connect(peer);
    DataLineReader reader(sock);
    ASSERT_EQ(reader.next(), LineSource::Next::kLine);
    EXPECT_EQ(reader.raw_size(), 2048);
    ASSERT_EQ(reader.next(), LineSource::Next::kLine);
    EXPECT_FALSE(reader.starts_line());
    EXPECT_EQ(std::string(reader.data(), reader.size()), ".\r\n");
    EXPECT_EQ(reader.next(), LineSource::Next::kEnd);
    sock.close();
}

TEST_F(DataLinesTest, DrainReadsToTheEndAndReportsFailures) {
    ScriptedPeer peer;
    peer.send("x\r\ny\r\n.\r\n+OK\r\npartial").close();
    Connection& sock = connect(peer);
    DataLineReader reader(sock);
    EXPECT_EQ(reader.drain(), LineSource::Next::kEnd);
    char buf[516];
    EXPECT_EQ(sock.read_line(buf, 513), 5);
    DataLineReader second(sock);
    EXPECT_EQ(second.drain(), LineSource::Next::kFailed);
    sock.close();
}

// A socket layer whose reads time out, as a stalled server does.
class TimingOutSockets : public test::ForwardingSocketApi {
public:
    int recv(int, char*, int) override {
        os.set_last_error(10060);
        return -1;
    }
};

TEST_F(DataLinesTest, TimeOutIsReportedAsSuch) {
    ScriptedPeer peer;
    Connection& sock = connect(peer);
    TimingOutSockets timing_out;
    platform::set_socket_api(&timing_out);
    DataLineReader reader(sock);
    EXPECT_EQ(reader.next(), LineSource::Next::kTimedOut);
    platform::set_socket_api(nullptr);
    sock.close();
}

}  // namespace
}  // namespace brevorin
