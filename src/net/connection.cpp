#include "net/connection.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/sockets.h"

namespace brevorin {

namespace {

constexpr size_t kReadAhead = 64 * 1024;
constexpr size_t kGatherLimit = 64 * 1024;
constexpr size_t kLargestSend = 1u << 30;

platform::SocketApi& api() {
    return platform::socket_api();
}

unsigned to_ms(unsigned seconds) {
    return seconds > 4000000u ? 4000000000u : seconds * 1000u;
}

}  // namespace

// The socket as a byte transport, each wait for the peer bounded by the
// session's timeout (read at every call, so a change applies at once) and
// by the deadline of the reply being read.
class Connection::SocketTransport final : public platform::RawTransport {
  public:
    SocketTransport(const Context& ctx, int sock, const uint64_t& deadline_ms)
        : ctx_(ctx), sock_(sock), deadline_ms_(deadline_ms) {}

    int recv(char* buffer, int length) override {
        if (!wait(false)) return -1;
        return api().recv(sock_, buffer, length);
    }
    int send(const char* data, int length) override {
        if (!wait(true)) return -1;
        return api().send(sock_, data, length);
    }

  private:
    bool wait(bool for_write) {
        unsigned seconds = ctx_.options.timeout_s;
        if (seconds == 0) return true;
        unsigned ms = to_ms(seconds);
        if (deadline_ms_ != 0) {
            uint64_t now = platform::monotonic_ms();
            if (now >= deadline_ms_) {
                api().set_last_error(platform::kWsaEtimedout);
                return false;
            }
            if (deadline_ms_ - now < ms) ms = static_cast<unsigned>(deadline_ms_ - now);
        }
        return api().wait_ready(sock_, for_write, ms) == 1;
    }

    const Context& ctx_;
    int sock_;
    const uint64_t& deadline_ms_;
};

Connection::Connection(const Context& ctx) : ctx_(ctx) {}

Connection::~Connection() {
    close();
}

bool Connection::open(const char* host, int port) {
    close();
    start_operation();
    if (host == nullptr) return fail(Failure::kResolve, 0);
    std::vector<platform::Endpoint> endpoints;
    uint32_t address = api().inet_addr(host);
    if (address != platform::kInaddrNone) {
        platform::Endpoint literal;
        literal.ipv4 = address;
        literal.port = static_cast<uint16_t>(port);
        endpoints.push_back(literal);
    } else if (api().resolve(host, static_cast<uint16_t>(port), endpoints) != 0) {
        return fail(Failure::kResolve, api().last_error());
    }
    unsigned limit =
        ctx_.options.connect_timeout_s == 0 ? 0 : to_ms(ctx_.options.connect_timeout_s);
    // Every address of the name in the resolver's order (IPv6 and IPv4
    // alike), each attempt bounded by the connect timeout on its own.
    int sock = -1;
    int error = 0;
    bool attempted = false;
    for (const platform::Endpoint& endpoint : endpoints) {
        sock = api().socket_for(endpoint);
        if (sock < 0) {
            error = api().last_error();
            continue;
        }
        attempted = true;
        if (api().connect_endpoint(sock, endpoint, limit) == 0) break;
        error = api().last_error();
        api().shutdown_both(sock);
        api().close(sock);
        sock = -1;
    }
    if (sock < 0) {
        api().set_last_error(error);
        Failure kind = !attempted                         ? Failure::kOther
                       : error == platform::kWsaEtimedout ? Failure::kTimedOut
                                                          : Failure::kConnect;
        return fail(kind, error);
    }
    sock_ = sock;
    transport_ = std::make_unique<SocketTransport>(ctx_, sock, deadline_ms_);
    head_ = tail_ = 0;
    end_reply();
    corked_ = false;
    out_.clear();
    received_ = sent_ = 0;
    payload_ = false;
    payload_received_ = payload_sent_ = 0;
    return true;
}

bool Connection::fail(Failure kind, int code) {
    if (kind == Failure::kOther) {
        switch (code) {
            case platform::kWsaEtimedout:
                kind = Failure::kTimedOut;
                break;
            case platform::kWsaEnotsock:
            case platform::kWsaEnetdown:
            case platform::kWsaEnetreset:
            case platform::kWsaEconnaborted:
            case platform::kWsaEconnreset:
            case platform::kWsaEnotconn:
            case platform::kWsaEshutdown:
            case platform::kWsaEhostunreach:
                kind = Failure::kLost;
                break;
            default:
                break;
        }
    }
    failure_ = kind;
    failure_code_ = code;
    ctx_.note_failure(kind, code);
    return false;
}

int Connection::close() {
    if (sock_ == -1) return 0;
    if (tls_) tls_->shutdown();
    tls_.reset();
    transport_.reset();
    head_ = tail_ = 0;
    out_.clear();
    corked_ = false;
    int sock = sock_;
    sock_ = -1;
    api().shutdown_both(sock);
    return api().close(sock);
}

void Connection::report_progress() const {
    if (ctx_.progress) ctx_.progress(received_, sent_);
}

// Refills an empty read-ahead buffer with one receive. A peer that closes
// counts as a reset connection: the data it owed us will not come.
bool Connection::fill() {
    if (sock_ == -1) return fail(Failure::kLost, platform::kWsaEnotsock);
    if (in_.size() < kReadAhead) in_.resize(kReadAhead);
    head_ = tail_ = 0;
    // A failure that names no error must not be taken for an earlier one.
    api().set_last_error(0);
    int n = tls_ ? tls_->read(in_.data(), static_cast<int>(in_.size()))
                 : transport_->recv(in_.data(), static_cast<int>(in_.size()));
    if (n == 0) return fail(Failure::kLost, platform::kWsaEconnreset);
    if (n < 0) return fail(Failure::kOther, api().last_error());
    tail_ = static_cast<size_t>(n);
    received_ += static_cast<uint64_t>(n);
    if (reply_armed_ && deadline_ms_ == 0) start_deadline();
    report_progress();
    return true;
}

void Connection::start_deadline() {
    unsigned seconds = ctx_.options.timeout_s;
    if (seconds != 0) deadline_ms_ = platform::monotonic_ms() + to_ms(seconds);
}

bool Connection::begin_reply() {
    if (reply_armed_) return false;
    reply_armed_ = true;
    deadline_ms_ = 0;
    // The reply's first bytes may have come with an earlier receive.
    if (buffered() > 0) start_deadline();
    return true;
}

void Connection::end_reply() {
    reply_armed_ = false;
    deadline_ms_ = 0;
}

int Connection::send_all(const char* data, size_t length) {
    if (sock_ == -1) {
        fail(Failure::kLost, platform::kWsaEnotsock);
        return -1;
    }
    size_t total = 0;
    while (total < length) {
        size_t chunk = length - total;
        if (chunk > kLargestSend) chunk = kLargestSend;
        api().set_last_error(0);
        int n = tls_ ? tls_->write(data + total, static_cast<int>(chunk))
                     : transport_->send(data + total, static_cast<int>(chunk));
        if (n <= 0) {
            fail(Failure::kOther, api().last_error());
            return -1;
        }
        total += static_cast<size_t>(n);
        sent_ += static_cast<uint64_t>(n);
    }
    report_progress();
    return 0;
}

int Connection::flush() {
    if (out_.empty()) return 0;
    int rc = send_all(out_.data(), out_.size());
    out_.clear();
    return rc;
}

// Takes bytes up to and including the first line feed, at most room bytes,
// receiving more while neither is reached. The count, or -1.
int Connection::read_piece(char* buffer, int room) {
    if (corked_ && flush() != 0) return -1;
    int stored = 0;
    while (true) {
        if (buffered() == 0 && !fill()) return -1;
        const char* start = in_.data() + head_;
        size_t want = static_cast<size_t>(room - stored);
        size_t avail = buffered() < want ? buffered() : want;
        const void* lf = std::memchr(start, '\n', avail);
        size_t take =
            lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : avail;
        std::memcpy(buffer + stored, start, take);
        head_ += take;
        stored += static_cast<int>(take);
        if (lf != nullptr || stored == room) {
            observe_received(buffer, stored);
            return stored;
        }
    }
}

int Connection::read_line(char* buffer, int size) {
    start_operation();
    if (size < 2) {
        ctx_.diag.print('E', 1, "SOCKREAD: len to small");
        return -1;
    }
    int n = read_piece(buffer, size - 1);
    if (n < 0) return -1;
    buffer[n] = '\0';
    return n;
}

int Connection::read_raw(char* buffer, int size) {
    start_operation();
    if (size < 2) {
        ctx_.diag.print('E', 1, "SOCKREAD: len to small");
        return -1;
    }
    return read_piece(buffer, size);
}

int Connection::read_view(const char*& data, char* buffer, int size) {
    start_operation();
    // Nothing is terminated here: one byte is a valid piece (the last byte
    // of an IMAP literal).
    if (size < 1) {
        ctx_.diag.print('E', 1, "SOCKREAD: len to small");
        return -1;
    }
    if (!corked_ && buffered() > 0) {
        const char* start = in_.data() + head_;
        size_t avail =
            buffered() < static_cast<size_t>(size) ? buffered() : static_cast<size_t>(size);
        const void* lf = std::memchr(start, '\n', avail);
        if (lf != nullptr || avail == static_cast<size_t>(size)) {
            size_t take = lf != nullptr
                              ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1
                              : avail;
            head_ += take;
            data = start;
            observe_received(start, static_cast<int>(take));
            return static_cast<int>(take);
        }
    }
    data = buffer;
    return read_piece(buffer, size);
}

int Connection::write(const char* data, int length) {
    start_operation();
    if (length <= 0 || data == nullptr) {
        conceal_from_ = kNothingConcealed;
        return length == 0 ? 0 : -1;
    }
    if (ctx_.wire != nullptr) observe_sent(data, static_cast<size_t>(length));
    conceal_from_ = kNothingConcealed;
    if (corked_) {
        out_.insert(out_.end(), data, data + length);
        if (out_.size() >= kGatherLimit && flush() != 0) return -1;
        return length;
    }
    return send_all(data, static_cast<size_t>(length)) == 0 ? length : -1;
}

bool Connection::write_text(std::string_view text) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) return false;
    int length = static_cast<int>(text.size());
    return write(text.data(), length) == length;
}

void Connection::observe_sent(const char* data, size_t length) {
    if (payload_) {
        payload_sent_ += length;
        return;
    }
    WireObserver& wire = *ctx_.wire;
    if (conceal_from_ >= length) {
        wire.sent(data, length, false);
        return;
    }
    size_t end = length;
    if (end > conceal_from_ && data[end - 1] == '\n') --end;
    if (end > conceal_from_ && data[end - 1] == '\r') --end;
    if (conceal_from_ > 0) wire.sent(data, conceal_from_, false);
    if (end > conceal_from_) wire.sent(data + conceal_from_, end - conceal_from_, true);
    if (length > end) wire.sent(data + end, length - end, false);
}

void Connection::end_payload() {
    payload_ = false;
    if (ctx_.wire != nullptr) {
        if (payload_sent_ != 0) ctx_.wire->payload(true, payload_sent_);
        if (payload_received_ != 0) ctx_.wire->payload(false, payload_received_);
    }
    payload_sent_ = payload_received_ = 0;
}

int Connection::uncork() {
    start_operation();
    corked_ = false;
    return flush();
}

int Connection::pending(unsigned long* count) const {
    unsigned long waiting = 0;
    if (sock_ == -1 || api().bytes_waiting(sock_, &waiting) != 0) return -1;
    *count = waiting + static_cast<unsigned long>(buffered());
    return 0;
}

platform::TlsHandshake Connection::start_tls(const platform::TlsSettings& settings) {
    start_operation();
    platform::TlsHandshake result;
    result.failure = platform::TlsFailure::kTransport;
    if (sock_ == -1 || tls_) {
        fail(Failure::kTls, platform::kWsaEconnaborted);
        return result;
    }
    head_ = tail_ = 0;
    if (corked_ && flush() != 0) {
        fail(Failure::kTls, failure_code_);
        return result;
    }
    api().set_last_error(0);
    result = platform::tls_client_handshake(*transport_, settings);
    if (result.stream)
        tls_ = std::move(result.stream);
    else
        fail(Failure::kTls,
             api().last_error() != 0 ? api().last_error() : platform::kWsaEconnaborted);
    return result;
}

}  // namespace brevorin
