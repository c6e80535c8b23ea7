// Helpers of the sending tests: a scratch directory and a socket layer that
// records what is sent and can be told to fail.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/sockets.h"

namespace brevorin::test {

class TempDir {
  public:
    TempDir() {
        static int made = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("brv-smtp-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string path() const { return path_.string(); }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::string file = (path_ / name).string();
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

  private:
    std::filesystem::path path_;
};

inline std::string read_all(std::FILE* file) {
    std::rewind(file);
    std::string all;
    for (int c; (c = std::fgetc(file)) != EOF;) all += static_cast<char>(c);
    return all;
}

// Records sends to the fake socket kSocket, failing once more than
// fail_after bytes would have gone out; on real sockets, sends longer than
// fail_longer_than fail (commands are short, a gathered message is not).
class RecordingSocketApi : public platform::SocketApi {
  public:
    static constexpr int kSocket = 4242;
    RecordingSocketApi() : os_(platform::os_socket_api()) { platform::set_socket_api(this); }
    ~RecordingSocketApi() override { platform::set_socket_api(nullptr); }

    std::string sent;
    int sends = 0;
    long fail_after = -1;
    long fail_longer_than = -1;

    int send(int sock, const char* data, int length) override {
        if (sock != kSocket) {
            if (fail_longer_than >= 0 && length > fail_longer_than) return -1;
            return os_.send(sock, data, length);
        }
        ++sends;
        if (fail_after >= 0 && static_cast<long>(sent.size()) + length > fail_after) return -1;
        sent.append(data, static_cast<size_t>(length));
        return length;
    }
    int startup(uint16_t r, uint16_t* v) override { return os_.startup(r, v); }
    int cleanup() override { return os_.cleanup(); }
    uint32_t inet_addr(const char* h) override { return os_.inet_addr(h); }
    int gethostbyname(const char* h, uint32_t* a, int* l) override {
        return os_.gethostbyname(h, a, l);
    }
    int socket_stream() override { return os_.socket_stream(); }
    int connect(int s, uint32_t a, uint16_t p) override { return os_.connect(s, a, p); }
    int recv(int s, char* b, int l) override { return s == kSocket ? -1 : os_.recv(s, b, l); }
    int shutdown_both(int s) override { return s == kSocket ? 0 : os_.shutdown_both(s); }
    int close(int s) override { return s == kSocket ? 0 : os_.close(s); }
    int bytes_waiting(int s, unsigned long* c) override { return os_.bytes_waiting(s, c); }
    int gethostname(char* n, int l) override { return os_.gethostname(n, l); }
    int last_error() override { return os_.last_error(); }
    void set_last_error(int c) override { os_.set_last_error(c); }

  private:
    platform::SocketApi& os_;
};

}  // namespace brevorin::test
