#include "smtp/compose.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/base64.h"
#include "codec/kanji.h"
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

// Where a composed message goes: the connection after DATA, where lines
// beginning with a dot are stuffed and a lone dot ends the message, or a
// buffer that BDAT carries as it stands, its length stated beforehand.
class MessageOut {
  public:
    explicit MessageOut(Connection& conn) : conn_(&conn) {}
    explicit MessageOut(std::string& buffer) : buffer_(&buffer) {}

    int put(const char* data, size_t length) {
        if (length == 0) return 0;
        if (buffer_ != nullptr) {
            buffer_->append(data, length);
            return 0;
        }
        int n = static_cast<int>(length);
        return conn_->write(data, n) == n ? 0 : -1;
    }
    bool stuffed() const { return conn_ != nullptr; }

  private:
    Connection* conn_ = nullptr;
    std::string* buffer_ = nullptr;
};

int write_all(MessageOut& conn, const char* data, size_t length) {
    return conn.put(data, length);
}

int write_all(MessageOut& conn, const std::string& data) {
    return write_all(conn, data.data(), data.size());
}

int put_text_lines(MessageOut& conn, const std::string& text);

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
    if (ctx.options.mime == MimeMode::kModern && ctx.charset == kChinese)
        line = "Content-Type: text/plain; charset=gb2312";
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
// HTML sendings; text types carry the host's charset. A file goes out as
// its bytes on disk, so the modern rules name the encoding those are in
// (EUC-JP, SHIFT_JIS, GB2312), not the one the host's message text is
// sent in or labelled with (ISO-2022-JP, CN-GB).
std::string attachment_type(const std::string& name, const Context& ctx) {
    const bool modern = ctx.options.mime == MimeMode::kModern;
    if (!modern && ctx.options.text_format != TextFormat::kHtml) return kAttachmentContentType;
    size_t dot = name.rfind('.');
    std::string type = type_for_extension(dot == std::string::npos ? "" : name.substr(dot + 1));
    const CharsetInfo& charset = charset_info(ctx.charset);
    if (type.compare(0, 5, "text/") == 0)
        type += std::string("; charset=") + (modern ? charset.encoding : charset.mime_name);
    return type;
}

// Bytes of the host character that starts at text[at].
size_t host_character_length(const std::string& text, size_t at, int charset) {
    const auto c = static_cast<unsigned char>(text[at]);
    size_t length = 1;
    switch (charset) {
        case kUtf8:
            length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            break;
        case kEuc:
            length = c == 0x8F ? 3 : c >= 0x80 ? 2 : 1;
            break;
        case kSjis:
            length = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC) ? 2 : 1;
            break;
        case kChinese:
        case kKorean:
            length = c >= 0x80 ? 2 : 1;
            break;
        default:
            break;
    }
    return std::min(length, text.size() - at);
}

// A file name the way the message carries it: the charset its parameters
// name and the name's bytes in it. A Japanese host's name travels in
// ISO-2022-JP like its text and subject; the others keep the host's bytes
// under the name converters know them by (GB2312, not the label "CN-GB"
// that few readers take). False when the name has no charset to be
// labelled with: 8-bit bytes on a US-ASCII host that are not UTF-8.
struct NameCharset {
    std::string label;
    int code = kUsAscii;
};

bool name_charset(const std::string& name, const Context& ctx, NameCharset& charset) {
    charset.code = ctx.charset;
    if (ctx.charset == kUsAscii) {
        if (!is_utf8(name)) return false;
        charset.code = kUtf8;
    }
    charset.label = charset.code == kEuc || charset.code == kSjis
                        ? charset_info(charset.code).mime_name
                        : charset_info(charset.code).encoding;
    return true;
}

bool message_bytes(const std::string& host, const NameCharset& charset, std::string& bytes) {
    if (charset.code != kEuc && charset.code != kSjis) {
        bytes = host;
        return true;
    }
    int status = kanji_convert(charset.code, kJis, host.c_str(), bytes, RomanEscape::kAscii,
                               HalfWidthKana::kFullWidth);
    if (status == 1) bytes = host;
    return status >= 0;
}

// Cuts a host name into pieces between its characters, each as long as
// fits(piece) allows; a piece holds one character at least. Each piece is
// converted on its own, so a Japanese piece opens and closes its own
// escape sequences and any reader can take the pieces one by one.
template <typename Fits>
std::vector<std::string> name_pieces(const std::string& name, const Context& ctx, Fits fits) {
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t at = 0; at < name.size();) {
        size_t length = host_character_length(name, at, ctx.charset);
        std::string longer = piece + name.substr(at, length);
        if (!piece.empty() && !fits(longer, pieces.size())) {
            pieces.push_back(piece);
            longer = name.substr(at, length);
        }
        piece = std::move(longer);
        at += length;
    }
    if (!piece.empty()) pieces.push_back(piece);
    return pieces;
}

// Room for a parameter on a line of its own: a tab before it, a ";" after.
constexpr size_t kParameterRoom = kFoldedLineLength - 2;

// A file name as RFC 2231 parameters, one a line: a single one where it
// fits, continuations (attribute*0*=, attribute*1*=, ...) where it does not.
// A 7-bit name stays readable in quotation marks.
std::vector<std::string> name_parameters(const char* attribute, const std::string& name,
                                         const NameCharset& charset, const Context& ctx) {
    const bool quoted = !has_8bit(name);
    const std::string intro = quoted ? std::string() : charset.label + "''";
    auto value = [&](const std::string& host) {
        std::string bytes;
        if (quoted) return "\"" + host + "\"";
        message_bytes(host, charset, bytes);
        return rfc2231_value(bytes);
    };
    const std::string whole = std::string(attribute) + (quoted ? "=" : "*=") + intro + value(name);
    if (whole.size() <= kParameterRoom) return {whole};
    auto head = [&](size_t n) {
        return std::string(attribute) + "*" + std::to_string(n) + (quoted ? "=" : "*=") +
               (n == 0 ? intro : std::string());
    };
    auto fits = [&](const std::string& candidate, size_t n) {
        return head(n).size() + value(candidate).size() <= kParameterRoom;
    };
    std::vector<std::string> parameters;
    for (const std::string& piece : name_pieces(name, ctx, fits))
        parameters.push_back(head(parameters.size()) + value(piece));
    return parameters;
}

// A name as RFC 2047 B words for readers that know only name=: each word
// short enough that the quoted value's lines stay within 78 characters.
std::string name_words(const std::string& name, const NameCharset& charset, const Context& ctx) {
    const std::string open = "=?" + charset.label + "?B?";
    auto word = [&](const std::string& host) {
        std::string bytes;
        message_bytes(host, charset, bytes);
        return open + base64_encode_bytes(bytes) + "?=";
    };
    auto fits = [&](const std::string& candidate, size_t) {
        return word(candidate).size() <= kFoldedLineLength - 8;  // \tname=" and "
    };
    std::string words;
    for (const std::string& piece : name_pieces(name, ctx, fits)) {
        if (!words.empty()) words += "\r\n ";
        words += word(piece);
    }
    return words;
}

// "Content-Type: " and a type; under the modern rules a type too long for
// that line (the long vnd. types of office documents) goes on the next.
std::string content_type_line(const std::string& type, const Context& ctx) {
    const std::string line = "Content-Type: " + type;
    if (ctx.options.mime != MimeMode::kModern || line.size() <= kFoldedLineLength) return line;
    return "Content-Type:\r\n " + type;
}

// The modern rules' name parameters, where the classic form does not do: a
// name that is not ASCII goes out as RFC 2231 (and as encoded words in
// name= for older readers), a long one in continuations, so that every line
// stays within 78 characters. False where the classic form is kept.
bool modern_name_lines(const std::string& name, const std::string& type, bool shown_inline,
                       const Context& ctx, std::string& header) {
    const char* disposition = shown_inline ? "inline" : "attachment";
    NameCharset charset;
    if (has_8bit(name)) {
        // A name without a charset to name, or one the Japanese converter
        // refuses, keeps its bytes as the classic form has them.
        std::string bytes;
        if (!name_charset(name, ctx, charset) || !message_bytes(name, charset, bytes)) return false;
    } else {
        // The classic lines, kept where they fit.
        const size_t quoted = name.size() + 2;
        const size_t disposition_line =
            std::strlen("Content-Disposition: ; filename=") + std::strlen(disposition) + quoted;
        const size_t type_line = std::strlen("Content-Type: ; name=") + type.size() + quoted;
        if (disposition_line <= kFoldedLineLength &&
            (!shown_inline || type_line <= kFoldedLineLength))
            return false;
    }
    if (has_8bit(name)) {
        add_line(header, content_type_line(type + ";", ctx));
        add_line(header, "\tname=\"" + name_words(name, charset, ctx) + "\"");
    } else {
        add_line(header, content_type_line(type, ctx));
    }
    add_line(header, "Content-Transfer-Encoding: base64");
    if (shown_inline) add_line(header, "Content-ID: <" + name + ">");
    add_line(header, std::string("Content-Disposition: ") + disposition + ";");
    std::vector<std::string> parameters = name_parameters("filename", name, charset, ctx);
    for (size_t n = 0; n < parameters.size(); ++n)
        add_line(header, "\t" + parameters[n] + (n + 1 < parameters.size() ? ";" : ""));
    header += kCrLf;
    return true;
}

}  // namespace

std::string attachment_part_header(const std::string& boundary, const Attachment& entry,
                                   const Context& ctx) {
    std::string header = kCrLf;
    header += kCrLf;
    header += "--" + boundary + kCrLf;
    std::string name = attachment_file_name(entry.path);
    const std::string type = attachment_type(name, ctx);
    if (ctx.options.mime == MimeMode::kModern &&
        modern_name_lines(name, type, entry.shown_inline, ctx, header))
        return header;
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
    std::string extended = ctx.charset == kUtf8 ? utf8_file_name_parameters(name) : std::string();
    if (!extended.empty()) {
        add_line(header, "Content-Type: " + type + ";");
        add_line(header, "\tname=\"" + utf8_encoded_words(name) + "\"");
        add_line(header, "Content-Transfer-Encoding: base64");
        add_line(header, "Content-Disposition: attachment;");
        add_line(header, "\t" + extended);
        header += kCrLf;
        return header;
    }
    add_line(header, content_type_line(type, ctx));
    add_line(header, "Content-Transfer-Encoding: base64");
    add_line(header, "Content-Disposition: attachment; filename=\"" + name + "\"");
    header += kCrLf;
    return header;
}

namespace {

// Encodes one attachment as it goes out, in lines ended by CR LF as mail data
// needs them (a base64 line never begins with a dot, so nothing is stuffed).
// A read error is a failure: the part would otherwise go out cut short with
// nothing to tell; the message is then never ended, so no server delivers it.
int stream_attachment(MessageOut& conn, const Attachment& entry, const Context& ctx) {
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

int write_attachment(MessageOut& conn, const std::string& boundary, const Attachment& entry,
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
int write_html_body(MessageOut& conn, const OutgoingText& text, AttachmentList& attachments,
                    const TopEntity& top, const Context& ctx) {
    bool mixed = top.subtype == "mixed";
    std::string alternative = mixed ? random_boundary("alt") : top.boundary;
    if (mixed &&
        write_all(conn, multipart_part_header(top.boundary, "alternative", alternative)) != 0)
        return -1;
    if (write_all(conn, text_part_header(alternative, text.plain_encoding, ctx)) != 0) return -1;
    if (put_text_lines(conn, text.plain) != 0) return -1;
    bool any_inline = false;
    for (const Attachment& entry : attachments.entries)
        any_inline = any_inline || entry.shown_inline;
    std::string related = any_inline ? random_boundary("rel") : alternative;
    if (any_inline && write_all(conn, multipart_part_header(alternative, "related", related,
                                                            "; type=\"text/html\"")) != 0)
        return -1;
    if (write_all(conn, text_part_header(related, text.encoding, ctx, true)) != 0) return -1;
    if (put_text_lines(conn, text.text) != 0) return -1;
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

int write_message(MessageOut& conn, const HeaderList& headers, const OutgoingText& text,
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
        if (put_text_lines(conn, text.text) != 0) return -1;
    } else {
        if (write_all(conn, text_part_header(boundary, text.encoding, ctx)) != 0) return -1;
        if (put_text_lines(conn, text.text) != 0) return -1;
        for (const Attachment& entry : attachments.entries)
            if (int written = write_attachment(conn, boundary, entry, ctx)) return written;
        std::string closing = std::string(kCrLf) + "--" + boundary + "--" + kCrLf;
        if (write_all(conn, closing) != 0) return -1;
    }
    // BDAT ends with the line break the final dot would have followed, so
    // that both ways deliver the same bytes.
    if (!conn.stuffed()) return write_all(conn, kCrLf, 2);
    return write_all(conn, kEndOfData, sizeof kEndOfData - 1);
}

// A name kept to the characters a dot-atom may hold, without dots at its ends.
std::string dot_atom_name(const std::string& text) {
    std::string name;
    for (char c : text) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (ok) name += c;
    }
    while (!name.empty() && name.front() == '.') name.erase(0, 1);
    while (!name.empty() && name.back() == '.') name.pop_back();
    return name;
}

// The host part of a Message-ID: the local host name, kept to the
// characters a dot-atom may hold.
std::string message_id_host() {
    std::string name = dot_atom_name(local_host_name());
    return name.empty() ? std::string(kFallbackHeloName) : name;
}

}  // namespace

std::string helo_name(const Context& ctx) {
    return ctx.options.helo_name.empty() ? local_host_name() : ctx.options.helo_name;
}

std::string address_domain(const std::string& address) {
    // The display name may hold an "@" of its own: the address is what the
    // last angle brackets enclose.
    size_t open = address.rfind('<');
    std::string bare = open == std::string::npos ? address : address.substr(open + 1);
    bare = bare.substr(0, bare.find('>'));
    size_t at = bare.rfind('@');
    if (at == std::string::npos) return std::string();
    // A domain that is no dot-atom as it stands (an address literal, UTF-8)
    // is not made into another domain by dropping characters.
    std::string domain = bare.substr(at + 1);
    return dot_atom_name(domain) == domain ? domain : std::string();
}

std::string message_id_line(const std::string& domain) {
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
    return std::string("Message-ID: <") + id + "@" + (domain.empty() ? message_id_host() : domain) +
           ">";
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
    // Under the modern rules the id names the sender's domain, which is
    // the sender's to keep unique; a machine name often is no domain at all.
    if (ctx.options.message_id == MessageIdMode::kAuto)
        add_line(block, message_id_line(ctx.options.mime == MimeMode::kModern
                                            ? address_domain(headers.envelope_from)
                                            : std::string()));
    // A long list is folded between its mailboxes: under the classic rules
    // only where the line could not be sent at all.
    const size_t limit =
        ctx.options.mime == MimeMode::kModern ? kFoldedLineLength : kLongestHeaderLine;
    add_line(block, "From: " + fold_address_list(headers.from, 6, limit));
    add_line(block, "To: " + fold_address_list(headers.to, 4, limit));
    if (headers.cc) add_line(block, "cc: " + fold_address_list(*headers.cc, 4, limit));
    if (headers.reply_to)
        add_line(block, "Reply-To: " + fold_address_list(*headers.reply_to, 10, limit));
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

bool html_names_cid(std::string_view html, const std::string& name) {
    const std::string url = "cid:" + name;
    for (size_t at = html.find(url); at != std::string_view::npos; at = html.find(url, at + 1)) {
        const size_t end = at + url.size();
        if (end == html.size() ||
            (html[end] != '\0' && std::strchr("\"'<>() \t\r\n", html[end]) != nullptr))
            return true;
    }
    return false;
}

namespace {

int put_text_lines(MessageOut& conn, const std::string& text) {
    size_t pos = 0;
    const size_t end = text.size();
    while (pos < end) {
        size_t stop = text.find_first_of("\r\n", pos);
        if (stop == std::string::npos) stop = end;
        if (conn.stuffed() && text[pos] == '.' && write_all(conn, ".", 1) != 0) return -1;
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

}  // namespace

int write_text_lines(Connection& conn, const std::string& text) {
    MessageOut out(conn);
    return put_text_lines(out, text);
}

int compose_message(const HeaderList& headers, const OutgoingText& text,
                    AttachmentList& attachments, const Context& ctx, std::string& message) {
    message.clear();
    message.reserve(static_cast<size_t>(std::max<int64_t>(text.size_estimate, 0)));
    MessageOut out(message);
    return write_message(out, headers, text, attachments, ctx);
}

int put_message(Connection& conn, const HeaderList& headers, const OutgoingText& text,
                AttachmentList& attachments, const Context& ctx) {
    // Gathered into large sends: one system call per text line or 512-byte
    // chunk costs dearly where each socket call is slow. A failed send shows
    // as -1 from the write (or the uncork) that triggered it.
    conn.cork();
    MessageOut out(conn);
    int result = write_message(out, headers, text, attachments, ctx);
    if (result == kAttachEncode) return result;  // nothing more may go out
    int flushed = conn.uncork();
    return result == 0 && flushed == 0 ? 0 : -1;
}

}  // namespace brevorin
