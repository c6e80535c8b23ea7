// One connection to a mail server, owned by the POP3 visit or the SMTP
// sending that opened it. It holds the socket, the read-ahead buffer, the
// gathered writes and, once started, the TLS stream: every byte the line
// engine reads or writes passes through the byte stream in use, so TLS sits
// between the socket and the lines without the protocols seeing it.
//
// Each connection owns a read-ahead buffer, so a line costs one system call
// per block rather than a peek and a receive per line. The readers still hand
// out exactly one line per call (or a piece of a longer one) and never a byte
// of the next line; what is buffered counts as waiting to be read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/context.h"
#include "platform/sockets.h"
#include "platform/tls.h"

namespace brevorin {

class Connection {
  public:
    explicit Connection(const Context& ctx);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects to host (dotted IPv4 or a name) and port; false with the
    // socket error set. Bounded by the connect timeout when one is set.
    bool open(const char* host, int port);
    bool is_open() const { return sock_ != -1; }
    int socket() const { return sock_; }
    // Shuts down and closes; the close's result (0 on success, also when
    // nothing was open).
    int close();

    // One line into buffer, at most size - 1 bytes, terminated; the byte
    // count (terminator not counted) or -1.
    int read_line(char* buffer, int size);
    // One line into buffer, at most size bytes, not terminated; the count or -1.
    int read_raw(char* buffer, int size);
    // The same without a copy where the read-ahead holds the whole piece:
    // data then points into it, valid until the next read. Otherwise the
    // piece is gathered into buffer (size bytes) and data points there.
    int read_view(const char*& data, char* buffer, int size);
    // Writes all of data; length, 0 for an empty write, or -1.
    int write(const char* data, int length);
    bool write_text(std::string_view text);

    // The next write carries a credential from byte from to its line end:
    // a transcript shows it starred out.
    void conceal_next(size_t from) { conceal_from_ = from; }
    // Between the two, what moves is message data: a transcript is told
    // only its size, when it ends.
    void begin_payload() { payload_ = true; }
    void end_payload();

    // Gathering of writes: while corked, write collects data and sends it in
    // large blocks; a failed send shows as -1 from the write or uncork that
    // triggered it. uncork sends what is left: 0 or -1.
    void cork() { corked_ = true; }
    int uncork();

    // Bytes waiting to be read: the read-ahead buffer plus the socket's.
    int pending(unsigned long* count) const;
    size_t buffered() const { return tail_ - head_; }

    // Starts TLS on the open socket. Whatever was read ahead is dropped
    // first: bytes a server sent before the handshake are never taken for
    // protected data.
    platform::TlsHandshake start_tls(const platform::TlsSettings& settings);
    bool secure() const { return tls_ != nullptr; }

    // A reply must end within the timeout after its first byte: each wait
    // alone is bounded by the timeout, so a server sending one byte before
    // each wait runs out would otherwise hold the call for ever.
    // begin_reply arms the bound (true) unless an outer reply holds it;
    // end_reply disarms it.
    bool begin_reply();
    void end_reply();

    const Context& context() const { return ctx_; }

    // What the last read or write met (kNone when it succeeded), and the
    // socket error number that told; open and start_tls note theirs too.
    Failure failure() const { return failure_; }
    int failure_code() const { return failure_code_; }
    // The peer said more than the protocol allows: what follows cannot be
    // read in step, so the connection counts as lost.
    void abandon() { fail(Failure::kLost, platform::kWsaEconnaborted); }
    // A failure that leaves the connection unusable: lost, timed out, or
    // TLS that could not be set up.
    bool broken() const {
        return failure_ == Failure::kLost || failure_ == Failure::kTimedOut ||
               failure_ == Failure::kTls;
    }

  private:
    class SocketTransport;

    bool fill();
    // Notes a failure of kind (or, for kOther, the one the socket error
    // number names); false.
    bool fail(Failure kind, int code);
    void start_operation() {
        failure_ = Failure::kNone;
        failure_code_ = 0;
    }
    int send_all(const char* data, size_t length);
    int flush();
    int read_piece(char* buffer, int room);
    void report_progress() const;
    void start_deadline();
    void observe_sent(const char* data, size_t length);
    void observe_received(const char* data, int length) {
        if (ctx_.wire == nullptr || length <= 0) return;
        if (payload_)
            payload_received_ += static_cast<uint64_t>(length);
        else
            ctx_.wire->received(data, static_cast<size_t>(length));
    }

    const Context& ctx_;
    int sock_ = -1;
    std::unique_ptr<SocketTransport> transport_;
    std::unique_ptr<platform::TlsStream> tls_;
    std::vector<char> in_;  // read-ahead block; in_[head_, tail_) is not handed out yet
    size_t head_ = 0;
    size_t tail_ = 0;
    bool corked_ = false;
    std::vector<char> out_;  // gathered writes
    uint64_t received_ = 0;
    uint64_t sent_ = 0;
    bool reply_armed_ = false;
    uint64_t deadline_ms_ = 0;  // 0: none
    Failure failure_ = Failure::kNone;
    int failure_code_ = 0;
    static constexpr size_t kNothingConcealed = SIZE_MAX;
    size_t conceal_from_ = kNothingConcealed;
    bool payload_ = false;
    uint64_t payload_received_ = 0;
    uint64_t payload_sent_ = 0;
};

// Message data for the scope's length (Connection::begin_payload).
class PayloadScope {
  public:
    explicit PayloadScope(Connection& connection) : connection_(connection) {
        connection_.begin_payload();
    }
    ~PayloadScope() { connection_.end_payload(); }
    PayloadScope(const PayloadScope&) = delete;
    PayloadScope& operator=(const PayloadScope&) = delete;

  private:
    Connection& connection_;
};

}  // namespace brevorin
