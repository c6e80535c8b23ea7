// A socket layer that passes every call to the operating system's; tests
// derive from it and override the calls they want to observe or break.
#pragma once

#include "platform/sockets.h"

namespace brevorin::test {

class ForwardingSocketApi : public platform::SocketApi {
public:
    int startup(uint16_t r, uint16_t* v) override { return os.startup(r, v); }
    int cleanup() override { return os.cleanup(); }
    uint32_t inet_addr(const char* h) override { return os.inet_addr(h); }
    int gethostbyname(const char* h, uint32_t* a, int* l) override {
        return os.gethostbyname(h, a, l);
    }
    int socket_stream() override { return os.socket_stream(); }
    int connect(int s, uint32_t a, uint16_t p) override { return os.connect(s, a, p); }
    int recv(int s, char* b, int n) override { return os.recv(s, b, n); }
    int send(int s, const char* d, int n) override { return os.send(s, d, n); }
    int shutdown_both(int s) override { return os.shutdown_both(s); }
    int close(int s) override { return os.close(s); }
    int bytes_waiting(int s, unsigned long* c) override { return os.bytes_waiting(s, c); }
    int gethostname(char* n, int l) override { return os.gethostname(n, l); }
    int last_error() override { return os.last_error(); }
    void set_last_error(int c) override { os.set_last_error(c); }

protected:
    platform::SocketApi& os = platform::os_socket_api();
};

}  // namespace brevorin::test
