// The reply engine fed a server's bytes: POP3 status lines, dot-terminated
// answers and SMTP replies, over a connection whose peer hands the bytes out
// in pieces of a size the input chooses. Nothing may crash or hang; every
// read ends in a reply, a refusal or a failure.
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "scripted_socket.h"
#include "net/connection.h"
#include "net/data_lines.h"
#include "platform/sockets.h"
#include "pop3/session.h"
#include "smtp/dialogue.h"

namespace {

using namespace brevorin;

using fuzz::ScriptedSocket;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScriptedSocket peer;
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
