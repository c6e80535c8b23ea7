#include "smtp/compose.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/base64.h"
#include "mime/media_types.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "smtp/dialogue.h"
#include "smtp/header_encoding.h"

#ifndef BREVORIN_VERSION
#define BREVORIN_VERSION "unknown"
#endif

namespace brevorin {

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char kCrLf[] = "\r\n";
constexpr char kEndOfData[] = "\r\n.\r\n";
constexpr char kBoundaryHead[] = "--NextPart--";
constexpr char kBoundaryTail[] = "--KTHZ1999--";
constexpr char kMailerProduct[] = "Dravemont TESSERA ";
constexpr char kMailerVersion[] = "1.1";

const char* transfer_encoding_line(int text_encoding) {
    switch (text_encoding) {
        case kEncodingBase64:
            return "Content-Transfer-Encoding: base64";
        case kEncoding8bit:
            return "Content-Transfer-Encoding: 8bit";
        case kEncodingBinary:
            return "Content-Transfer-Encoding: binary";
        case kEncodingQuotedPrintable:
            return "Content-Transfer-Encoding: quoted-printable";
        default:
            return "Content-Transfer-Encoding: 7bit";
    }
}

const char* priority_suffix(int priority) {
    switch (priority) {
        case 1:
            return " (Lowest)";
        case 2:
            return " (Low)";
        case 3:
            return " (Normal)";
        case 4:
            return " (High)";
        case 5:
            return " (Highest)";
        default:
            return "";
    }
}

void add_line(std::string& block, const std::string& line) {
    block += line;
    block += kCrLf;
}

int write_all(Connection& conn, const char* data, size_t length) {
    if (length == 0) return 0;
    int n = static_cast<int>(length);
    return conn.write(data, n) == n ? 0 : -1;
}

int write_all(Connection& conn, const std::string& data) {
    return write_all(conn, data.data(), data.size());
}

// Characters that RFC 2046 allows in a boundary; a zone name may hold others
// (a localised Windows zone name holds letters of the host's code page).
bool boundary_character(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("'()+_,-./:=? ", c) != nullptr && c != '\0';
}

// "Content-Type: text/plain; charset=..." for the host's set, or the same
// for text/html.
std::string text_type_line(const Context& ctx, bool html) {
    std::string line = charset_info(ctx.charset).content_type_line;
    size_t at = line.find("text/plain");
    if (html && at != std::string::npos) line.replace(at, 10, "text/html");
    return line;
}

std::string text_part_header(const std::string& boundary, int text_encoding, const Context& ctx,
                             bool html = false) {
    std::string header = kCrLf;
    header += "--" + boundary + kCrLf;
    add_line(header, text_type_line(ctx, html));
    add_line(header, transfer_encoding_line(text_encoding));
    header += kCrLf;
    return header;
}

// The start of a nested multipart as a part of the one around it.
std::string multipart_part_header(const std::string& outer, const char* subtype,
                                  const std::string& inner, const char* extra = "") {
    return std::string(kCrLf) + "--" + outer + kCrLf + "Content-Type: multipart/" + subtype + ";" +
           kCrLf + "\tboundary=\"" + inner + "\"" + extra + kCrLf + kCrLf;
}

// Attachments are typed by their extension under the modern rules and in
// HTML sendings; text types carry the host's charset.
std::string attachment_type(const std::string& name, const Context& ctx) {
    if (ctx.options.mime != MimeMode::kModern && ctx.options.text_format != TextFormat::kHtml)
        return kAttachmentContentType;
    size_t dot = name.rfind('.');
    std::string type = type_for_extension(dot == std::string::npos ? "" : name.substr(dot + 1));
    if (type.compare(0, 5, "text/") == 0)
        type += std::string("; charset=") + charset_info(ctx.charset).mime_name;
    return type;
}

std::string attachment_part_header(const std::string& boundary, const Attachment& entry,
                                   const Context& ctx) {
    std::string header = kCrLf;
    header += kCrLf;
    header += "--" + boundary + kCrLf;
    std::string name = attachment_file_name(entry.path);
    const std::string type = attachment_type(name, ctx);
    if (entry.shown_inline) {
        // What the HTML shows by cid:NAME.
        add_line(header, "Content-Type: " + type + "; name=\"" + name + "\"");
        add_line(header, "Content-Transfer-Encoding: base64");
        add_line(header, "Content-ID: <" + name + ">");
        add_line(header, "Content-Disposition: inline; filename=\"" + name + "\"");
        header += kCrLf;
        return header;
    }
    // A UTF-8 host's 8-bit name goes out as RFC 2231 readers want it, and
    // as an encoded word for the older ones that read name=.
    std::string extended =
        ctx.charset == kUtf8 ? utf8_file_name_parameters(name, ctx) : std::string();
    if (!extended.empty()) {
        add_line(header, "Content-Type: " + type + ";");
        add_line(header,
                 "\tname=\"" + utf8_encoded_words(name, ctx, sizeof "\tname=\"" - 1) + "\"");
        add_line(header, "Content-Transfer-Encoding: base64");
        add_line(header, "Content-Disposition: attachment;");
        add_line(header, "\t" + extended);
        header += kCrLf;
        return header;
    }
    add_line(header, "Content-Type: " + type);
    add_line(header, "Content-Transfer-Encoding: base64");
    add_line(header, "Content-Disposition: attachment; filename=\"" + name + "\"");
    header += kCrLf;
    return header;
}

// Encodes one attachment as it goes out, in lines ended by CR LF as mail data
// needs them (a base64 line never begins with a dot, so nothing is stuffed).
// A read error is a failure: the part would otherwise go out cut short with
// nothing to tell; the message is then never ended, so no server delivers it.
int stream_attachment(Connection& conn, const Attachment& entry, const Context& ctx) {
    std::FILE* file = entry.source.get();
    std::rewind(file);
    std::vector<char> chunk(kAttachmentChunk);
    std::string wire;
    wire.reserve(kAttachmentChunk / 3 * 4 + kAttachmentChunk / 27 + 8);
    Base64Encoder encoder("\r\n");
    while (true) {
        size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
        wire.clear();
        if (n < chunk.size()) {
            if (std::ferror(file)) {
                ctx.diag.print('E', 1, "SMTP_PUTMESSAGE: Error reading attachment: %s",
                               entry.path.c_str());
                return kAttachEncode;
            }
            encoder.feed(chunk.data(), n, wire);
            encoder.finish(wire);
        } else {
            encoder.feed(chunk.data(), n, wire);
        }
        if (!wire.empty() && write_all(conn, wire) != 0) {
            ctx.diag.print('E', 1, "SMTP_PUTMESSAGE: Error writing data to socket");
            return -1;
        }
        if (n < chunk.size()) return 0;
    }
}

int write_attachment(Connection& conn, const std::string& boundary, const Attachment& entry,
                     const Context& ctx) {
    if (write_all(conn, attachment_part_header(boundary, entry, ctx)) != 0) return -1;
    if (int streamed = stream_attachment(conn, entry, ctx)) return streamed;
    ctx.diag.print('F', 1, "SMTP_PUTMESSAGE: Done writing attachment: %s",
                   attachment_file_name(entry.path).c_str());
    return 0;
}

// An HTML sending after its header block: the rendering and the HTML as
// alternatives, the HTML in a related multipart with what it shows inline,
// and the other attachments around them in a mixed one.
int write_html_body(Connection& conn, const OutgoingText& text, AttachmentList& attachments,
                    const TopEntity& top, const Context& ctx) {
    bool mixed = top.subtype == "mixed";
    std::string alternative = mixed ? random_boundary("alt") : top.boundary;
    if (mixed &&
        write_all(conn, multipart_part_header(top.boundary, "alternative", alternative)) != 0)
        return -1;
    if (write_all(conn, text_part_header(alternative, text.plain_encoding, ctx)) != 0) return -1;
    if (write_text_lines(conn, text.plain) != 0) return -1;
    bool any_inline = false;
    for (const Attachment& entry : attachments.entries)
        any_inline = any_inline || entry.shown_inline;
    std::string related = any_inline ? random_boundary("rel") : alternative;
    if (any_inline && write_all(conn, multipart_part_header(alternative, "related", related,
                                                            "; type=\"text/html\"")) != 0)
        return -1;
    if (write_all(conn, text_part_header(related, text.encoding, ctx, true)) != 0) return -1;
    if (write_text_lines(conn, text.text) != 0) return -1;
    for (const Attachment& entry : attachments.entries)
        if (entry.shown_inline)
            if (int written = write_attachment(conn, related, entry, ctx)) return written;
    if (any_inline && write_all(conn, std::string(kCrLf) + "--" + related + "--" + kCrLf) != 0)
        return -1;
    if (write_all(conn, std::string(kCrLf) + "--" + alternative + "--" + kCrLf) != 0) return -1;
    if (!mixed) return 0;
    for (const Attachment& entry : attachments.entries)
        if (!entry.shown_inline)
            if (int written = write_attachment(conn, top.boundary, entry, ctx)) return written;
    return write_all(conn, std::string(kCrLf) + "--" + top.boundary + "--" + kCrLf);
}

int write_message(Connection& conn, const HeaderList& headers, const OutgoingText& text,
                  AttachmentList& attachments, const Context& ctx) {
    MessageTime time = current_message_time();
    TopEntity top = top_entity(text, attachments, time, ctx);
    bool multipart = !top.subtype.empty();
    const std::string& boundary = top.boundary;
    std::string block;
    std::string header_now;
    if (!build_header_block(headers, top, time, ctx, block, &header_now)) {
        ctx.diag.print('E', 1, "SMTP_PUTMESSAGE: Header block longer than %d bytes",
                       kHeaderBlockCapacity - 1);
        return -1;
    }
    if (header_now.size() < kHeaderTraceLimit)
        ctx.diag.print('D', 1, "SENDMAIL: Header now: %s", header_now.c_str());
    if (write_all(conn, block) != 0) return -1;

    if (text.html) {
        if (int written = write_html_body(conn, text, attachments, top, ctx)) return written;
    } else if (!multipart) {
        ctx.diag.print('F', 2,
                       "SMTP_UTMESSAGE: Writing MIME message using text part and base64 part");
        if (write_text_lines(conn, text.text) != 0) return -1;
    } else {
        if (write_all(conn, text_part_header(boundary, text.encoding, ctx)) != 0) return -1;
        if (write_text_lines(conn, text.text) != 0) return -1;
        for (const Attachment& entry : attachments.entries)
            if (int written = write_attachment(conn, boundary, entry, ctx)) return written;
        std::string closing = std::string(kCrLf) + "--" + boundary + "--" + kCrLf;
        if (write_all(conn, closing) != 0) return -1;
    }
    return write_all(conn, kEndOfData, sizeof kEndOfData - 1);
}

// The host part of a Message-ID: the local host name, kept to the
// characters a dot-atom may hold.
std::string message_id_host() {
    std::string name;
    for (char c : local_host_name()) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (ok) name += c;
    }
    while (!name.empty() && name.front() == '.') name.erase(0, 1);
    while (!name.empty() && name.back() == '.') name.pop_back();
    return name.empty() ? std::string(kFallbackHeloName) : name;
}

}  // namespace

std::string message_id_line() {
    // The random device of some C runtimes is a fixed sequence; the clock and
    // a counter keep two messages of one process apart even then.
    static std::atomic<uint32_t> counter{0};
    std::random_device device;
    uint64_t random = (static_cast<uint64_t>(device()) << 32) ^ device();
    uint64_t now = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch() /
                                         std::chrono::microseconds(1));
    char id[64];
    std::snprintf(id, sizeof id, "%016llx.%012llx.%04x", static_cast<unsigned long long>(random),
                  static_cast<unsigned long long>(now & 0xFFFFFFFFFFFFull),
                  static_cast<unsigned>(counter.fetch_add(1) & 0xFFFF));
    return std::string("Message-ID: <") + id + "@" + message_id_host() + ">";
}

MessageTime current_message_time() {
    return platform::now();
}

int zone_offset_minutes(const std::tm& local, const std::tm& utc) {
    // The two dates differ by at most one day, across a year's end at worst.
    int days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
    return days * 24 * 60 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
}

std::string date_line(const MessageTime& time) {
    const std::tm& t = time.local;
    int offset = zone_offset_minutes(time.local, time.utc);
    char sign = offset < 0 ? '-' : '+';
    offset = std::abs(offset);
    char line[96];
    std::snprintf(line, sizeof line, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02d%02d\r\n",
                  kDayNames[(t.tm_wday % 7 + 7) % 7], t.tm_mday,
                  kMonthNames[(t.tm_mon % 12 + 12) % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                  t.tm_sec, sign, offset / 60, offset % 60);
    return line;
}

std::string boundary_for(const MessageTime& time) {
    const std::tm& t = time.local;
    char digits[40];
    std::snprintf(digits, sizeof digits, "--%02d%04d%02d%02d%02d", t.tm_mday, t.tm_year + 1900,
                  t.tm_hour, t.tm_min, t.tm_sec);
    std::string piece = digits;
    // The zone name gets what room the 39-character piece leaves.
    size_t room =
        kBoundaryTimeMaxLength > piece.size() + 2 ? kBoundaryTimeMaxLength - piece.size() - 2 : 0;
    for (char c : time.zone_name) {
        if (room == 0) break;
        if (!boundary_character(c)) continue;
        piece += c;
        --room;
    }
    piece += "--";
    return kBoundaryHead + piece + kBoundaryTail;
}

std::string random_boundary(const char* kind) {
    return std::string("=_brevorin_") + kind + "_" + platform::random_hex(24);
}

TopEntity top_entity(const OutgoingText& text, const AttachmentList& attachments,
                     const MessageTime& time, const Context& ctx) {
    TopEntity top;
    top.text_encoding = text.encoding;
    top.html = text.html;
    bool files = false;
    for (const Attachment& entry : attachments.entries) files = files || !entry.shown_inline;
    if (text.html) {
        top.subtype = files ? "mixed" : "alternative";
        top.boundary = random_boundary(files ? "mix" : "alt");
    } else if (files) {
        top.subtype = "mixed";
        top.boundary =
            ctx.options.mime == MimeMode::kModern ? random_boundary("mix") : boundary_for(time);
    }
    return top;
}

bool build_header_block(const HeaderList& headers, const TopEntity& top, const MessageTime& time,
                        const Context& ctx, std::string& block, std::string* header_now) {
    const bool multipart = !top.subtype.empty();
    block = date_line(time);
    if (ctx.options.message_id == MessageIdMode::kAuto) add_line(block, message_id_line());
    add_line(block, "From: " + headers.from);
    add_line(block, "To: " + headers.to);
    if (headers.cc) add_line(block, "cc: " + *headers.cc);
    if (headers.reply_to) add_line(block, "Reply-To: " + *headers.reply_to);
    if (headers.priority != -1 && ctx.options.mime != MimeMode::kModern) {
        add_line(block, "X-Priority: " + std::to_string(headers.priority) +
                            priority_suffix(headers.priority));
    } else if (headers.priority != -1 && headers.priority != 3) {
        // The host counts upwards (5 highest); mail clients read X-Priority
        // the other way round (1 highest), and Importance besides it.
        add_line(block, "X-Priority: " + std::to_string(6 - headers.priority) +
                            priority_suffix(headers.priority));
        if (headers.priority == 5) add_line(block, "Importance: high");
        if (headers.priority == 1) add_line(block, "Importance: low");
    }
    if (headers.subject) add_line(block, "Subject: " + *headers.subject);
    // The modern rules name the library that wrote the message; the classic
    // line names the host product, as it always has.
    if (ctx.options.mime == MimeMode::kModern)
        add_line(block, std::string("X-Mailer: brevorin ") + BREVORIN_VERSION);
    else
        add_line(block, std::string("X-Mailer: ") + kMailerProduct + ctx.host_version + ", " +
                            kMailerVersion);
    add_line(block, "MIME-Version: 1.0");
    if (multipart) {
        add_line(block, "Content-Type: multipart/" + top.subtype + ";");
        add_line(block, "\tboundary=\"" + top.boundary + "\"");
    } else {
        add_line(block, text_type_line(ctx, top.html));
        add_line(block, transfer_encoding_line(top.text_encoding));
    }
    if (header_now != nullptr) *header_now = block;
    block += kCrLf;
    if (multipart) add_line(block, "This is a multi-part message in MIME format.");
    return block.size() < static_cast<size_t>(kHeaderBlockCapacity);
}

int write_text_lines(Connection& conn, const std::string& text) {
    size_t pos = 0;
    const size_t end = text.size();
    while (pos < end) {
        size_t stop = text.find_first_of("\r\n", pos);
        if (stop == std::string::npos) stop = end;
        if (text[pos] == '.' && write_all(conn, ".", 1) != 0) return -1;
        if (stop + 1 < end && text[stop] == '\r' && text[stop + 1] == '\n') {
            if (write_all(conn, text.data() + pos, stop + 2 - pos) != 0) return -1;
            pos = stop + 2;
            continue;
        }
        if (write_all(conn, text.data() + pos, stop - pos) != 0) return -1;
        if (stop == end) break;
        if (write_all(conn, kCrLf, 2) != 0) return -1;
        pos = stop + 1;
    }
    return 0;
}

int put_message(Connection& conn, const HeaderList& headers, const OutgoingText& text,
                AttachmentList& attachments, const Context& ctx) {
    // Gathered into large sends: one system call per text line or 512-byte
    // chunk costs dearly where each socket call is slow. A failed send shows
    // as -1 from the write (or the uncork) that triggered it.
    conn.cork();
    int result = write_message(conn, headers, text, attachments, ctx);
    if (result == kAttachEncode) return result;  // nothing more may go out
    int flushed = conn.uncork();
    return result == 0 && flushed == 0 ? 0 : -1;
}

}  // namespace brevorin
