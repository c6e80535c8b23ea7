#include "pop3/header_download.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "net/data_lines.h"
#include "net/transport.h"
#include "pop3/session.h"

namespace brevorin {

namespace {

int send_command(int sock, const char* command) {
    int length = static_cast<int>(std::strlen(command));
    return sock_write(sock, command, length) == length ? 0 : -1;
}

// One decimal integer the way "%d" reads it (leading white space, optional
// sign, digits), clamped to int instead of overflowing. False without digits.
bool read_decimal(const char*& cursor, int& value) {
    char* end = nullptr;
    long parsed = std::strtol(cursor, &end, 10);
    if (end == cursor) return false;
    if (parsed > INT_MAX) parsed = INT_MAX;
    if (parsed < INT_MIN) parsed = INT_MIN;
    value = static_cast<int>(parsed);
    cursor = end;
    return true;
}

// The two numbers of a LIST answer ("%d %d").
bool read_two_numbers(const char* text, int& first, int& second) {
    const char* cursor = text;
    return read_decimal(cursor, first) && read_decimal(cursor, second);
}

// The body of a multi-line answer, unstuffed, kept while it fits in a work
// buffer of `capacity` bytes with its terminator.
struct MultiLineText {
    std::string text;
    bool too_long = false;
};

// Reads a whole dot-terminated answer, always up to its end line, so that
// the next command reads its own status line even when the answer did not
// fit. -1 when a read fails.
int read_multiline(int sock, size_t capacity, MultiLineText& out, const MailSession* session) {
    DataLineReader reader(sock, session);
    while (true) {
        DataLineReader::Result r = reader.next();
        if (r == DataLineReader::kEnd) return 0;
        if (r != DataLineReader::kLine) return -1;
        if (out.too_long) continue;
        size_t piece = static_cast<size_t>(reader.size());
        if (out.text.size() + piece + 1 > capacity) {
            out.too_long = true;
            continue;
        }
        out.text.append(reader.data(), piece);
    }
}

// The work buffer of one call, allocated up front so that reading never has
// to grow it. False (with the diagnostics line) when memory is short.
bool allocate_work_buffer(MultiLineText& work, size_t capacity, const MailSession* session) {
    try {
        work.text.reserve(capacity);
        return true;
    } catch (const std::bad_alloc&) {
        diag_print(session, 'E', 1, "POP3_TOP: malloc failed");
        return false;
    }
}

bool fits(const std::string& text, int capacity) {
    return capacity > 0 && text.size() + 1 <= static_cast<size_t>(capacity);
}

void copy_out(const char* text, size_t length, char* destination) {
    std::memcpy(destination, text, length);
    destination[length] = '\0';
}

// The first TOP of a connection: "+OK" settles that TOP works. 1 when the
// server refused (the caller falls back to RETR), else 0 or -1.
int top_probe(int sock, int32_t* top_support, int message, char* destination, int capacity,
              const MailSession* session) {
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "TOP %d 0\r\n", message);
    if (send_command(sock, command) != 0) return -1;
    if (read_status(sock, command, kReplyCapacity, session) != 0) {
        *top_support = 0;
        return 1;
    }
    *top_support = 1;
    MultiLineText work;
    if (!allocate_work_buffer(work, kTopWorkBuffer, session)) {
        // The answer is on its way; read past it to keep the dialogue in step.
        DataLineReader(sock, session).drain();
        return -1;
    }
    if (read_multiline(sock, kTopWorkBuffer, work, session) != 0) return -1;
    diag_print(session, 'D', 0, "POP3_TOP: Received response from server: %s", command);
    if (work.too_long || !fits(work.text, capacity)) {
        diag_print(session, 'E', 1, "POP3_TOP: Buffer too small!");
        return -1;
    }
    copy_out(work.text.data(), work.text.size(), destination);
    return 0;
}

// TOP on a connection where it is known to work.
int top_known(int sock, int message, int line_count, char* destination, int capacity,
              const MailSession* session) {
    MultiLineText work;
    if (!allocate_work_buffer(work, kTopWorkBuffer, session)) return -1;
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "TOP %d %d\r\n", message, line_count);
    if (send_command(sock, command) != 0) return -1;
    if (read_status(sock, command, kReplyCapacity, session) != 0) return -1;
    if (read_multiline(sock, kTopWorkBuffer, work, session) != 0) return -1;
    if (work.too_long || !fits(work.text, capacity)) {
        diag_print(session, 'E', 1, "POP3_TOP: Topbuf too small");
        return -1;
    }
    copy_out(work.text.data(), work.text.size(), destination);
    return 0;
}

// For servers without TOP: the header is the part of the whole message
// before its first empty line.
int top_by_retrieve(int sock, int message, char* destination, int capacity,
                    const MailSession* session) {
    MultiLineText work;
    if (!allocate_work_buffer(work, kRetrWorkBuffer, session)) return -1;
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "RETR %d\r\n", message);
    diag_print(session, 'D', 1, "POP3_TOP: Doing retrieve with command: %s", command);
    if (send_command(sock, command) != 0) return -1;
    if (read_status(sock, command, kReplyCapacity, session) != 0) return -1;
    if (read_multiline(sock, kRetrWorkBuffer, work, session) != 0) return -1;
    size_t header_end = work.text.find("\r\n\r\n");
    if (header_end == std::string::npos) {
        diag_print(session, 'E', 1, "POP3_TOP: Couldn't find header delimiter");
        return -1;
    }
    diag_print(session, 'D', 2, "POP3_TOP: Length of header = %d", static_cast<int>(header_end));
    if (capacity <= 0 || header_end + 1 > static_cast<size_t>(capacity)) {
        diag_print(session, 'E', 1, "POP3_TOP: Buffer too small");
        return -1;
    }
    copy_out(work.text.data(), header_end, destination);
    return 0;
}

}  // namespace

int list_size(int sock, int message, int32_t* size, const MailSession* session) {
    diag_print(session, 'F', 0, "POP3_LIST: Listing : %d", message);
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "LIST %d\r\n", message);
    if (send_command(sock, command) != 0) return -1;
    if (read_status(sock, command, kReplyCapacity, session) != 0) return -1;
    if (command[0] != '\0')
        diag_print(session, 'F', 0, "POP3_LIST: Response from server: %s", command);
    int number = 0;
    int octets = 0;
    if (!read_two_numbers(command, number, octets)) {
        diag_print(session, 'E', 1, "POP3_LIST: Response from server not parsable");
        return -1;
    }
    *size = octets;
    diag_print(session, 'D', 0, "POP3_LIST: Received message number=%d, size=%d", number, octets);
    return 0;
}

int fetch_top(int sock, int32_t* top_support, int message, int line_count, char* destination,
             int capacity, const MailSession* session) {
    if (*top_support == 1)
        return top_known(sock, message, line_count, destination, capacity, session);
    if (*top_support == -1) {
        int probe = top_probe(sock, top_support, message, destination, capacity, session);
        if (probe != 1) return probe;
    }
    return top_by_retrieve(sock, message, destination, capacity, session);
}

}  // namespace brevorin
