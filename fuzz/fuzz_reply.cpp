// The reply engine fed a server's bytes: POP3 status lines, dot-terminated
// answers and SMTP replies, over a connection whose peer hands the bytes out
// in pieces of a size the input chooses. Nothing may crash or hang; every
// read ends in a reply, a refusal or a failure.
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "net/connection.h"
#include "net/data_lines.h"
#include "platform/sockets.h"
#include "pop3/session.h"
#include "smtp/dialogue.h"

namespace {

using namespace brevorin;

constexpr int kFakeSocket = 4242;

// Plays the server: accepts every write and hands out the script in pieces;
// at its end the peer has closed.
class ScriptedPeer : public platform::SocketApi {
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
    int socket_stream() override { return kFakeSocket; }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScriptedPeer peer;
    if (size < 1) return 0;
    size_t piece = 1 + (data[0] & 0x3F) * 53;
    int mode = data[0] >> 6;
    peer.load(fuzz::as_text(data + 1, size - 1), piece);
    platform::set_socket_api(&peer);
    {
        Context quiet;
        Connection connection(quiet);
        fuzz::check(connection.open("127.0.0.1", 110), "the scripted peer did not connect");
        // Each round consumes at least one byte or fails, so the loops end.
        for (int round = 0; round < 4096; ++round) {
            if (mode == 0) {
                std::string text;
                if (read_status(connection, quiet, &text) == StatusLine::kFailed) break;
                fuzz::check(text.size() <= kReplyCapacity, "status text longer than a reply line");
            } else if (mode == 1) {
                DataLineReader reader(connection);
                LineSource::Next r = reader.drain();
                if (r != LineSource::Next::kEnd) break;
            } else {
                SmtpReply reply;
                ReplyStatus status = read_smtp_reply(connection, quiet, reply);
                if (status == ReplyStatus::kFailed) break;
                fuzz::check(reply.lines.size() <= 1000, "reply longer than the line cap");
            }
        }
    }
    platform::set_socket_api(nullptr);
    return 0;
}
