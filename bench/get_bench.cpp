// One decoded retrieval, as a host would do it: logon, brevorin_getmail of
// message 1 with its attachments written into a directory, logoff.
//
//   get_bench HOST+PORT USER PASSWORD_FILE DIRECTORY [NAME=VALUE]...
//
// Each NAME=VALUE is a session option (brevorin_setoption), e.g.
// security=tls ca_file=ca.pem.
// Prints "status=S seconds=T files=F body=B" where T covers the retrieval
// alone (the logon and its pause are not measured).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "brevorin.h"
#include "brevorin_host.h"
#include "platform/sleep.h"

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: get_bench HOST+PORT USER PASSWORD_FILE DIRECTORY\n");
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
    for (int i = 5; i < argc; ++i) {
        std::string option = argv[i];
        size_t eq = option.find('=');
        if (eq == std::string::npos ||
            brevorin_setoption(option.substr(0, eq).c_str(), option.c_str() + eq + 1, session) != 0) {
            std::fprintf(stderr, "bad option: %s\n", argv[i]);
            return 2;
        }
    }
    int rc = 1;
    if (brevorin_logonmail(argv[1], argv[2], password.c_str(), session) == 0) {
        char *header = nullptr, *body = nullptr, *files = nullptr;
        auto start = std::chrono::steady_clock::now();
        int status = brevorin_getmail(1, argv[4], 0, &header, &body, &files, session);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("status=%d seconds=%.4f files=%s body=%zu\n", status, seconds,
                    files ? files : "", body ? std::strlen(body) : 0);
        rc = status == 0 ? 0 : 1;
        brevorin_logoffmail(session);
    }
    brevorin_cleanup(session);
    _TCONNECT(6, 1, 0);
    brevorin_host_context_release(&ctx);
    return rc;
}
