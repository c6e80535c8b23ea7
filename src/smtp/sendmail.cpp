#include "smtp/sendmail.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "core/text.h"
#include "mime/host_text.h"
#include "mime/html_text.h"
#include "net/connection.h"
#include "net/secure.h"
#include "net/server_address.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "smtp/compose.h"
#include "smtp/dialogue.h"
#include "smtp/header_encoding.h"
#include "smtp/lists.h"

namespace brevorin {

namespace {

constexpr int kSmtpPort = 25;
constexpr int kSmtpsPort = 465;

bool is_blank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

// The text as the session's character set sends it, and its transfer
// encoding. false when encoding fails.
bool encode_for_charset(const char* text, const Context& ctx, std::string& prepared,
                        int& encoding) {
    encoding = kEncoding7bit;
    const CharsetInfo& charset = charset_info(ctx.charset);
    switch (charset.transfer) {
        case TextTransfer::kQuotedPrintable: {
            std::string encoded;
            int result = qp_encode(text, encoded);
            if (result < 0) return false;
            if (result == 0) {
                prepared = std::move(encoded);
                encoding = kEncodingQuotedPrintable;
            } else {
                prepared = text;
            }
            return true;
        }
        case TextTransfer::kBase64If8bit:
            if (!has_8bit(text)) {
                prepared = text;
                return true;
            }
            if (base64_encode_text(text, prepared, 1) < 0) return false;
            encoding = kEncodingBase64;
            return true;
        case TextTransfer::kJis: {
            std::string converted;
            const bool modern = ctx.options.mime == MimeMode::kModern;
            int result = kanji_convert(ctx.charset, kJis, text, converted,
                                       modern ? RomanEscape::kAscii : RomanEscape::kJisRoman,
                                       modern ? HalfWidthKana::kFullWidth : HalfWidthKana::kKeep);
            if (result < 0) return false;
            prepared = result == 0 ? std::move(converted) : std::string(text);
            return true;
        }
        case TextTransfer::kUtf8: {
            size_t high = 0, total = 0;
            for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0;
                 ++p, ++total)
                if (*p >= 0x80) ++high;
            if (high == 0) break;
            if (2 * high > total) {
                if (base64_encode_text(text, prepared, 1) < 0) return false;
                encoding = kEncodingBase64;
                return true;
            }
            if (qp_encode(text, prepared) < 0) return false;
            encoding = kEncodingQuotedPrintable;
            return true;
        }
        case TextTransfer::kAsIs:
            break;
    }
    prepared = text;
    return true;
}

// The most a line of mail may hold without its CR LF (RFC 5321 4.5.3.1.6,
// RFC 5322 2.1.1); a strict server refuses a longer one.
constexpr size_t kLongestTextLine = 998;

// Whether a line of the text, between line breaks of any kind as the line
// rule writes them, is longer than a server takes.
bool has_overlong_line(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t stop = text.find_first_of("\r\n", start);
        if (stop == std::string::npos) stop = text.size();
        if (stop - start > kLongestTextLine) return true;
        start = stop + 1;
    }
    return false;
}

// The text as it goes out, and its transfer encoding. A text that would go
// out with a line no server takes (a whole HTML page on one line) goes out
// quoted-printable instead, whose soft line breaks keep every line short;
// every other text goes out as the charset sends it. false when encoding
// fails.
bool prepare_text(const char* text, const Context& ctx, std::string& prepared, int& encoding) {
    if (!encode_for_charset(text, ctx, prepared, encoding)) return false;
    if ((encoding != kEncoding7bit && encoding != kEncoding8bit) || !has_overlong_line(prepared))
        return true;
    std::string encoded;
    if (qp_encode(prepared.c_str(), encoded) < 0) return false;
    prepared = std::move(encoded);
    encoding = kEncodingQuotedPrintable;
    return true;
}

// The recipients in the order RCPT TO names them: to, cc, then bcc, each
// list split at the commas between mailboxes, each the address alone. Empty
// or blank entries (two commas in a row, a comma at the end) name nobody and
// are left out.
std::vector<std::string> recipients_of(const HeaderList& headers) {
    std::string list = headers.to;
    if (headers.cc) list += "," + *headers.cc;
    if (headers.bcc) list += "," + *headers.bcc;
    trim_spaces(list);
    std::vector<std::string> recipients;
    std::string_view rest = list;
    size_t consumed = 0;
    while (auto mailbox = next_mailbox(rest, consumed)) {
        std::string recipient = envelope_address(*mailbox);
        if (!is_blank(recipient)) recipients.push_back(std::move(recipient));
        rest.remove_prefix(consumed);
    }
    return recipients;
}

// The plain-text rendering of the host's HTML, in the host's set.
std::string rendering_for_host(const char* html, const Context& ctx) {
    Context utf8 = ctx;
    utf8.charset = kUtf8;
    std::string text = html;
    to_host_charset(charset_info(ctx.charset).mime_name, text, utf8);
    text = html_to_text(text);
    to_host_charset("utf-8", text, ctx);
    return text;
}

// In an HTML sending, the attachments its HTML shows by cid:NAME. A
// Content-ID names one part: of two files with the same name (from two
// folders) only the first goes inline, the other stays an attachment.
void mark_inline(const char* html, AttachmentList& attachments) {
    std::set<std::string> shown;
    for (Attachment& entry : attachments.entries) {
        const std::string name = attachment_file_name(entry.path);
        entry.shown_inline = html_names_cid(html, name) && shown.insert(name).second;
    }
}

// Line breaks of a text as the line rule writes them: CR LF, and a lone CR
// or LF, each going out as CR LF.
int64_t line_breaks(const std::string& text) {
    int64_t breaks = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++breaks;
    return breaks;
}

// What the message will take on the wire, for SIZE=, never less: the
// header block as built with the longest boundary, the text with a second
// byte for each line break and a stuffing dot for each line, each
// attachment's part header and its base64 with CR LF line ends, and room
// for the delimiters.
int64_t wire_size_estimate(size_t header_block, const OutgoingText& text,
                           const AttachmentList& attachments, const Context& ctx) {
    auto lines = [](const std::string& t) { return line_breaks(t) + 1; };
    int64_t total = static_cast<int64_t>(header_block) + 8;
    total += static_cast<int64_t>(text.text.size() + text.plain.size());
    total += 2 * (lines(text.text) + lines(text.plain));              // line ends and stuffing dots
    if (text.html || !attachments.entries.empty()) total += 3 * 256;  // text parts, closings
    for (const Attachment& entry : attachments.entries) {
        // A line feed ends each base64 line of 72 characters: a CR joins it.
        const int64_t base64_lines = entry.encoded_size / (kBase64LineLength + 1) + 1;
        total +=
            entry.encoded_size + base64_lines +
            static_cast<int64_t>(
                attachment_part_header(std::string(kBoundaryMaxLength, 'x'), entry, ctx).size()) +
            256;
    }
    return total;
}

int64_t message_size(const OutgoingText& text, const AttachmentList& attachments) {
    int64_t total = static_cast<int64_t>(text.text.size() + text.plain.size());
    for (const Attachment& entry : attachments.entries) total += entry.encoded_size;
    return total;
}

// Limits that the command and header buffers set, checked before anything
// is sent so that the server never sees a cut command.
int check_buffer_limits(const HeaderList& headers, const std::vector<std::string>& recipients,
                        const AttachmentList& attachments, const OutgoingText& text,
                        const Context& ctx, size_t& header_block) {
    if (headers.envelope_from.size() > kMaxSenderLength) {
        ctx.diag.print('E', 1, "SENDMAIL: Refused: sender longer than %d characters",
                       static_cast<int>(kMaxSenderLength));
        return kInvalid;
    }
    if (recipients.empty()) {
        ctx.diag.print('E', 1, "SENDMAIL: Refused: no recipient in the header list");
        return kNoRecipient;
    }
    for (const std::string& recipient : recipients) {
        if (recipient.size() > kMaxRecipientLength) {
            ctx.diag.print('E', 1, "SENDMAIL: Refused: recipient longer than %d characters",
                           static_cast<int>(kMaxRecipientLength));
            return kInvalid;
        }
    }
    // The boundary of the real block is at most as long as this one.
    std::string block;
    MessageTime now = current_message_time();
    TopEntity top = top_entity(text, attachments, now, ctx);
    if (!top.subtype.empty()) top.boundary.assign(kBoundaryMaxLength, 'x');
    if (!build_header_block(headers, top, now, ctx, block)) {
        ctx.diag.print('E', 1, "SENDMAIL: Refused: header block longer than %d bytes",
                       kHeaderBlockCapacity - 1);
        return kInvalid;
    }
    // The Message-ID's host part may be longer than the one built here.
    header_block = block.size() + 256;
    return kOk;
}

// The sending over the session's kept connection: reused when it was
// opened for the same server and settings, is not idle for longer than the
// option allows and the server has not ended it meanwhile; opened (and
// kept) otherwise. A message whose first byte has gone out is never sent
// again; one that met a kept connection already gone goes over a new one.
int send_kept(SmtpLink& link, const ServerAddress& address, const HeaderList& headers,
              const std::vector<std::string>& recipients, const OutgoingText& outgoing,
              AttachmentList& attachments, const Context& session_ctx, const Context& ctx) {
    const SessionOptions& o = ctx.options;
    const uint64_t fingerprint = link_fingerprint(address.host, address.port, o);
    if (link.connection) {
        const uint64_t idle_ms = platform::monotonic_ms() - link.idle_since_ms;
        if (closed_while_idle(*link.connection)) {
            ctx.diag.print('F', 1, "SENDMAIL: Kept connection ended by the server");
            link.connection.reset();
        } else if (link.fingerprint != fingerprint ||
                   idle_ms > static_cast<uint64_t>(o.smtp_keep_open_s) * 1000) {
            close_smtp_link(link);
        }
    }
    for (bool retried = false;; retried = true) {
        const bool reused = link.connection != nullptr;
        if (reused) {
            ctx.diag.print('F', 1, "SENDMAIL: Reusing connection with server: %s and port: %d",
                           address.host.c_str(), address.port);
            if (link.needs_reset && !reset_dialogue(*link.connection, ctx)) {
                if (ctx.failure != nullptr) *ctx.failure = FailureRecord{};
                link.connection.reset();
                continue;
            }
        } else {
            ctx.diag.print('F', 1, "SENDMAIL: Opening connection with server: %s and port: %d",
                           address.host.c_str(), address.port);
            // The connection outlives this call: it borrows the session's
            // context, not this call's copy.
            link.connection = std::make_unique<Connection>(session_ctx);
            if (!link.connection->open(address.host.c_str(), address.port)) {
                link.connection.reset();
                return kNetwork;
            }
            ctx.diag.print('F', 1, "SENDMAIL: Opened socket, nr: %d", link.connection->socket());
            int status = open_dialogue(*link.connection, address.host, ctx, link.offer);
            if (status != kOk) {
                link.connection.reset();
                return status;
            }
            link.fingerprint = fingerprint;
        }
        link.needs_reset = false;
        TransactionOutcome outcome = run_transaction(*link.connection, link.offer, headers,
                                                     recipients, outgoing, attachments, ctx, true);
        if (outcome.after != LinkAfter::kUnusable) {
            link.needs_reset = outcome.after == LinkAfter::kNeedsReset;
            link.idle_since_ms = platform::monotonic_ms();
            return outcome.status;
        }
        const bool lost_before_message =
            reused && !retried && !outcome.data_started && link.connection->broken();
        link.connection.reset();
        if (!lost_before_message) return outcome.status;
        // The loss belongs to the old connection, not to this message.
        if (ctx.failure != nullptr) *ctx.failure = FailureRecord{};
        ctx.diag.print('F', 1, "SENDMAIL: Kept connection lost before the message, opening anew");
    }
}

int send_message(const char* server, const char* header_list, const char* text,
                 const char* attachment_list, int max_size, const Context& session_ctx,
                 SmtpLink* link) {
    // A US-ASCII host that hands over 8-bit text under the modern rules
    // means UTF-8 when it is valid UTF-8: it goes out labelled so, never as
    // 8-bit bytes called us-ascii. Anything else cannot be labelled at all.
    Context ctx = session_ctx;
    if (ctx.options.mime == MimeMode::kModern && ctx.charset == kUsAscii) {
        std::string_view headers_given = header_list != nullptr ? header_list : "";
        std::string_view text_given = text != nullptr ? text : "";
        if (has_8bit(headers_given) || has_8bit(text_given)) {
            if (!is_utf8(headers_given) || !is_utf8(text_given)) {
                ctx.diag.print('E', 1,
                               "SENDMAIL: Refused: 8-bit text that is not UTF-8, and the host "
                               "charset is US-ASCII");
                return kInvalid;
            }
            ctx.charset = kUtf8;
        }
    }
    HeaderList headers;
    int status = parse_header_list(header_list, headers, ctx);
    if (status == kNoRecipient) return kNoRecipient;
    if (status < 0) return kInvalid;

    AttachmentList attachments;
    status = parse_attachment_list(attachment_list, attachments, ctx, max_size);
    if (status < 0) return status;

    if (text == nullptr) return kInvalid;
    OutgoingText outgoing;
    if (!prepare_text(text, ctx, outgoing.text, outgoing.encoding)) return kInvalid;
    if (ctx.options.text_format == TextFormat::kHtml) {
        outgoing.html = true;
        mark_inline(text, attachments);
        std::string plain = rendering_for_host(text, ctx);
        if (!prepare_text(plain.c_str(), ctx, outgoing.plain, outgoing.plain_encoding))
            return kInvalid;
    }

    if (max_size != 0 && message_size(outgoing, attachments) > max_size) return kOverSizeLimit;

    std::vector<std::string> recipients = recipients_of(headers);
    size_t header_block = 0;
    status = check_buffer_limits(headers, recipients, attachments, outgoing, ctx, header_block);
    if (status != kOk) return status;
    outgoing.size_estimate = wire_size_estimate(header_block, outgoing, attachments, ctx);

    const SessionOptions& o = ctx.options;
    if (o.smtp_auth != SmtpAuth::kNone) {
        if (!credentials_may_go(ctx, false, "SENDMAIL")) return kInvalid;
        if (o.smtp_user.empty() && o.smtp_auth != SmtpAuth::kXoauth2) {
            ctx.diag.print('E', 1, "SENDMAIL: Refused: AUTH needs the option smtp_user");
            return kInvalid;
        }
    }

    ServerAddress address;
    int default_port = o.security == Security::kImplicitTls ? kSmtpsPort : kSmtpPort;
    if (!split_server(server != nullptr ? server : "", default_port, address)) {
        ctx.diag.print('E', 1, "SENDMAIL: Refused: host name longer than %d characters",
                       static_cast<int>(kMaxHostLength));
        return kInvalid;
    }
    if (address.port_given)
        ctx.diag.print('F', 1, "SENDMAIL: Using port %d in stead of default port", address.port);
    if (link != nullptr && o.smtp_keep_open_s > 0)
        return send_kept(*link, address, headers, recipients, outgoing, attachments, session_ctx,
                         ctx);
    // The option was cleared since a connection was kept: it ends here.
    if (link != nullptr) close_smtp_link(*link);
    ctx.diag.print('F', 1, "SENDMAIL: Opening connection with server: %s and port: %d",
                   address.host.c_str(), address.port);
    Connection connection(ctx);
    if (!connection.open(address.host.c_str(), address.port)) return kNetwork;
    ctx.diag.print('F', 1, "SENDMAIL: Opened socket, nr: %d", connection.socket());
    return run_dialogue(connection, address.host, headers, recipients, outgoing, attachments, ctx);
}

}  // namespace

uint64_t link_fingerprint(const std::string& host, int port, const SessionOptions& options) {
    std::string settings = host + '\0' + std::to_string(port) + '\0' +
                           std::to_string(static_cast<int>(options.security)) +
                           std::to_string(static_cast<int>(options.verify)) +
                           std::to_string(static_cast<int>(options.smtp_auth)) +
                           std::to_string(static_cast<int>(options.mime)) +
                           std::to_string(static_cast<int>(options.pipelining)) +
                           (options.allow_plaintext_auth ? "1" : "0") + '\0' + options.ca_file +
                           '\0' + options.helo_name + '\0' + options.smtp_user + '\0' +
                           options.smtp_password;
    // FNV-1a: the fingerprint only tells settings apart, it guards nothing.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : settings) hash = (hash ^ c) * 0x100000001b3ULL;
    wipe(settings);
    return hash;
}

bool closed_while_idle(Connection& connection) {
    if (!connection.is_open()) return true;
    if (connection.buffered() > 0) return true;
    return platform::socket_api().wait_ready(connection.socket(), false, 0) != 0;
}

void close_smtp_link(SmtpLink& link) {
    if (!link.connection) return;
    if (!closed_while_idle(*link.connection))
        quit_dialogue(*link.connection, link.connection->context());
    link.connection.reset();
    link.needs_reset = false;
}

int send_mail(const char* server, const char* header_list, const char* text,
              const char* attachment_list, int max_size, const Context& ctx, SmtpLink* link) {
    try {
        return send_message(server, header_list, text, attachment_list, max_size, ctx, link);
    } catch (const std::bad_alloc&) {
        return kInvalid;
    }
}

}  // namespace brevorin
