// Connects to HOST PORT, runs the TLS client handshake of whichever backend
// this build has, sends a payload and expects it echoed back unchanged.
//
//   tls_probe HOST PORT [--ca FILE] [--no-verify] [--name NAME] [--bytes N]
//             [--greeting TEXT]
//
// --name: the name to verify (default HOST); --bytes: payload size (default:
// one short line), sent in pieces, each read back before the next goes out;
// --greeting: what the server sends first, unasked.
// Prints "OK <backend>" or "FAIL <reason> <detail>"; exit status 0 on OK.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/tls.h"

using namespace brevorin::platform;

namespace {

class SocketTransport final : public RawTransport {
public:
    explicit SocketTransport(int sock) : sock_(sock) {}
    int recv(char* buffer, int length) override { return socket_api().recv(sock_, buffer, length); }
    int send(const char* data, int length) override { return socket_api().send(sock_, data, length); }

private:
    int sock_;
};

int fail(const char* reason, const std::string& detail) {
    std::printf("FAIL %s %s\n", reason, detail.c_str());
    return 1;
}

int connect_to(const std::string& host, int port) {
    uint16_t version = 0;
    if (socket_api().startup(0x0101, &version) != 0) return -1;
    uint32_t address = socket_api().inet_addr(host.c_str());
    if (address == kInaddrNone) {
        int length = 0;
        if (socket_api().gethostbyname(host.c_str(), &address, &length) != 0) return -1;
    }
    int sock = socket_api().socket_stream();
    if (sock < 0) return -1;
    if (socket_api().connect(sock, address, static_cast<uint16_t>(port)) != 0) {
        socket_api().close(sock);
        return -1;
    }
    return sock;
}

// Reads exactly length bytes in small, odd-sized reads so that plaintext
// is left over inside the stream between calls.
bool read_exactly(TlsStream& stream, char* buffer, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
        int want = static_cast<int>(length - got < 3001 ? length - got : 3001);
        int n = stream.read(buffer + got, want);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tls_probe HOST PORT [--ca FILE] [--no-verify] [--name NAME] [--bytes N] "
                     "[--greeting TEXT]\n");
        return 2;
    }
    const std::string host = argv[1];
    const int port = std::atoi(argv[2]);
    TlsSettings settings;
    settings.host = host;
    std::size_t bytes = 0;
    std::string greeting;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--no-verify") {
            settings.verify_chain = settings.verify_host = false;
        } else if (arg == "--ca" && i + 1 < argc) {
            settings.ca_file = argv[++i];
        } else if (arg == "--name" && i + 1 < argc) {
            settings.host = argv[++i];
        } else if (arg == "--bytes" && i + 1 < argc) {
            bytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--greeting" && i + 1 < argc) {
            greeting = argv[++i];
        } else {
            std::fprintf(stderr, "tls_probe: unknown argument %s\n", argv[i]);
            return 2;
        }
    }

    int sock = connect_to(host, port);
    if (sock < 0) return fail("connect", std::to_string(socket_api().last_error()));
    SocketTransport transport(sock);
    TlsHandshake hs = tls_client_handshake(transport, settings);
    if (!hs.stream) {
        socket_api().close(sock);
        return fail(describe(hs.failure), hs.detail);
    }

    if (!greeting.empty()) {
        std::string got(greeting.size(), '\0');
        if (!read_exactly(*hs.stream, &got[0], got.size())) return fail("read", "no greeting");
        if (got != greeting) return fail("data", "greeting was " + got);
    }

    std::string payload;
    if (bytes == 0) {
        payload = "hello over tls\r\n";
    } else {
        payload.resize(bytes);
        for (std::size_t i = 0; i < bytes; ++i) {
            payload[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
        }
    }
    // Pieces bigger than a TLS record and not a multiple of one, so that
    // the echo arrives as split records and several records per recv.
    const std::size_t piece = 70001;
    std::vector<char> echo(piece);
    for (std::size_t done = 0; done < payload.size();) {
        std::size_t n = payload.size() - done < piece ? payload.size() - done : piece;
        if (hs.stream->write(payload.data() + done, static_cast<int>(n)) != static_cast<int>(n)) {
            return fail("write", std::to_string(socket_api().last_error()));
        }
        if (!read_exactly(*hs.stream, echo.data(), n)) {
            return fail("read", "echo short at " + std::to_string(done));
        }
        if (std::memcmp(echo.data(), payload.data() + done, n) != 0) {
            return fail("data", "echo differs in bytes " + std::to_string(done) + "+");
        }
        done += n;
    }
    hs.stream->shutdown();
    hs.stream.reset();
    socket_api().close(sock);
    std::printf("OK %s\n", tls_backend_name());
    return 0;
}
