// One raw retrieval, as a host would do it: logon, brevorin_getrawmail of
// message 1 without a size limit, logoff.
//
//   raw_bench HOST+PORT USER PASSWORD_FILE [NAME=VALUE]...
//
// Each NAME=VALUE is a session option (brevorin_setoption), e.g.
// protocol=imap. Prints "status=S seconds=T bytes=N before_kib=B peak_kib=P":
// the peak resident memory after the logon and after the retrieval, so that
// the difference is what the retrieval itself needed.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "brevorin.h"
#include "brevorin_host.h"
#include "platform/sleep.h"

namespace {

long peak_kib() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: raw_bench HOST+PORT USER PASSWORD_FILE [NAME=VALUE]...\n");
        return 2;
    }
    std::string password;
    std::ifstream in(argv[3], std::ios::binary);
    if (!in || !std::getline(in, password)) return 2;
    while (!password.empty() && (password.back() == '\r' || password.back() == '\n'))
        password.pop_back();
    brevorin::platform::set_sleep_function([](unsigned) {});

    brevorin_host_context ctx;
    brevorin_host_context_init(&ctx);
    brevorin_host_set_int(&ctx, 3, 0);
    _TCONNECT(1, 0, reinterpret_cast<brevorin_word>(&ctx));
    MailSession* session = nullptr;
    if (brevorin_init(&session) < 1 || session == nullptr) return 1;
    for (int i = 4; i < argc; ++i) {
        std::string option = argv[i];
        size_t eq = option.find('=');
        if (eq == std::string::npos || brevorin_setoption(option.substr(0, eq).c_str(),
                                                          option.c_str() + eq + 1, session) != 0) {
            std::fprintf(stderr, "bad option: %s\n", argv[i]);
            return 2;
        }
    }
    int rc = 1;
    if (brevorin_logonmail(argv[1], argv[2], password.c_str(), session) == 0) {
        char* text = nullptr;
        long before = peak_kib();
        auto start = std::chrono::steady_clock::now();
        int status = brevorin_getrawmail(1, 0, &text, session);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // A message over the host's window is handed out whole (-16).
        rc = status == 0 || status == BREVORIN_E_HOST_LIMIT ? 0 : 1;
        std::printf("status=%d seconds=%.4f bytes=%zu before_kib=%ld peak_kib=%ld\n", status,
                    seconds, text ? std::strlen(text) : 0, before, peak_kib());
        brevorin_logoffmail(session);
    }
    brevorin_cleanup(session);
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx);
    return rc;
}
