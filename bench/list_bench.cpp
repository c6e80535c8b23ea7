// Times the listing of a whole mailbox after logon.
//
//   list_bench library HOST+PORT USER PASSWORD_FILE ROUNDS
//   list_bench bare    HOST+PORT USER PASSWORD_FILE ROUNDS
//
// library: brevorin_listmail until every message has been listed. One call
// lists what fits in a host text (a few dozen records), so between calls the
// messages already listed are marked as gone in the session's table; that
// is local only, nothing is deleted on the server. Every message costs the
// library its LIST and TOP round trips and the header extraction.
// bare: the same LIST n / TOP n 0 round trips on a plain socket, reading each
// answer to its end without looking at it.
//
// Prints one "round=I seconds=S" line per round and "median=S messages=N".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "api/session.h"
#include "brevorin.h"
#include "net/connection.h"
#include "platform/sockets.h"
#include "net/server_address.h"
#include "platform/sleep.h"
#include "pop3/session.h"

#if defined(_WIN32)
#include <winsock.h>
#else
#include <sys/socket.h>
#endif

namespace {

using namespace brevorin;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode, server, user, password;
    int rounds = 5;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The messages just listed are taken out of the table so that the next call
// goes on with the ones after them. (The message that did not fit any more
// has been fetched too, but it was not listed: it stays.)
void forget_listed(const char* list, MailSession* session) {
    for (const char* p = std::strstr(list, "NMB="); p != nullptr;
         p = std::strstr(p + 1, "\x1bNMB=")) {
        int n = std::atoi(p + (*p == '\x1b' ? 5 : 4));
        if (n >= 1 && static_cast<size_t>(n) < session->mailbox.states.size())
            session->mailbox.states[n].present = false;
    }
}

// Seconds for listing the whole mailbox, or a negative value on failure.
double library_round(const Options& o, int& messages) {
    MailSession* session = nullptr;
    if (brevorin_init(&session) < 1 || session == nullptr) return -1;
    double elapsed = -1;
    if (brevorin_logonmail(o.server.c_str(), o.user.c_str(), o.password.c_str(), session) == 0) {
        messages = session->mailbox.message_count;
        int listed = 0;
        auto start = Clock::now();
        while (true) {
            char* list = nullptr;
            int status = brevorin_listmail(&list, session);
            if (status < 0) std::fprintf(stderr, "listing failed: %d\n", status);
            if (status <= 0) break;
            listed += status;
            forget_listed(list, session);
        }
        elapsed = seconds_since(start);
        if (listed != messages) {
            std::fprintf(stderr, "listed %d of %d messages\n", listed, messages);
            elapsed = -1;
        }
    }
    brevorin_cleanup(session);
    return elapsed;
}

class BareConnection {
  public:
    explicit BareConnection(brevorin::Connection& connection)
        : connection_(connection), sock_(connection.socket()) {}

    bool command(const std::string& line) { return connection_.write_text(line); }

    // Reads until the received text ends with terminator; the text stays in
    // reply() (each answer is read whole before the next command is sent).
    bool read_until(const char* terminator) {
        size_t length = std::strlen(terminator);
        reply_.clear();
        char buffer[65536];
        while (reply_.size() < length ||
               reply_.compare(reply_.size() - length, length, terminator) != 0) {
            int n = ::recv(sock_, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            reply_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    const std::string& reply() const { return reply_; }

  private:
    brevorin::Connection& connection_;
    int sock_;
    std::string reply_;
};

double bare_round(const Options& o, int& messages) {
    brevorin::ServerAddress address;
    brevorin::split_server(o.server.c_str(), 110, address);
    brevorin::Context ctx;
    brevorin::Connection connection(ctx);
    if (!connection.open(address.host.c_str(), address.port)) return -1;
    BareConnection c(connection);
    bool ok = c.read_until("\r\n") && c.command("USER " + o.user + "\r\n") &&
              c.read_until("\r\n") && c.command("PASS " + o.password + "\r\n") &&
              c.read_until("\r\n") && c.command("STAT\r\n") && c.read_until("\r\n");
    messages = ok ? std::atoi(c.reply().c_str() + 4) : 0;
    double elapsed = -1;
    if (ok) {
        auto start = Clock::now();
        for (int n = 1; ok && n <= messages; ++n) {
            ok = c.command("LIST " + std::to_string(n) + "\r\n") && c.read_until("\r\n") &&
                 c.command("TOP " + std::to_string(n) + " 0\r\n") && c.read_until("\r\n.\r\n");
        }
        elapsed = seconds_since(start);
        if (!ok) elapsed = -1;
    }
    if (c.command("QUIT\r\n")) c.read_until("\r\n");
    return elapsed;
}

bool parse_options(int argc, char** argv, Options& o) {
    if (argc < 5) return false;
    o.mode = argv[1];
    o.server = argv[2];
    o.user = argv[3];
    std::ifstream in(argv[4], std::ios::binary);
    if (!in || !std::getline(in, o.password)) return false;
    while (!o.password.empty() && (o.password.back() == '\r' || o.password.back() == '\n'))
        o.password.pop_back();
    if (argc > 5) o.rounds = std::max(1, std::atoi(argv[5]));
    return o.mode == "library" || o.mode == "bare";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: list_bench library|bare HOST+PORT USER PASSWORD_FILE [ROUNDS]\n");
        return 2;
    }
    // The pause after logon is not part of what is measured.
    brevorin::platform::set_sleep_function([](unsigned) {});
    uint16_t version = 0;
    if (o.mode == "bare" && brevorin::platform::socket_api().startup(0x0101, &version) != 0) return 1;

    std::vector<double> times;
    int messages = 0;
    for (int round = 0; round < o.rounds; ++round) {
        double t = o.mode == "library" ? library_round(o, messages) : bare_round(o, messages);
        if (t < 0) {
            std::fprintf(stderr, "round %d failed\n", round + 1);
            return 1;
        }
        std::printf("round=%d seconds=%.4f\n", round + 1, t);
        std::fflush(stdout);
        times.push_back(t);
    }
    std::sort(times.begin(), times.end());
    std::printf("median=%.4f messages=%d\n", times[times.size() / 2], messages);
    if (o.mode == "bare") brevorin::platform::socket_api().cleanup();
    return 0;
}
