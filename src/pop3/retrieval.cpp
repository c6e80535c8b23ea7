#include "pop3/retrieval.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "api/text.h"
#include "mime/file_names.h"
#include "mime/message_lines.h"
#include "mime/multipart.h"
#include "mime/uudecode.h"
#include "net/transport.h"
#include "platform/files.h"
#include "pop3/header_download.h"
#include "pop3/listing.h"
#include "pop3/session.h"

namespace brevorin {

namespace {

constexpr int kLineReserve = kLineCapacity + 1;

// Sends "RETR n" and checks its status line: 0 or -1.
int send_retr(int sock, int message, const MailSession* session, const char* tag) {
    char command[kCommandBuffer];
    int length = std::snprintf(command, sizeof command, "RETR %d\r\n", message);
    diag_print(session, 'F', 1, "%s: Doing retrieve of number: %d", tag, message);
    if (sock_write(sock, command, length) != length) return -1;
    char reply[kCommandBuffer];
    return read_status(sock, reply, kReplyCapacity, session) == 0 ? 0 : -1;
}

bool begins_with(const MessageLines& lines, const char* prefix) {
    size_t n = std::strlen(prefix);
    return lines.starts_line() && static_cast<size_t>(lines.size()) >= n &&
           std::memcmp(lines.data(), prefix, n) == 0;
}

// Keeps the connection in step after a failure in the middle of the answer:
// the rest is read and dropped. The result is the failure to report.
int finish_answer(MessageLines& lines, int result) {
    if (lines.failure() == 0 && !lines.finished()) lines.drain();
    if (lines.failure() == DataLineReader::kTimedOut) return kTimedOut;
    if (lines.failure() != 0) return kConnectionLost;
    return result;
}

// Reads the header block through its empty line into header: 0, -1 or -10.
// A message whose data ends inside the header keeps what was read.
int read_header(MessageLines& lines, std::string& header) {
    while (true) {
        if (static_cast<int>(header.size()) + kLineReserve > kHeaderBlockCapacity) return kInvalid;
        MessageLines::Result r = lines.next();
        if (r == DataLineReader::kEnd) return 0;
        if (r != DataLineReader::kLine) return -1;
        header.append(lines.raw(), static_cast<size_t>(lines.raw_size()));
        if (lines.starts_line() && lines.raw_size() >= 2 && lines.raw()[0] == '\r' &&
            lines.raw()[1] == '\n')
            return 0;
    }
}

// Copies one uuencoded block (begin line already read) into a temporary file
// and decodes it into the directory. -1 when the block could not be staged;
// otherwise 0, with the status and file list updated. A block that the end of
// data cuts short is decoded as far as it goes.
int read_uuencoded_block(MessageLines& lines, const std::string& directory, MessageEntry& entry,
                         int& status, const MailSession* session) {
    platform::File staged = platform::open_temp_file();
    if (!staged) return -1;
    auto stage = [&] {
        size_t n = static_cast<size_t>(lines.size());
        return std::fwrite(lines.data(), 1, n, staged.get()) == n;
    };
    if (!stage()) return -1;
    while (true) {
        MessageLines::Result r = lines.next();
        if (r == DataLineReader::kEnd) break;
        if (r != DataLineReader::kLine) return -1;
        if (!stage()) return -1;
        if (begins_with(lines, "end")) break;
    }
    std::rewind(staged.get());
    std::string name;
    int block_status = kAttachmentsHandled;
    // Only a file written whole is listed, and one good block does not hide
    // the failure of an earlier one.
    if (uudecode(directory, staged.get(), name, block_status, session) == 0 && !name.empty())
        append_file_name(entry.files, name);
    if (block_status != kAttachmentsHandled) status = block_status;
    return 0;
}

// The body of a message that is not MIME-structured: text, with uuencoded
// blocks decoded into files. The attachment status, -1 or -10.
int read_plain_body(MessageLines& lines, const std::string& directory, MessageEntry& entry,
                    int status, const MailSession* session) {
    std::string text;
    try {
        text.reserve(kBodyCapacity);
    } catch (const std::bad_alloc&) {
        diag_print(session, 'E', 1, "POP3_FETCH: malloc failed");
        return -1;
    }
    while (true) {
        if (static_cast<int>(text.size()) + kLineReserve > kBodyCapacity) return kInvalid;
        MessageLines::Result r = lines.next();
        if (r == DataLineReader::kEnd) break;
        if (r != DataLineReader::kLine) return -1;
        if (begins_with(lines, "begin ")) {
            if (read_uuencoded_block(lines, directory, entry, status, session) != 0) return -1;
            continue;
        }
        text.append(lines.data(), static_cast<size_t>(lines.size()));
    }
    entry.body = std::move(text);
    entry.retrieved = 1;
    return status;
}

int fetch_message(MessageLines& lines, MessageEntry& entry, const std::string& directory,
                  const MailSession* session) {
    std::string header;
    try {
        header.reserve(kHeaderBlockCapacity);
    } catch (const std::bad_alloc&) {
        diag_print(session, 'E', 1, "POP3_FETCH: malloc failed");
        return -1;
    }
    int rc = read_header(lines, header);
    if (rc != 0) return rc;
    if (entry.headers_parsed != 1 && parse_header_fields(header.c_str(), entry, session) == -1)
        return -1;
    int status = kAttachmentsHandled;
    rc = parse_mime_body(lines, header.c_str(), entry, directory, status, session);
    if (rc == -1) return -1;
    if (rc >= 0) {
        entry.retrieved = 1;
        return status;
    }
    diag_print(session, 'F', 0, "POP3_FETCH: Not a MIME encoded message");
    header = std::string();
    return read_plain_body(lines, directory, entry, status, session);
}

// Checks the message number and learns the size: 0 or a status code.
int check_message(int message, int max_size, MailSession* session) {
    if (session->logged_on != 1) return kNotLoggedOn;
    if (message < 1 || message > session->message_count ||
        static_cast<size_t>(message) >= session->messages.size() ||
        session->messages[message].present != 1)
        return kNoMessage;
    MessageEntry& entry = session->messages[message];
    if (entry.size == -1 && list_size(session->socket, message, &entry.size, session) != 0) {
        if (is_network_error(session) == 1) {
            tear_down(session);
            return kNetwork;
        }
        return kCommandFailed;
    }
    if (max_size != 0 && entry.size > max_size) return kTooBig;
    return kOk;
}

// Turns a failed fetch into the worker's status, tearing down or emptying
// the entry as the failure asks.
int fetch_failure(int result, int message, MailSession* session) {
    if (result == kConnectionLost || (result == -1 && is_network_error(session) == 1)) {
        if (result == kConnectionLost) is_network_error(session);
        tear_down(session);
        return kNetwork;
    }
    if (result == kTimedOut) {
        tear_down(session);
        return kTimedOut;
    }
    forget_message(message, session);
    return kCommandFailed;
}

std::string header_record(const MessageEntry& entry) {
    auto field = [](const OwnedText& text) { return text.has_value() ? *text : std::string(); };
    std::string record;
    record += "ID=" + field(entry.id);
    record += kEsc + std::string("TO=") + field(entry.to);
    record += kEsc + std::string("FROM=") + field(entry.from);
    record += kEsc + std::string("SUBJECT=") + field(entry.subject);
    record += kEsc + std::string("DATE=") + field(entry.date);
    record += kEsc + std::string("PRIORITY=") + std::to_string(entry.priority);
    record += kEsc + std::string("CC=") + field(entry.cc);
    record += kEsc + std::string("REPLY=") + field(entry.reply_to);
    return record;
}

}  // namespace

int fetch_decoded(int sock, int message, MessageEntry& entry, const std::string& directory,
               const MailSession* session) {
    // A stale socket error must not make a refusal look like a lost connection.
    sock_set_error(0);
    if (entry.size <= 0) return -1;
    if (send_retr(sock, message, session, "POP3_FETCH") != 0) return -1;
    MessageLines lines(sock, session);
    int rc = fetch_message(lines, entry, directory, session);
    if (rc < 0) return finish_answer(lines, rc);
    return rc;
}

int fetch_raw(int sock, int message, std::string& text, const MailSession* session) {
    sock_set_error(0);
    if (send_retr(sock, message, session, "POP3_RAWFETCH") != 0) return -1;
    MessageLines lines(sock, session);
    std::string buffer;
    try {
        buffer.reserve(kBodyCapacity);
        while (true) {
            MessageLines::Result r = lines.next();
            if (r == DataLineReader::kEnd) break;
            if (r != DataLineReader::kLine) return finish_answer(lines, -1);
            buffer.append(lines.data(), static_cast<size_t>(lines.size()));
        }
    } catch (const std::bad_alloc&) {
        diag_print(session, 'E', 1, "POP3_RAWFETCH: malloc failed");
        buffer = std::string();
        return finish_answer(lines, -1);
    }
    text = std::move(buffer);
    return 0;
}

int get_message(int message, const char* directory, int max_size, std::string& header_out,
            std::string& body_out, std::string& files_out, MailSession* session) {
    header_out.clear();
    body_out.clear();
    files_out.clear();
    int status = check_message(message, max_size, session);
    if (status != kOk) return status;
    MessageEntry& entry = session->messages[message];
    diag_print(session, 'D', 2, "GETMAIL: Size of message: %d is: %d", message, entry.size);
    std::string dir = attachment_directory(directory);

    if (entry.retrieved != 1) {
        int rc = fetch_decoded(session->socket, message, entry, dir, session);
        if (rc < 0) return fetch_failure(rc, message, session);
        status = rc;
    }

    std::string record = header_record(entry);
    std::string body = entry.body.value_or(std::string());
    std::string files = entry.files.value_or(std::string());
    if (static_cast<int>(record.size()) > kHostTextLimit ||
        static_cast<int>(body.size()) + 1 > kHostTextLimit ||
        static_cast<int>(files.size()) + 1 > kHostFileListLimit) {
        if (static_cast<int>(record.size()) > kHostTextLimit)
            diag_print(session, 'E', 1, "GETMAIL: TESSERA parameter size exceeded");
        if (static_cast<int>(body.size()) + 1 > kHostTextLimit)
            diag_print(session, 'E', 1, "GETMAIL: TESSERA parameter size exceeded");
        if (static_cast<int>(files.size()) + 1 > kHostFileListLimit)
            diag_print(session, 'E', 1, "GETMAIL: TESSERA parameter size exceeded");
        status = kHostLimit;
    }
    body_out = std::move(body);
    files_out = std::move(files);
    header_out = std::move(record);
    return status;
}

int get_raw_message(int message, int max_size, std::string& text_out, MailSession* session) {
    text_out.clear();
    int status = check_message(message, max_size, session);
    if (status != kOk) return status;
    diag_print(session, 'D', 2, "GETRAWMAIL: Size of message: %d is: %d", message,
               session->messages[message].size);
    std::string text;
    int rc = fetch_raw(session->socket, message, text, session);
    if (rc < 0) return fetch_failure(rc, message, session);
    text_out = std::move(text);
    return static_cast<int>(text_out.size()) + 1 > kHostTextLimit ? kHostLimit : kOk;
}

}  // namespace brevorin
