// Helpers of the sending tests: a scratch directory, a socket layer that
// records what is sent and can be told to fail, and a context whose
// diagnostics reach the host stand-in.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/context.h"
#include "host/host_calls.h"
#include "platform/sockets.h"
#include "support/forwarding_sockets.h"

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

// Records sends on the socket `recorded` (a connection's, set once it is
// open) instead of passing them on, failing once more than fail_after bytes
// would have gone out; on other sockets, sends longer than fail_longer_than
// fail (commands are short, a gathered message is not).
class RecordingSocketApi : public ForwardingSocketApi {
  public:
    RecordingSocketApi() { platform::set_socket_api(this); }
    ~RecordingSocketApi() override { platform::set_socket_api(nullptr); }

    int recorded = -1;
    std::string sent;
    int sends = 0;
    long fail_after = -1;
    long fail_longer_than = -1;

    int send(int sock, const char* data, int length) override {
        if (sock != recorded) {
            if (fail_longer_than >= 0 && length > fail_longer_than) return -1;
            return os.send(sock, data, length);
        }
        ++sends;
        if (fail_after >= 0 && static_cast<long>(sent.size()) + length > fail_after) return -1;
        sent.append(data, static_cast<size_t>(length));
        return length;
    }
    int recv(int s, char* b, int l) override { return s == recorded ? -1 : os.recv(s, b, l); }
};

// Diagnostics go to the host runtime, where a HostFixture captures them.
inline Context traced_context(int charset = kUsAscii) {
    Context ctx;
    ctx.charset = charset;
    ctx.diag = Diag(true, host_put_message);
    return ctx;
}

}  // namespace brevorin::test
