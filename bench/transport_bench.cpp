// Reads a dot-terminated stream line by line through the transport, as the
// POP3 retrieval does, and reports the rate. "peek" mode reads the same
// stream the textbook way (peek, find the line feed, receive that much) for
// comparison.
//
//   transport_bench HOST PORT [buffered|peek]
// The peer (bench/stream_peer.py) starts sending when it reads "GO\r\n".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/data_lines.h"
#include "net/connection.h"
#include "platform/sockets.h"

#if defined(_WIN32)
#include <winsock.h>
#else
#include <sys/socket.h>
#endif

namespace {

// One line per call with a peek and a receive per piece, straight on the socket.
int peek_read_line(int sock, char* buffer, int size) {
    int stored = 0;
    while (stored < size) {
        int n = ::recv(sock, buffer + stored, size - stored, MSG_PEEK);
        if (n <= 0) return -1;
        const void* lf = std::memchr(buffer + stored, '\n', static_cast<size_t>(n));
        int take = lf ? static_cast<int>(static_cast<const char*>(lf) - (buffer + stored)) + 1 : n;
        int got = ::recv(sock, buffer + stored, take, 0);
        if (got != take) return -1;
        stored += got;
        if (lf) break;
    }
    return stored;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brevorin;
    if (argc < 3) {
        std::fprintf(stderr, "usage: transport_bench HOST PORT [buffered|peek]\n");
        return 2;
    }
    bool peek = argc > 3 && std::strcmp(argv[3], "peek") == 0;
    uint16_t version = 0;
    platform::socket_api().startup(0x0101, &version);
    Context ctx;
    Connection connection(ctx);
    if (!connection.open(argv[1], std::atoi(argv[2]))) {
        std::fprintf(stderr, "cannot connect: %d\n", connection.failure_code());
        return 1;
    }
    int sock = connection.socket();
    auto start = std::chrono::steady_clock::now();
    connection.write_text("GO\r\n");
    long long lines = 0, bytes = 0;
    if (peek) {
        char buf[kLineCapacity];
        while (true) {
            int n = peek_read_line(sock, buf, kLineCapacity);
            if (n < 0) return 1;
            if (n == 3 && std::memcmp(buf, ".\r\n", 3) == 0) break;
            ++lines;
            bytes += n;
        }
    } else {
        DataLineReader reader(connection);
        LineSource::Next r;
        while ((r = reader.next()) == LineSource::Next::kLine) {
            ++lines;
            bytes += reader.size();
        }
        if (r != LineSource::Next::kEnd) return 1;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    connection.close();
    std::printf("mode=%s lines=%lld bytes=%lld seconds=%.3f MBps=%.1f\n", peek ? "peek" : "buffered",
                lines, bytes, seconds, bytes / seconds / 1e6);
    return 0;
}
