#include "pop3/header_download.h"

#include <cstdio>

#include "core/text.h"
#include "net/data_lines.h"
#include "net/reply.h"
#include "pop3/session.h"

namespace brevorin {

namespace {

// The body of a multi-line answer, unstuffed, kept while it fits in a work
// buffer of `capacity` bytes with its terminator. The text is the caller's,
// so a listing reuses one buffer for every message.
struct MultiLineText {
    std::string& text;
    bool too_long = false;
};

// Reads a whole dot-terminated answer, always up to its end line, so that
// the next command reads its own status line even when the answer did not
// fit. The part that fits is kept. False when a read fails.
bool read_multiline(Connection& connection, size_t capacity, MultiLineText& out) {
    DataLineReader reader(connection);
    PayloadScope payload(connection);
    out.text.clear();
    while (true) {
        LineSource::Next r = reader.next();
        if (r == LineSource::Next::kEnd) return true;
        if (r != LineSource::Next::kLine) return false;
        if (out.too_long) continue;
        size_t piece = static_cast<size_t>(reader.size());
        if (out.text.size() + piece + 1 > capacity) {
            out.text.append(reader.data(), capacity - 1 - out.text.size());
            out.too_long = true;
            continue;
        }
        out.text.append(reader.data(), piece);
    }
}

std::string numbered(const char* verb, int message, const char* rest = "") {
    char line[kCommandBuffer];
    std::snprintf(line, sizeof line, "%s %d%s\r\n", verb, message, rest);
    return line;
}

// The first TOP of a connection: "+OK" settles that TOP works.
enum class Probe { kDone, kRefused, kFailed };

// sent: the TOP went out already, only its answer is read.
Probe top_probe(Mailbox& box, TopSupport& top, int message, size_t capacity, std::string& header,
                bool sent = false) {
    const Context& ctx = box.ctx;
    std::string reply;
    StatusLine status = sent ? read_status(box.connection, ctx, &reply)
                             : command(box, numbered("TOP", message, " 0"), &reply);
    if (status == StatusLine::kFailed) return Probe::kFailed;
    if (status != StatusLine::kOk) {
        top = TopSupport::kUseRetr;
        return Probe::kRefused;
    }
    top = TopSupport::kWorks;
    MultiLineText work{header};
    if (!read_multiline(box.connection, kTopWorkBuffer, work)) return Probe::kFailed;
    ctx.diag.print('D', 0, "POP3_TOP: Received response from server: %s", reply.c_str());
    keep_head(ctx, message, capacity, work.too_long, header);
    return Probe::kDone;
}

bool top_answer(Mailbox& box, int message, size_t capacity, std::string& header) {
    if (read_status(box.connection, box.ctx, nullptr) != StatusLine::kOk) return false;
    MultiLineText work{header};
    if (!read_multiline(box.connection, kTopWorkBuffer, work)) return false;
    keep_head(box.ctx, message, capacity, work.too_long, header);
    return true;
}

// TOP n 0 on a connection where TOP is known to work.
bool top_known(Mailbox& box, int message, size_t capacity, std::string& header) {
    if (!send_command(box.connection, numbered("TOP", message, " 0"))) return false;
    return top_answer(box, message, capacity, header);
}

// For servers without TOP: the header is the part of the whole message
// before its first empty line.
bool retrieve_answer(Mailbox& box, int message, size_t capacity, std::string& header) {
    const Context& ctx = box.ctx;
    if (read_status(box.connection, ctx, nullptr) != StatusLine::kOk) return false;
    MultiLineText work{header};
    if (!read_multiline(box.connection, kRetrWorkBuffer, work)) return false;
    size_t header_end = work.text.find("\r\n\r\n");
    if (header_end == std::string::npos) {
        if (!work.too_long) {
            ctx.diag.print('E', 1, "POP3_TOP: Couldn't find header delimiter");
            return false;
        }
        header_end = work.text.size();
    }
    ctx.diag.print('D', 2, "POP3_TOP: Length of header = %d", static_cast<int>(header_end));
    bool cut = header_end == work.text.size() && work.too_long;
    header.resize(header_end);
    keep_head(ctx, message, capacity, cut, header);
    return true;
}

bool top_by_retrieve(Mailbox& box, int message, size_t capacity, std::string& header) {
    std::string line = numbered("RETR", message);
    box.ctx.diag.print('D', 1, "POP3_TOP: Doing retrieve with command: %s", line.c_str());
    if (!send_command(box.connection, line)) return false;
    return retrieve_answer(box, message, capacity, header);
}

}  // namespace

bool list_size(Mailbox& box, int message, int32_t& size) {
    box.ctx.diag.print('F', 0, "POP3_LIST: Listing : %d", message);
    if (!send_command(box.connection, numbered("LIST", message))) return false;
    return size_answer(box, message, size, false) == SizeAnswer::kOk;
}

std::string size_request(int message) {
    return numbered("LIST", message);
}

std::string header_request(TopSupport top, int message) {
    return top == TopSupport::kWorks ? numbered("TOP", message, " 0") : numbered("RETR", message);
}

bool header_answer(Mailbox& box, TopSupport top, int message, size_t capacity,
                   std::string& header) {
    header.clear();
    bool ok;
    if (top == TopSupport::kWorks) {
        ok = top_answer(box, message, capacity, header);
    } else {
        box.ctx.diag.print('D', 1, "POP3_TOP: Doing retrieve with command: %s",
                           numbered("RETR", message).c_str());
        ok = retrieve_answer(box, message, capacity, header);
    }
    // A failed answer hands nothing out, as fetch_header does.
    if (!ok) header.clear();
    return ok;
}

bool drop_answer(Mailbox& box) {
    StatusLine status = read_status(box.connection, box.ctx, nullptr);
    if (status == StatusLine::kFailed) return false;
    if (status != StatusLine::kOk) return true;
    DataLineReader reader(box.connection);
    return reader.drain() == LineSource::Next::kEnd;
}

namespace {

// "+OK n octets": whether it parses, and for which message.
bool parse_size_answer(const std::string& reply, long long& number, long long& octets) {
    const char* cursor = reply.c_str();
    return read_decimal(cursor, number) && read_decimal(cursor, octets);
}

}  // namespace

SizeAnswer drop_size_answer(Mailbox& box, int message) {
    std::string reply;
    StatusLine status = read_status(box.connection, box.ctx, &reply);
    if (status == StatusLine::kFailed) return SizeAnswer::kFailed;
    if (status != StatusLine::kOk) return SizeAnswer::kRefused;
    long long number = 0, octets = 0;
    if (!parse_size_answer(reply, number, octets) || number != message)
        return SizeAnswer::kOutOfStep;
    return SizeAnswer::kOk;
}

std::string uidl_request(int message) {
    return numbered("UIDL", message);
}

SizeAnswer uidl_answer(Mailbox& box, int message, std::string& uid) {
    uid.clear();
    std::string reply;
    StatusLine status = read_status(box.connection, box.ctx, &reply);
    if (status == StatusLine::kFailed) return SizeAnswer::kFailed;
    if (status != StatusLine::kOk) return SizeAnswer::kRefused;
    const char* cursor = reply.c_str();
    long long number = 0;
    if (!read_decimal(cursor, number) || number != message) return SizeAnswer::kOutOfStep;
    while (*cursor == ' ') ++cursor;
    // RFC 1939: 1 to 70 characters from 0x21 to 0x7E.
    const char* end = cursor;
    while (*end > 0x20 && *end < 0x7F) ++end;
    if (end == cursor || end - cursor > 70) return SizeAnswer::kOutOfStep;
    uid.assign(cursor, end);
    return SizeAnswer::kOk;
}

bool known_uidl(Mailbox& box, int message) {
    MessageEntry& entry = box.entry(message);
    if (entry.uidl) return true;
    if (!send_command(box.connection, uidl_request(message))) return false;
    std::string uid;
    SizeAnswer answer = uidl_answer(box, message, uid);
    if (answer == SizeAnswer::kFailed || answer == SizeAnswer::kOutOfStep) return false;
    entry.uidl = std::move(uid);
    return true;
}

SizeAnswer size_answer(Mailbox& box, int message, int32_t& size, bool in_batch) {
    const Context& ctx = box.ctx;
    std::string reply;
    StatusLine status = read_status(box.connection, ctx, &reply);
    if (status == StatusLine::kFailed) return SizeAnswer::kFailed;
    if (status != StatusLine::kOk) return SizeAnswer::kRefused;
    if (!reply.empty())
        ctx.diag.print('F', 0, "POP3_LIST: Response from server: %s", reply.c_str());
    long long number = 0;
    long long octets = 0;
    if (!parse_size_answer(reply, number, octets)) {
        ctx.diag.print('E', 1, "POP3_LIST: Response from server not parsable");
        return in_batch ? SizeAnswer::kOutOfStep : SizeAnswer::kRefused;
    }
    if (in_batch && number != message) return SizeAnswer::kOutOfStep;
    size = clamp_int32(octets);
    ctx.diag.print('D', 0, "POP3_LIST: Received message number=%d, size=%d", clamp_int32(number),
                   size);
    return SizeAnswer::kOk;
}

namespace {

bool fetch_header_text(Mailbox& box, TopSupport& top, int message, size_t capacity,
                       std::string& header) {
    if (top == TopSupport::kWorks) return top_known(box, message, capacity, header);
    if (top == TopSupport::kUnknown) {
        Probe probe = top_probe(box, top, message, capacity, header);
        if (probe == Probe::kDone) return true;
        if (probe == Probe::kFailed) return false;
    }
    return top_by_retrieve(box, message, capacity, header);
}

}  // namespace

bool size_and_first_header(Mailbox& box, TopSupport& top, int message, size_t capacity,
                           int32_t& size, std::string& header) {
    header.clear();
    box.ctx.diag.print('F', 0, "POP3_LIST: Listing : %d", message);
    box.connection.cork();
    bool sent =
        box.connection.write_text(numbered("LIST", message) + numbered("TOP", message, " 0"));
    if (box.connection.uncork() != 0 || !sent) return false;
    SizeAnswer answer = size_answer(box, message, size, false);
    if (answer != SizeAnswer::kOk) {
        // The TOP's answer is read all the same, for the next command.
        if (answer != SizeAnswer::kFailed) drop_answer(box);
        return false;
    }
    Probe probe = top_probe(box, top, message, capacity, header, true);
    if (probe == Probe::kDone) return true;
    if (probe == Probe::kRefused && top_by_retrieve(box, message, capacity, header)) return true;
    header.clear();
    return false;
}

bool fetch_header(Mailbox& box, TopSupport& top, int message, size_t capacity,
                  std::string& header) {
    header.clear();
    // The answer is read into the caller's buffer; a failed one hands
    // nothing out.
    if (fetch_header_text(box, top, message, capacity, header)) return true;
    header.clear();
    return false;
}

}  // namespace brevorin
