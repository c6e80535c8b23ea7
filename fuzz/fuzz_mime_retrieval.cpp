// A RETR answer made of the fuzzer's bytes, served through a scripted
// connection, retrieved and decoded with fetch_decoded: the MIME walker, the
// plain body with its uuencoded blocks, and the attachment files. Nothing may
// crash, nothing may be written outside the attachment directory, and every
// file listed must exist there.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "net/transport.h"
#include "platform/sockets.h"
#include "pop3/retrieval.h"

namespace {

using namespace brevorin;

constexpr int kFakeSocket = 4242;

// Plays the POP3 server: accepts every write, answers with "+OK" and then
// hands out the answer in pieces of a size the input chooses.
class ScriptedConnection : public platform::SocketApi {
  public:
    void load(std::string answer, size_t piece) {
        answer_ = std::move(answer);
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
    int socket_stream() override { return kFakeSocket; }
    int connect(int, uint32_t, uint16_t) override { return 0; }
    int recv(int, char* buffer, int length) override {
        size_t n = std::min({piece_, answer_.size() - at_, static_cast<size_t>(length)});
        std::copy_n(answer_.data() + at_, n, buffer);
        at_ += n;
        return static_cast<int>(n);
    }
    int send(int, const char*, int length) override { return length; }
    int shutdown_both(int) override { return 0; }
    int close(int) override { return 0; }
    int bytes_waiting(int, unsigned long* count) override {
        *count = answer_.size() - at_;
        return 0;
    }
    int gethostname(char*, int) override { return -1; }
    int last_error() override { return error_; }
    void set_last_error(int code) override { error_ = code; }

  private:
    std::string answer_;
    size_t at_ = 0;
    size_t piece_ = 1;
    int error_ = 0;
};

struct Scratch {
    Scratch() {
        char name[] = "/tmp/brevorin-fuzz-XXXXXX";
        root = mkdtemp(name) != nullptr ? name : "";
        out = root + "/out";
        mkdir(out.c_str(), 0700);
    }
    std::string root, out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScriptedConnection connection;
    static Scratch scratch;
    if (size < 1 || scratch.root.empty()) return 0;
    // First byte: piece size of the server's sends, and whether the answer
    // ends with the end-of-data line or with a closed connection.
    size_t piece = 1 + (data[0] & 0x7F) * 37;
    bool terminated = (data[0] & 0x80) == 0;
    std::string answer = "+OK\r\n" + fuzz::as_text(data + 1, size - 1);
    if (terminated) answer += "\r\n.\r\n";
    connection.load(answer, piece);
    platform::set_socket_api(&connection);

    MailSession quiet;
    quiet.charset = (data[0] & 1) ? kSjis : kUsAscii;
    MessageEntry entry;
    entry.present = 1;
    entry.size = static_cast<int>(size);
    int rc = fetch_decoded(kFakeSocket, 1, entry, scratch.out + "/", &quiet);
    sock_close(kFakeSocket);
    platform::set_socket_api(nullptr);

    fuzz::check(fuzz::entries(scratch.root) == std::vector<std::string>{"out"},
                "a file was written outside the attachment directory");
    std::vector<std::string> written = fuzz::entries(scratch.out);
    if (rc >= 0 && entry.files.has_value() && !entry.files->empty()) {
        std::string list = *entry.files;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = std::min(list.find('\x1b', start), list.size());
            std::string name = list.substr(start, end - start);
            fuzz::check(name.find('/') == std::string::npos, "listed name holds a separator");
            fuzz::check(std::find(written.begin(), written.end(), name) != written.end(),
                        "a listed file does not exist");
            start = end + 1;
        }
    }
    for (const auto& name : written) unlink((scratch.out + "/" + name).c_str());
    return 0;
}
