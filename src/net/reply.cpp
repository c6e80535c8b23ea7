#include "net/reply.h"

#include "platform/sockets.h"

namespace brevorin {

bool send_command(Connection& connection, std::string_view command) {
    return connection.write_text(command);
}

LineRead read_reply_line(Connection& connection, std::string& line) {
    ReplyBound bound(connection);
    char buffer[kReplyCapacity];
    int n = connection.read_line(buffer, kReplyCapacity);
    if (n < 0) {
        line.clear();
        return LineRead::kFailed;
    }
    line.assign(buffer, static_cast<size_t>(n));
    size_t length = static_cast<size_t>(n);
    if (n > 0 && buffer[n - 1] != '\n') {
        char rest[kReplyCapacity];
        int m;
        do {
            m = connection.read_line(rest, kReplyCapacity);
            if (m < 0) return LineRead::kFailed;
            length += static_cast<size_t>(m);
            if (length > kMaxReplyLineLength) {
                connection.context().note_failure(Failure::kReply);
                connection.context().diag.print('E', 1, "SOCKREAD: Reply line longer than %d bytes",
                                                static_cast<int>(kMaxReplyLineLength));
                connection.abandon();
                return LineRead::kFailed;
            }
        } while (m > 0 && rest[m - 1] != '\n');
    }
    return LineRead::kLine;
}

ReplyRead read_reply(Connection& connection, ReplyProtocol& protocol, int max_lines) {
    ReplyBound bound(connection);
    std::string line;
    for (int n = 0; n < max_lines; ++n) {
        if (read_reply_line(connection, line) != LineRead::kLine) return ReplyRead::kFailed;
        switch (protocol.take(line)) {
            case LineVerdict::kFinal: return ReplyRead::kComplete;
            case LineVerdict::kMalformed: return ReplyRead::kMalformed;
            case LineVerdict::kContinues: break;
        }
    }
    connection.context().note_failure(Failure::kReply);
    return ReplyRead::kTooLong;
}

}  // namespace brevorin
