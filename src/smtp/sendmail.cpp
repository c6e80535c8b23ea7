#include "smtp/sendmail.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "api/text.h"
#include "codec/base64.h"
#include "codec/kanji.h"
#include "net/transport.h"
#include "pop3/session.h"
#include "smtp/compose.h"
#include "smtp/dialogue.h"
#include "smtp/header_encoding.h"
#include "smtp/lists.h"

namespace brevorin {

namespace {

constexpr int kSmtpPort = 25;

// Transfer encodings of the text part.
constexpr int kEncodingBase64 = 1;
constexpr int kEncoding7bit = 2;
constexpr int kEncodingQuotedPrintable = 5;

// Closes the connection on every way out of the dialogue.
class SmtpConnection {
  public:
    explicit SmtpConnection(int sock) : sock_(sock) {}
    ~SmtpConnection() {
        if (sock_ != -1) sock_close(sock_);
    }
    SmtpConnection(const SmtpConnection&) = delete;
    SmtpConnection& operator=(const SmtpConnection&) = delete;
    int get() const { return sock_; }

  private:
    int sock_;
};

bool holds_8bit(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p)
        if (*p >= 0x80) return true;
    return false;
}

bool is_blank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

// The text as it goes out for the session's character set, and its transfer
// encoding in session->text_encoding. 0, or -1 when encoding fails.
int prepare_text(const char* text, MailSession* session, std::string& prepared) {
    session->text_encoding = kEncoding7bit;
    switch (session->charset) {
        case kLatin1:
        case kLatin2: {
            std::string encoded;
            int result = qp_encode(text, encoded);
            if (result < 0) return -1;
            if (result == 0) {
                prepared = std::move(encoded);
                session->text_encoding = kEncodingQuotedPrintable;
            } else {
                prepared = text;
            }
            return 0;
        }
        case kCyrillic:
        case kArabic:
        case kGreek:
        case kHebrew:
        case kChinese:
        case kKorean:
            if (!holds_8bit(text)) {
                prepared = text;
                return 0;
            }
            if (base64_encode_text(text, prepared, 1) < 0) return -1;
            session->text_encoding = kEncodingBase64;
            return 0;
        case kEuc:
        case kSjis: {
            std::string converted;
            int result = kanji_convert(session->charset, CODE_JIS, text, converted);
            if (result < 0) return -1;
            prepared = result == 0 ? std::move(converted) : std::string(text);
            return 0;
        }
        default:
            prepared = text;
            return 0;
    }
}

// The recipients in the order RCPT TO names them: to, cc, then bcc, each
// list split at commas and trimmed. Empty or blank entries (two commas in a
// row, a comma at the end) name nobody and are left out.
std::vector<std::string> recipients_of(const HeaderList& headers) {
    std::string list = headers.to;
    if (headers.cc) list += "," + *headers.cc;
    if (headers.bcc) list += "," + *headers.bcc;
    trim_spaces(list);
    std::vector<std::string> recipients;
    std::string_view rest = list;
    size_t consumed = 0;
    while (auto recipient = next_recipient(rest, consumed)) {
        trim_spaces(*recipient);
        if (!is_blank(*recipient)) recipients.push_back(std::move(*recipient));
        rest.remove_prefix(consumed);
    }
    return recipients;
}

int64_t message_size(const std::string& text, const AttachmentList& attachments) {
    int64_t total = static_cast<int64_t>(text.size());
    for (const Attachment& entry : attachments.entries) total += entry.encoded_size;
    return total;
}

// Limits that the command and header buffers set, checked before anything
// is sent so that the server never sees a cut command.
int check_buffer_limits(const HeaderList& headers, const std::vector<std::string>& recipients,
                        const AttachmentList& attachments, const MailSession* session) {
    if (headers.from.size() > kMaxSenderLength) {
        diag_print(session, 'E', 1, "SENDMAIL: Refused: sender longer than %d characters",
                   static_cast<int>(kMaxSenderLength));
        return kInvalid;
    }
    if (recipients.empty()) {
        diag_print(session, 'E', 1, "SENDMAIL: Refused: no recipient in the header list");
        return kNoRecipient;
    }
    for (const std::string& recipient : recipients) {
        if (recipient.size() > kMaxRecipientLength) {
            diag_print(session, 'E', 1, "SENDMAIL: Refused: recipient longer than %d characters",
                       static_cast<int>(kMaxRecipientLength));
            return kInvalid;
        }
    }
    // The boundary of the real block is at most as long as this one.
    std::string block;
    std::string longest_boundary(kBoundaryMaxLength, 'x');
    if (!build_header_block(headers, attachments.count() > 0, longest_boundary,
                            current_message_time(), session, block)) {
        diag_print(session, 'E', 1, "SENDMAIL: Refused: header block longer than %d bytes",
                   kHeaderBlockCapacity - 1);
        return kInvalid;
    }
    return kOk;
}

int read_greeting(int sock, const MailSession* session) {
    ReplyLine line;
    do {
        int status = read_reply_line(sock, line, session);
        if (status < 0 || line.code != 220) return kNetwork;
        diag_print(session, 'D', 0,
                   "SENDMAIL: Parsed response from server, code: %d, status: %d, response: %s", 220,
                   status, line.text.c_str());
    } while (line.more);
    return kOk;
}

// Reads the reply to a command and reports it with format, which takes the
// code, the reply text and the read's result. The code, or -1 when the read
// failed.
int command_reply(int sock, const char* format, const MailSession* session) {
    int code = 0;
    std::string reply;
    int status = read_reply(sock, &code, &reply, kReplyCapacity, session);
    if (status < 0) return -1;
    diag_print(session, 'D', 0, format, code, reply.c_str(), status);
    return code;
}

int mail_from(int sock, const HeaderList& headers, const MailSession* session) {
    int result = send_mail_from(sock, headers.from.c_str(), session);
    diag_print(session, 'F', 2, "SENDMAIL: From command done, status: %d", result);
    if (result == -1) return kRefused;
    int code = command_reply(
        sock, "SENDMAIL: Got reply on MAIL FROM command, code: %d, reply: %s, status = %d",
        session);
    if (code < 0) return kNetwork;
    return code == 250 ? kOk : kRefused;
}

// Storage shortage has its own status; any other refusal (4xx, 5xx) means
// the recipient or the message will not be delivered.
int judge_refusal(int code) {
    if (code == 452 || code == 552) return kStorage;
    if (code >= 400) return kRefused;
    return kOk;
}

int rcpt_to(int sock, const std::vector<std::string>& recipients, const MailSession* session) {
    for (const std::string& recipient : recipients) {
        int result = send_rcpt_to(sock, recipient.c_str(), session);
        diag_print(session, 'F', 2, "SENDMAIL: To command done, status: %d", result);
        if (result == -1) return kRefused;
        int code = command_reply(
            sock, "SENDMAIL: Got reply on rcpt to command, code: %d, reply: %s, status = %d",
            session);
        if (code < 0) return kNetwork;
        int verdict = judge_refusal(code);
        if (verdict != kOk) return verdict;
    }
    return kOk;
}

int data(int sock, const MailSession* session) {
    int result = send_data(sock, session);
    diag_print(session, 'F', 2, "SENDMAIL: Data command done, status: %d", result);
    if (result == -1) return kRefused;
    int code = command_reply(
        sock, "SENDMAIL: Got reply on send command, code: %d, reply: %s, status = %d", session);
    if (code < 0) return kNetwork;
    return code == 354 ? kOk : kRefused;
}

int message_verdict(int sock, const MailSession* session) {
    int code = 0;
    std::string reply;
    int status = read_reply(sock, &code, &reply, kReplyCapacity, session);
    if (status < 0) return kNetwork;
    int verdict = judge_refusal(code);
    if (verdict != kOk) return verdict;
    diag_print(session, 'D', 0,
               "SENDMAIL: Got reply on send command, code: %d, reply: %s, status = %d", code,
               reply.c_str(), status);
    return kOk;
}

int quit(int sock, const MailSession* session) {
    if (sock_write(sock, "QUIT\r\n", 6) != 6) return kNetwork;
    diag_print(session, 'F', 2, "SENDMAIL: Sent QUIT to server");
    int code = 0;
    std::string reply;
    if (read_reply(sock, &code, &reply, kReplyCapacity, session) < 0) return kNetwork;
    diag_print(session, 'D', 0, "SENDMAIL: Closing message: code: %d, message: %s", code,
               reply.c_str());
    return kOk;
}

int run_dialogue(int sock, const HeaderList& headers, const std::vector<std::string>& recipients,
                 const std::string& text, AttachmentList& attachments, MailSession* session) {
    int status = read_greeting(sock, session);
    if (status != kOk) return status;
    int result = send_helo(sock, session);
    diag_print(session, 'F', 2, "SENDMAIL: Helo command done, status: %d", result);
    if (result == -1) return kNetwork;
    if ((status = mail_from(sock, headers, session)) != kOk) return status;
    if ((status = rcpt_to(sock, recipients, session)) != kOk) return status;
    if ((status = data(sock, session)) != kOk) return status;
    result = put_message(sock, headers, text, attachments, session);
    diag_print(session, 'F', 2, "SENDMAIL: Putmessage command done, status: %d", result);
    if (result == -1) return kRefused;
    if ((status = message_verdict(sock, session)) != kOk) return status;
    return quit(sock, session);
}

int send_message(const char* server, const char* header_list, const char* text,
                 const char* attachment_list, int max_size, MailSession* session) {
    HeaderList headers;
    int status = parse_header_list(header_list, headers, session);
    if (status == kNoRecipient) return kNoRecipient;
    if (status < 0) return kInvalid;

    AttachmentList attachments;
    status = parse_attachment_list(attachment_list, attachments, session);
    if (status < 0) return status;

    if (text == nullptr) return kInvalid;
    std::string prepared;
    if (prepare_text(text, session, prepared) < 0) return kInvalid;

    if (max_size != 0 && message_size(prepared, attachments) > max_size) return kTooBig;

    std::vector<std::string> recipients = recipients_of(headers);
    status = check_buffer_limits(headers, recipients, attachments, session);
    if (status != kOk) return status;

    std::string host;
    int port = kSmtpPort;
    bool port_given = false;
    if (!split_server(server != nullptr ? server : "", kSmtpPort, host, port, port_given)) {
        diag_print(session, 'E', 1, "SENDMAIL: Refused: host name longer than %d characters",
                   kMaxHostLength);
        return kInvalid;
    }
    if (port_given)
        diag_print(session, 'F', 1, "SENDMAIL: Using port %d in stead of default port", port);
    diag_print(session, 'F', 1, "SENDMAIL: Opening connection with server: %s and port: %d",
               host.c_str(), port);
    SmtpConnection connection(sock_open(host.c_str(), port));
    if (connection.get() == -1) return kNetwork;
    diag_print(session, 'F', 1, "SENDMAIL: Opened socket, nr: %d", connection.get());
    return run_dialogue(connection.get(), headers, recipients, prepared, attachments, session);
}

}  // namespace

int send_mail(const char* server, const char* header_list, const char* text,
             const char* attachment_list, int max_size, MailSession* session) {
    try {
        return send_message(server, header_list, text, attachment_list, max_size, session);
    } catch (const std::bad_alloc&) {
        return kInvalid;
    }
}

}  // namespace brevorin
