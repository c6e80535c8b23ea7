#include "net/transport.h"

#include <cstring>
#include <map>
#include <vector>

#include "platform/sockets.h"

namespace brevorin {

namespace {

constexpr size_t kReadAhead = 64 * 1024;
constexpr size_t kGatherLimit = 64 * 1024;

struct Connection {
    std::vector<char> in;  // read-ahead block; in[head, tail) is not handed out yet
    size_t head = 0;
    size_t tail = 0;
    bool corked = false;
    std::vector<char> out;  // gathered writes
};

// Per-socket state; sockets that the transport did not open get an entry on
// first use.
std::map<int, Connection>& connections() {
    static std::map<int, Connection> table;
    return table;
}

Connection& connection_of(int sock) { return connections()[sock]; }

platform::SocketApi& api() { return platform::socket_api(); }

size_t buffered(const Connection& c) { return c.tail - c.head; }

// Refills an empty read-ahead buffer with one receive. A peer that closes
// counts as a reset connection: the data it owed us will not come.
bool fill(int sock, Connection& c) {
    if (c.in.size() < kReadAhead) c.in.resize(kReadAhead);
    c.head = c.tail = 0;
    int n = api().recv(sock, c.in.data(), static_cast<int>(c.in.size()));
    if (n <= 0) {
        if (n == 0) api().set_last_error(platform::kWsaEconnreset);
        return false;
    }
    c.tail = static_cast<size_t>(n);
    return true;
}

int send_all(int sock, const char* data, size_t length) {
    size_t total = 0;
    while (total < length) {
        size_t chunk = length - total;
        if (chunk > 1u << 30) chunk = 1u << 30;
        int n = api().send(sock, data + total, static_cast<int>(chunk));
        if (n <= 0) return -1;
        total += static_cast<size_t>(n);
    }
    return 0;
}

int flush(int sock, Connection& c) {
    if (c.out.empty()) return 0;
    int rc = send_all(sock, c.out.data(), c.out.size());
    c.out.clear();
    return rc;
}

// Takes bytes up to and including the first line feed, at most room bytes,
// receiving more while neither is reached. The count, or -1.
int read_line_piece(int sock, char* buffer, int room, const MailSession* /*session*/) {
    Connection& c = connection_of(sock);
    if (c.corked && flush(sock, c) != 0) return -1;
    int stored = 0;
    while (true) {
        if (buffered(c) == 0 && !fill(sock, c)) return -1;
        const char* start = c.in.data() + c.head;
        size_t want = static_cast<size_t>(room - stored);
        size_t avail = buffered(c) < want ? buffered(c) : want;
        const void* lf = std::memchr(start, '\n', avail);
        size_t take = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1
                                    : avail;
        std::memcpy(buffer + stored, start, take);
        c.head += take;
        stored += static_cast<int>(take);
        if (lf != nullptr || stored == room) return stored;
    }
}

}  // namespace

int sock_open(const char* host, int port) {
    if (host == nullptr) return -1;
    uint32_t address = api().inet_addr(host);
    if (address == platform::kInaddrNone) {
        int length = 0;
        if (api().gethostbyname(host, &address, &length) != 0) return -1;
        if (length != 4 && length != 8) {
            api().set_last_error(0);
            return -1;
        }
    }
    int sock = api().socket_stream();
    if (sock < 0) return -1;
    if (api().connect(sock, address, static_cast<uint16_t>(port)) != 0) {
        int error = api().last_error();
        api().shutdown_both(sock);
        api().close(sock);
        api().set_last_error(error);
        return -1;
    }
    connections().erase(sock);
    connection_of(sock);
    return sock;
}

int sock_read_line(int sock, char* buffer, int size, const MailSession* session) {
    if (size < 2) {
        diag_print(session, 'E', 1, "SOCKREAD: len to small");
        return -1;
    }
    int n = read_line_piece(sock, buffer, size - 1, session);
    if (n < 0) return -1;
    buffer[n] = '\0';
    return n;
}

int sock_read_raw(int sock, char* buffer, int size, const MailSession* session) {
    if (size < 2) {
        diag_print(session, 'E', 1, "SOCKREAD: len to small");
        return -1;
    }
    return read_line_piece(sock, buffer, size, session);
}

int sock_write(int sock, const char* data, int length) {
    if (length == 0) return 0;
    if (length < 0 || data == nullptr) return -1;
    Connection& c = connection_of(sock);
    if (c.corked) {
        c.out.insert(c.out.end(), data, data + length);
        if (c.out.size() >= kGatherLimit && flush(sock, c) != 0) return -1;
        return length;
    }
    return send_all(sock, data, static_cast<size_t>(length)) == 0 ? length : -1;
}

int sock_close(int sock) {
    connections().erase(sock);
    api().shutdown_both(sock);
    return api().close(sock);
}

int sock_pending(int sock, unsigned long* count) {
    unsigned long waiting = 0;
    if (api().bytes_waiting(sock, &waiting) != 0) return -1;
    auto it = connections().find(sock);
    *count = waiting + (it != connections().end() ? buffered(it->second) : 0);
    return 0;
}

int sock_error() { return api().last_error(); }

void sock_set_error(int code) { api().set_last_error(code); }

void sock_cork(int sock) { connection_of(sock).corked = true; }

int sock_uncork(int sock) {
    Connection& c = connection_of(sock);
    c.corked = false;
    return flush(sock, c);
}

int sockets_startup(uint16_t* version) { return api().startup(0x0101, version); }

int sockets_cleanup() { return api().cleanup(); }

}  // namespace brevorin
