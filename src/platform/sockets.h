// The operating system's sockets, seen through the Windows Sockets 1.1
// calls the library needs. On Windows this is Winsock itself; elsewhere POSIX
// sockets stand behind it and report Windows Sockets error numbers.
//
// Tests may put their own SocketApi in place (set_socket_api) to inject
// failures such as a read time-out that a real peer cannot produce on demand.
#pragma once

#include <cstdint>
#include <vector>

namespace brevorin::platform {

// Windows Sockets error numbers the library looks at.
constexpr int kWsaEintr = 10004;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEnetdown = 10050;
constexpr int kWsaEnetunreach = 10051;
constexpr int kWsaEnetreset = 10052;
constexpr int kWsaEafnosupport = 10047;
constexpr int kWsaEconnaborted = 10053;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEshutdown = 10058;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;
constexpr int kWsaEhostunreach = 10065;
constexpr int kWsaHostNotFound = 11001;

constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;

// One address a server name stands for, with the port to reach it on.
struct Endpoint {
    bool ipv6 = false;
    uint32_t ipv4 = 0;  // network byte order
    unsigned char ipv6_address[16] = {};
    uint32_t scope = 0;
    uint16_t port = 0;
};

class SocketApi {
  public:
    virtual ~SocketApi() = default;
    // WSAStartup: 0 or an error number; *version gets the layer's version word.
    virtual int startup(uint16_t requested, uint16_t* version) = 0;
    virtual int cleanup() = 0;
    // inet_addr: the address in network byte order, or kInaddrNone.
    virtual uint32_t inet_addr(const char* host) = 0;
    // gethostbyname: 0 with the first address (network order) and its length, or -1.
    virtual int gethostbyname(const char* host, uint32_t* address, int* length) = 0;
    virtual int socket_stream() = 0;  // AF_INET, SOCK_STREAM, 0; -1 on failure
    virtual int connect(int sock, uint32_t address, uint16_t port) = 0;  // 0 or -1
    virtual int recv(int sock, char* buffer, int length) = 0;            // count, 0 at end, -1
    virtual int send(int sock, const char* data, int length) = 0;  // count or -1; never SIGPIPE
    virtual int shutdown_both(int sock) = 0;
    virtual int close(int sock) = 0;                                // 0 or non-zero
    virtual int bytes_waiting(int sock, unsigned long* count) = 0;  // FIONREAD: 0 or -1
    virtual int gethostname(char* name, int length) = 0;            // 0 or -1
    virtual int last_error() = 0;
    virtual void set_last_error(int code) = 0;

    // Waits until sock can be read (or written): 1 ready, 0 when timeout_ms
    // passed (last error 10060), -1 on failure. A layer without waits (a
    // test's) reports ready at once.
    virtual int wait_ready(int /*sock*/, bool /*for_write*/, unsigned /*timeout_ms*/) { return 1; }
    // connect, giving up after timeout_ms (last error 10060).
    virtual int connect_within(int sock, uint32_t address, uint16_t port, unsigned /*timeout_ms*/) {
        return connect(sock, address, port);
    }
    // Every address of host, of any family the system has, in the order
    // the resolver gives: 0, or -1 with the last error set. The first IPv4
    // address of gethostbyname where the system offers nothing better.
    virtual int resolve(const char* host, uint16_t port, std::vector<Endpoint>& out);
    // A stream socket for the endpoint's family (-1 on failure), and its
    // connection, bounded by timeout_ms unless that is 0.
    virtual int socket_for(const Endpoint& endpoint);
    virtual int connect_endpoint(int sock, const Endpoint& endpoint, unsigned timeout_ms);
};

// The operating system's implementation.
SocketApi& os_socket_api();

// A process that is being stopped (the command-line tool on Ctrl-C) asks
// every wait and transfer to give up (last error 10004), so that the call in
// progress fails and cleans up after itself: its attachment temporaries are
// removed on the way out. Safe to call from a signal handler.
void request_interrupt();
bool interrupt_requested();

// The implementation in use; tests may replace it (null restores the OS one).
SocketApi& socket_api();
void set_socket_api(SocketApi* api);

}  // namespace brevorin::platform
