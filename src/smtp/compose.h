// Composition of the outgoing message and its transmission after DATA: the
// header block, the text, the base64 attachment parts and the final dot.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "core/context.h"
#include "net/connection.h"
#include "platform/clock.h"
#include "smtp/lists.h"

namespace brevorin {

// The boundary holds at most 63 characters; its time piece at most 39.
constexpr size_t kBoundaryMaxLength = 63;
constexpr size_t kBoundaryTimeMaxLength = 39;
// Attachments are read and encoded in pieces of this many bytes: whole
// lines of 54 bytes, so each piece ends a line.
constexpr size_t kAttachmentChunk = 54 * 1214;
// The header block, preamble included, must fit kHeaderBlockCapacity bytes
// with a terminator. Only blocks shorter than kHeaderTraceLimit characters
// are shown in a diagnostics line.
constexpr size_t kHeaderTraceLimit = 1002;

// The text of a sending as it goes out, in its transfer encoding; for an
// HTML sending (text_format=html) the text is HTML and plain its rendering.
struct OutgoingText {
    std::string text;
    int encoding = kEncoding7bit;
    bool html = false;
    std::string plain;
    int plain_encoding = kEncoding7bit;
    int64_t size_estimate = 0;  // octets the message will take, for SIZE= (RFC 1870)
};

// How the top of a message is typed: one text, or a multipart of subtype
// (mixed, alternative, related) with its boundary.
struct TopEntity {
    std::string subtype;  // empty: the text alone
    std::string boundary;
    int text_encoding = kEncoding7bit;
    bool html = false;
};

// The moment a message is composed, as local time and as UTC.
using MessageTime = platform::LocalTime;

MessageTime current_message_time();

// Local time minus UTC of the same moment, in whole minutes.
int zone_offset_minutes(const std::tm& local, const std::tm& utc);

// "Date: Sun, 06 Dec 2026 18:57:32 +0100" with its CR LF.
std::string date_line(const MessageTime& time);

// The boundary for a moment; the zone name is cut to fit and keeps only the
// characters a boundary may hold.
std::string boundary_for(const MessageTime& time);

// "Message-ID: <random.time.counter@host>" without its CR LF; host is the
// domain given, else the machine's name.
std::string message_id_line(const std::string& domain = std::string());

// The name this end greets an SMTP server with: the session's, else the
// machine's.
std::string helo_name(const Context& ctx);

// The domain of an address ("Ann <ann@example.org>" gives "example.org"),
// when it is a dot-atom a Message-ID may hold; empty otherwise.
std::string address_domain(const std::string& address);

// A boundary of random letters and digits, unlike any other it is given
// beside (kind tells the nesting levels apart).
std::string random_boundary(const char* kind);

// The structure a sending takes: mixed with attachments, alternative for
// HTML, related around the HTML and what it shows inline.
TopEntity top_entity(const OutgoingText& text, const AttachmentList& attachments,
                     const MessageTime& time, const Context& ctx);

// The header block from the Date line to the empty line (and the preamble of
// a multipart message). False when it would not fit kHeaderBlockCapacity.
// header_now receives the block before its empty line.
bool build_header_block(const HeaderList& headers, const TopEntity& top, const MessageTime& time,
                        const Context& ctx, std::string& block, std::string* header_now = nullptr);

// An attachment's part header: the delimiter line, the type, transfer
// encoding and disposition lines with the file name, and the empty line.
std::string attachment_part_header(const std::string& boundary, const Attachment& entry,
                                   const Context& ctx);

// Whether an HTML text names a file as a cid: URL: the whole name, which
// ends the text or is followed by a character that ends a URL in HTML or
// CSS (a quotation mark, an angle bracket, a parenthesis, a blank), so
// that cid:ab.png does not name "a".
bool html_names_cid(std::string_view html, const std::string& name);

// Writes a text by the line rule: every line break goes out as CR LF and a
// line beginning with "." gets a second one. 0, or -1 when a write fails.
int write_text_lines(Connection& conn, const std::string& text);

// The whole message as BDAT carries it, into message: unstuffed, without
// the final dot, ending with the line break DATA's dot would have followed.
// 0, -1 when the header block does not fit, or kAttachEncode.
int compose_message(const HeaderList& headers, const OutgoingText& text,
                    AttachmentList& attachments, const Context& ctx, std::string& message);

// Writes the whole message after DATA, the final dot included: 0, -1 as
// soon as a write does not go out whole, or kAttachEncode when an attachment
// file could not be read (the message is then left unended).
int put_message(Connection& conn, const HeaderList& headers, const OutgoingText& text,
                AttachmentList& attachments, const Context& ctx);

}  // namespace brevorin
