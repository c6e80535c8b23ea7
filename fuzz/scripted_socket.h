// A socket layer that plays a server for the fuzz harnesses: it accepts
// every write and hands out the script in pieces of the size given; at the
// script's end the peer has closed.
#pragma once

#include <algorithm>
#include <string>

#include "platform/sockets.h"

namespace brevorin::fuzz {

class ScriptedSocket : public platform::SocketApi {
  public:
    void load(std::string script, size_t piece) {
        script_ = std::move(script);
        at_ = 0;
        piece_ = piece;
    }
    int startup(uint16_t, uint16_t* v) override {
        *v = 0x0101;
        return 0;
    }
    int cleanup() override { return 0; }
    uint32_t inet_addr(const char*) override { return 0x0100007F; }
    int gethostbyname(const char*, uint32_t*, int*) override { return -1; }
    int socket_stream() override { return 4242; }
    int connect(int, uint32_t, uint16_t) override { return 0; }
    int recv(int, char* buffer, int length) override {
        size_t n = std::min({piece_, script_.size() - at_, static_cast<size_t>(length)});
        std::copy_n(script_.data() + at_, n, buffer);
        at_ += n;
        return static_cast<int>(n);
    }
    int send(int, const char*, int length) override { return length; }
    int shutdown_both(int) override { return 0; }
    int close(int) override { return 0; }
    int bytes_waiting(int, unsigned long* count) override {
        *count = script_.size() - at_;
        return 0;
    }
    int gethostname(char*, int) override { return -1; }
    int last_error() override { return error_; }
    void set_last_error(int code) override { error_ = code; }

  private:
    std::string script_;
    size_t at_ = 0;
    size_t piece_ = 1;
    int error_ = 0;
};

}  // namespace brevorin::fuzz
