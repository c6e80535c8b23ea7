// Times brevorin_sendmail of one message with an attachment.
//
//   send_bench HOST+PORT FILE ROUNDS
//
// Each round sends a short text and FILE as attachment to the SMTP server:
// parsing, the dialogue, and base64 encoding of the file as it is
// transmitted. Prints one "round=I seconds=S" line per round, then
// "median=S" and, where the system tells, "peak_rss_kib=N" for the process.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brevorin.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

long peak_rss_kib() {
#if defined(_WIN32)
    return -1;
#else
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return usage.ru_maxrss;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: send_bench HOST+PORT FILE ROUNDS\n");
        return 2;
    }
    const std::string server = argv[1];
    const std::string file = argv[2];
    const int rounds = std::max(1, std::atoi(argv[3]));
    const std::string headers =
        "TO=sink@example.org\x1b"
        "FROM=bench@example.org\x1bSUBJECT=send benchmark";
    const char* text = "The attachment of this message is the benchmark's payload.\r\n";

    MailSession* session = nullptr;
    if (brevorin_init(&session) < 1 || session == nullptr) {
        std::fprintf(stderr, "send_bench: no session\n");
        return 3;
    }
    std::vector<double> times;
    int rc = 0;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        int status =
            brevorin_sendmail(server.c_str(), headers.c_str(), text, file.c_str(), 0, session);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (status != 0) {
            std::fprintf(stderr, "send_bench: sending failed: %d\n", status);
            rc = 1;
            break;
        }
        times.push_back(seconds);
        std::printf("round=%d seconds=%.4f\n", i, seconds);
    }
    brevorin_cleanup(session);
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        std::printf("median=%.4f\n", times[times.size() / 2]);
    }
    long rss = peak_rss_kib();
    if (rss >= 0) std::printf("peak_rss_kib=%ld\n", rss);
    return rc;
}
