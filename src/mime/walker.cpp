#include "mime/walker.h"

#include <cstring>
#include <optional>
#include <vector>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "mime/classic_fields.h"
#include "mime/encoded_word.h"
#include "mime/file_names.h"
#include "mime/header_block.h"
#include "mime/host_text.h"
#include "mime/html_text.h"
#include "mime/media_types.h"
#include "mime/modern_fields.h"
#include "mime/uudecode.h"

namespace brevorin {

// Text parts add up; past the body limit they are left out and the result
// says so, however many parts a message has.
void append_text(DecodedBody& out, std::string text) {
    size_t have = out.body ? out.body->size() : 0;
    if (text.size() > out.body_limit - have) {
        out.body_over_limit = true;
        return;
    }
    if (out.body.has_value())
        *out.body += text;
    else
        out.body = std::move(text);
}

namespace {

// Room that one more line may take in a collection.
constexpr size_t kLineReserve = kLineCapacity + 1;

// The classic rules' collections, each checked before the next line is read.
constexpr size_t kClassicTextCapacity = kBodyCapacity;  // one text part (or the single text)
constexpr size_t kClassicPartHeaderCapacity = 4096;
constexpr size_t kClassicEpilogueCapacity = kBodyCapacity;

// Where an entity stands, which gives its type when it declares none.
enum class Place { kMessage, kPart, kDigestPart };

enum class Transfer { kIdentity, kBase64, kQuotedPrintable, kUuencode };

// What the rules make of one entity, the message itself or one part.
struct Plan {
    enum class Kind {
        kText,       // decoded into the body
        kFile,       // decoded into an attachment file
        kMultipart,  // walked part by part
        kSkip,       // read past, status 1
        kNotMime,    // the message is read as plain text instead
    };
    Kind kind = Kind::kSkip;
    Transfer transfer = Transfer::kIdentity;
    bool plain_text = false;       // a text/plain candidate among alternatives
    std::string charset;           // a text's set to convert from; empty: kept as it came
    std::string boundary;          // of a multipart
    std::string subtype;           // of a multipart, lower case
    std::string name;              // of a file, safe to create
    bool utf8_name = false;        // the name is UTF-8 (a UTF-8 host)
    bool announce = true;          // a written file gets a flow line
    bool html = false;             // an HTML file that may stand in for the body text
    bool degraded = false;         // something was lost on the way: status 1
    std::string unknown_transfer;  // an encoding left undone: status 1 and a warning
};

using Planner = Plan (*)(const HeaderBlock& block, Place place, const Context& ctx);

// What sets the two rule sets apart; the walker itself is the same.
struct Rules {
    Planner plan;
    int max_depth;  // multiparts nested deeper are skipped
    // Only blanks may follow a delimiter; the classic rules take any line
    // that starts with one.
    bool strict_delimiters;
    // A delimiter ends a header block left without its empty line.
    bool delimiter_ends_header;
    // The line break before a delimiter belongs to the delimiter (RFC 2046).
    bool break_before_delimiter;
    // A line that is neither a field nor a continuation ends a header block
    // and is the first line of the text, as mail readers recover it.
    bool stray_line_ends_header;
    // Part header lines are kept as sent, and only CR LF ends the block.
    bool header_as_sent;
    // Limits whose overrun refuses: a part header block (the part is
    // skipped), a text and an epilogue (the message fails). 0: none.
    size_t part_header_capacity;
    size_t text_capacity;
    size_t epilogue_capacity;
    // Of a multipart/alternative only the plain text (or else the first)
    // alternative is taken.
    bool one_alternative;
    // Inline texts are separated by a blank line.
    bool separate_texts;
    // A text that does not decode is kept as received, and one that loses
    // characters in conversion is kept; both mark the status. The classic
    // rules fail the message for the first and ignore the second.
    bool tolerant_text;
    NextName next_name;
    WalkLimits limits;
};

// Where a body stopped: at a delimiter of the boundary at `level` of the
// walker's stack, or (level -1) at the end of data.
struct Stop {
    int level = -1;
    bool closing = false;
};

bool blank_rest(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != '\t' && p[i] != '\r' && p[i] != '\n') return false;
    return true;
}

bool is_empty_line(const char* p, size_t n, bool bare_lf) {
    return (n == 2 && p[0] == '\r' && p[1] == '\n') || (bare_lf && n == 1 && p[0] == '\n');
}

// Whether a line may stand in a header block: a field (a name of printable
// characters without blanks, then a colon), a continuation, or an mbox
// "From " line.
bool is_header_line(const char* p, size_t n) {
    if (n > 0 && (p[0] == ' ' || p[0] == '\t')) return true;
    if (n >= 5 && std::memcmp(p, "From ", 5) == 0) return true;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == ':') return true;
        if (c < 0x21 || c > 0x7E) return false;
    }
    return false;
}

// ---- The classic rules: fields found by substring, one level of parts.

// The classic readers convert a text for a UTF-8 host only, and
// ISO-2022-JP that came unencoded for a Japanese host.
std::string classic_conversion(int code, Transfer transfer, const Context& ctx) {
    if (ctx.charset == kUtf8) {
        const char* name = mime_name_of_code(code);
        return name != nullptr ? name : "";
    }
    if (code == kJis && transfer == Transfer::kIdentity &&
        (ctx.charset == kEuc || ctx.charset == kSjis))
        return "ISO-2022-JP";
    return std::string();
}

Plan classic_file(const HeaderBlock& block, Transfer transfer, const Context& ctx) {
    Plan plan;
    plan.kind = Plan::Kind::kFile;
    plan.transfer = transfer;
    plan.announce = transfer != Transfer::kIdentity;
    file_disposition(block, plan.name, ctx);
    plan.name = safe_attachment_name(plan.name, ctx.charset);
    if (plan.name.empty()) plan.name = "att-1";
    return plan;
}

Plan classic_plan(const HeaderBlock& block, Place place, const Context& ctx) {
    Plan plan;
    int content_class = 0;
    int charset = kUsAscii;
    int rc = mime_content_type(block, content_class, plan.boundary, charset, ctx);
    if (place == Place::kMessage) {
        if (rc != 0) {
            content_class = kClassTextPlain;
            charset = kUsAscii;
        }
        if (content_class == kClassMultipart) plan.kind = Plan::Kind::kMultipart;
        if (content_class != kClassTextPlain) {
            if (content_class != kClassMultipart) plan.kind = Plan::Kind::kNotMime;
            return plan;
        }
    } else {
        // A text part in a charset outside the table keeps its bytes, as the
        // single text of a message does.
        if (rc != 0 && content_class == kClassTextPlain) {
            charset = kUsAscii;
            rc = 0;
        }
        if (rc != 0) return plan;
        if (content_class == kClassMultipart) {
            plan.kind = Plan::Kind::kMultipart;
            return plan;
        }
    }
    int encoding = kEncoding7bit;
    content_transfer_encoding(block, encoding, ctx);
    Transfer transfer = encoding == kEncodingBase64            ? Transfer::kBase64
                        : encoding == kEncodingQuotedPrintable ? Transfer::kQuotedPrintable
                                                               : Transfer::kIdentity;
    switch (content_class) {
        case kClassTextPlain:
            plan.kind = Plan::Kind::kText;
            plan.transfer = transfer;
            plan.charset = classic_conversion(charset, transfer, ctx);
            return plan;
        case kClassNamedText:  // kept as received, whatever its encoding
            return classic_file(block, Transfer::kIdentity, ctx);
        case kClassOctetStream:
            if (encoding == kEncoding7bit) return classic_file(block, Transfer::kIdentity, ctx);
            break;
        default:
            break;
    }
    if (transfer == Transfer::kBase64) return classic_file(block, transfer, ctx);
    return plan;
}

// ---- The modern rules: RFC 2045, 2046, 2183 and 2231 as mail readers apply them.

MimeField field_of(const HeaderBlock& block, const char* name) {
    std::optional<std::string> value = block.field(name);
    return value ? parse_mime_field(*value) : MimeField{};
}

// The Content-Type of an entity. Without one it is the default of its
// place; one that cannot be parsed, a type without subtype included, is
// text/plain; charset=us-ascii (RFC 2045, 5.2), so that its text is shown
// rather than filed away.
MimeField content_type(const HeaderBlock& block, Place place) {
    std::optional<std::string> given = block.field("Content-Type");
    MimeField type;
    if (!given) {
        type.value = place == Place::kDigestPart ? "message/rfc822" : "text/plain";
        return type;
    }
    type = parse_mime_field(*given);
    size_t slash = type.value.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.value.size() ||
        type.value.find('/', slash + 1) != std::string::npos) {
        type = MimeField{};
        type.value = "text/plain";
        type.params["charset"].value = "us-ascii";
    }
    return type;
}

// The decoded, host-charset file name of a part by the modern rules.
std::string file_name_of(const HeaderBlock& block, const Context& ctx, bool& lossy) {
    MimeField disposition = field_of(block, "Content-Disposition");
    MimeField type = field_of(block, "Content-Type");
    const MimeParameter* given = disposition.param("filename");
    if (given == nullptr || given->value.empty()) given = type.param("name");
    if (given == nullptr) return std::string();
    std::string name = given->value;
    if (!given->charset.empty()) {
        if (to_host_charset(given->charset, name, ctx) == HostText::kLossy) lossy = true;
    } else if (name.find("=?") != std::string::npos) {
        name = decode_words_for_host(name, ctx, &lossy);
    }
    // A decoded zero byte would end the name for the file system anyway.
    return std::string(name.c_str());
}

Plan modern_plan(const HeaderBlock& block, Place place, const Context& ctx) {
    Plan plan;
    MimeField type = content_type(block, place);
    MimeField disposition = field_of(block, "Content-Disposition");
    std::string encoding = field_of(block, "Content-Transfer-Encoding").value;
    bool identity =
        encoding.empty() || encoding == "7bit" || encoding == "8bit" || encoding == "binary";
    if (encoding == "base64") plan.transfer = Transfer::kBase64;
    if (encoding == "quoted-printable") plan.transfer = Transfer::kQuotedPrintable;
    // Older mail programs send attachments uuencoded inside MIME.
    if (encoding == "x-uuencode" || encoding == "uuencode" || encoding == "x-uue" ||
        encoding == "uue")
        plan.transfer = Transfer::kUuencode;
    // What cannot be decoded is still kept, as it came.
    if (plan.transfer == Transfer::kIdentity && !identity)
        plan.unknown_transfer = encoding.substr(0, 40);
    if (type.value.compare(0, 10, "multipart/") == 0) {
        const MimeParameter* boundary = type.param("boundary");
        // Without a usable boundary its parts cannot be told apart: the
        // whole is shown as the text it is.
        if (boundary == nullptr || boundary->value.empty() ||
            boundary->value.size() > kMaxBoundaryLength) {
            plan.kind = Plan::Kind::kText;
            plan.charset = "us-ascii";
            return plan;
        }
        plan.kind = Plan::Kind::kMultipart;
        plan.boundary = boundary->value;
        plan.subtype = type.value.substr(10);
        return plan;
    }
    // Text a mail client shows is body text: a text/plain part is, whatever
    // name it carries, unless its disposition files it away.
    if (type.value == "text/plain" && disposition.value != "attachment" &&
        plan.transfer != Transfer::kUuencode) {
        plan.kind = Plan::Kind::kText;
        plan.plain_text = true;
        if (const MimeParameter* charset = type.param("charset")) plan.charset = charset->value;
        return plan;
    }
    plan.kind = Plan::Kind::kFile;
    if (type.value == "text/html" && disposition.value != "attachment" &&
        plan.transfer != Transfer::kUuencode) {
        plan.html = true;
        if (const MimeParameter* charset = type.param("charset")) plan.charset = charset->value;
    }
    plan.name = safe_attachment_name(file_name_of(block, ctx, plan.degraded), ctx.charset);
    // Windows drops a name's trailing dots and blanks from the file it
    // creates: the name reported must be the file's.
    while (!plan.name.empty() && (plan.name.back() == '.' || plan.name.back() == ' '))
        plan.name.pop_back();
    // An unnamed uuencoded part takes the name of its begin line.
    if (plan.name.empty() && plan.transfer != Transfer::kUuencode) {
        // An unnamed part is still a file people open by its type.
        std::string extension = extension_for_type(type.value);
        plan.name = extension.empty() ? "att-1" : "att-1." + extension;
    }
    plan.utf8_name = ctx.charset == kUtf8;
    return plan;
}

const Rules kClassicRules = {
    classic_plan,
    1,      // max_depth
    false,  // strict_delimiters
    false,  // delimiter_ends_header
    false,  // break_before_delimiter
    false,  // stray_line_ends_header
    true,   // header_as_sent
    kClassicPartHeaderCapacity,
    kClassicTextCapacity,
    kClassicEpilogueCapacity,
    false,  // one_alternative
    false,  // separate_texts
    false,  // tolerant_text
    NextName::kClassic,
    WalkLimits(),
};

const Rules kModernRules = {
    modern_plan,
    kMaxMultipartDepth,
    true,   // strict_delimiters
    true,   // delimiter_ends_header
    true,   // break_before_delimiter
    true,   // stray_line_ends_header
    false,  // header_as_sent
    0,      // part headers beyond their room are dropped, the part is kept
    0,      // texts beyond the body limit are left out, the message is kept
    0,      // the epilogue is read whatever its size
    true,   // one_alternative
    true,   // separate_texts
    true,   // tolerant_text
    NextName::kNoTrailingDot,
    WalkLimits(),
};

// A text brought into the host's character set in pieces that end with a
// line, as it arrives: a large text never exists in two sets at once, and
// once the converted text passes its limit nothing more is kept.
class HostTextSink {
  public:
    // Without convert the bytes are kept as they come.
    HostTextSink(const std::string& charset, bool convert, size_t limit, const Context& ctx)
        : limit_(limit) {
        if (convert) stream_.emplace(charset, ctx);
    }

    void add(const std::string& bytes) {
        if (over_) return;
        pending_ += bytes;
        if (pending_.size() < kPiece) return;
        // A piece ends after a line break, where every character set that
        // mail uses is back in its initial state; a line without one is cut
        // after its last ASCII byte, so that no character is split.
        size_t cut = pending_.rfind('\n');
        if (cut == std::string::npos && pending_.size() >= 4 * kPiece) {
            cut = pending_.size();
            while (cut > 0 && static_cast<unsigned char>(pending_[cut - 1]) >= 0x80) --cut;
            if (cut == 0) cut = pending_.size();
            convert(cut);
        } else if (cut != std::string::npos) {
            convert(cut + 1);
        }
    }
    void finish() {
        convert(pending_.size());
        if (!stream_) return;
        std::string tail;
        stream_->finish(tail);
        keep(tail);
    }

    bool over() const { return over_; }
    bool lossy() const { return stream_ && stream_->lossy(); }
    void report(const char* part) const {
        if (stream_) stream_->report(part);
    }
    std::string take() { return std::move(text_); }

  private:
    static constexpr size_t kPiece = 64 * 1024;

    void convert(size_t length) {
        if (over_ || length == 0) return;
        std::string piece = pending_.substr(0, length);
        pending_.erase(0, length);
        if (stream_) stream_->convert(piece);
        keep(piece);
    }

    void keep(const std::string& piece) {
        if (over_) return;
        if (piece.size() > limit_ - text_.size()) {
            over_ = true;
            std::string().swap(text_);
            std::string().swap(pending_);
            return;
        }
        text_ += piece;
    }

    std::optional<HostTextStream> stream_;
    size_t limit_;
    std::string pending_;
    std::string text_;
    bool over_ = false;
};

// ---- The walker: explicit states over the line source, by either rules.

class Walker {
  public:
    Walker(const Rules& rules, LineSource& lines, const std::string& directory, const Context& ctx,
           DecodedBody& out)
        : rules_(rules), lines_(lines), directory_(directory), ctx_(ctx), out_(out) {}

    // Handles one entity whose header block is read: its body runs to the
    // next delimiter of any boundary on the stack. False when the walk
    // cannot go on (a read failed, or a collection was refused).
    bool entity(const Plan& plan, int depth, Stop& stop) {
        switch (plan.kind) {
            case Plan::Kind::kMultipart:
                if (depth >= rules_.max_depth) break;
                return multipart(plan, depth + 1, stop);
            case Plan::Kind::kText:
                return text(plan, stop);
            case Plan::Kind::kFile:
                return file(plan, stop);
            case Plan::Kind::kSkip:
            case Plan::Kind::kNotMime:
                break;
        }
        out_.status = kAttachmentSkipped;
        return skip_body(stop);
    }

    enum class HeaderEnd { kRead, kStopped, kRefused, kFailed };

    // Reads a part's header block. kStopped at a delimiter or the end of
    // data before the block ended; kRefused when it outgrew its capacity.
    HeaderEnd part_headers(std::string& block, Stop& stop) {
        block.clear();
        while (true) {
            if (rules_.part_header_capacity != 0 &&
                block.size() + kLineReserve > rules_.part_header_capacity)
                return HeaderEnd::kRefused;
            bool stopped = false;
            if (!next(stop, stopped, rules_.delimiter_ends_header)) return HeaderEnd::kFailed;
            if (stopped) return HeaderEnd::kStopped;
            const char* p = rules_.header_as_sent ? lines_.raw() : lines_.data();
            size_t n =
                static_cast<size_t>(rules_.header_as_sent ? lines_.raw_size() : lines_.size());
            if (lines_.starts_line()) {
                if (is_empty_line(p, n, !rules_.header_as_sent)) {
                    block.append(p, n);
                    return HeaderEnd::kRead;
                }
                if (rules_.stray_line_ends_header && !is_header_line(p, n)) {
                    replay_ = true;  // the text starts here
                    return HeaderEnd::kRead;
                }
            }
            if (block.size() < static_cast<size_t>(kHeaderBlockCapacity)) block.append(p, n);
        }
    }

  private:
    // The next line of the current body: false when a read failed; stopped
    // when it was a delimiter or the data ended (stop tells which).
    bool next(Stop& stop, bool& stopped, bool delimiters = true) {
        stopped = false;
        if (replay_) {
            // The line that ended a header block, given again as text.
            replay_ = false;
            return true;
        }
        LineSource::Next r = lines_.next();
        if (r == LineSource::Next::kFailed || r == LineSource::Next::kTimedOut) return false;
        if (r == LineSource::Next::kEnd) {
            stop = Stop{};
            stopped = true;
            return true;
        }
        // Only a piece that starts a line can be a delimiter: the pieces
        // that continue a long line are data whatever they hold.
        if (!delimiters || !lines_.starts_line() || bounds_.empty()) return true;
        const char* p = lines_.raw();
        size_t n = static_cast<size_t>(lines_.raw_size());
        if (n < 2 || p[0] != '-' || p[1] != '-') return true;
        for (size_t i = bounds_.size(); i-- > 0;) {
            const std::string& b = bounds_[i];
            if (n < b.size() + 2 || std::memcmp(p + 2, b.data(), b.size()) != 0) continue;
            size_t after = b.size() + 2;
            bool closing = n >= after + 2 && p[after] == '-' && p[after + 1] == '-';
            size_t rest = closing ? after + 2 : after;
            if (rules_.strict_delimiters && !blank_rest(p + rest, n - rest)) continue;
            stop = Stop{static_cast<int>(i), closing};
            stopped = true;
            return true;
        }
        return true;
    }

    // The next bytes of a part's content, handed to take in one or two
    // pieces. Where the line break before a delimiter belongs to the
    // delimiter, each line's break is held back until the next line shows
    // it was content.
    template <typename Take>
    bool content_to(Stop& stop, bool& stopped, Take take) {
        if (!next(stop, stopped)) return false;
        if (!rules_.break_before_delimiter) {
            if (!stopped) take(lines_.data(), static_cast<size_t>(lines_.size()));
            return true;
        }
        if (stopped) {
            if (stop.level == -1 && !held_break_.empty())
                take(held_break_.data(), held_break_.size());
            held_break_.clear();
            return true;
        }
        if (!held_break_.empty()) take(held_break_.data(), held_break_.size());
        const char* p = lines_.data();
        size_t n = static_cast<size_t>(lines_.size());
        size_t keep = n;
        if (keep > 0 && p[keep - 1] == '\n') {
            --keep;
            if (keep > 0 && p[keep - 1] == '\r') --keep;
        }
        if (keep > 0) take(p, keep);
        held_break_.assign(p + keep, n - keep);
        return true;
    }

    bool content(Stop& stop, bool& stopped, std::string& bytes) {
        bytes.clear();
        return content_to(stop, stopped, [&](const char* p, size_t n) { bytes.append(p, n); });
    }

    // Reads through the end of the current body; false also when it
    // outgrows capacity (0: none).
    bool skip_body(Stop& stop, size_t capacity = 0) {
        size_t count = 0;
        while (true) {
            if (capacity != 0 && count + kLineReserve > capacity) return false;
            bool stopped = false;
            if (!next(stop, stopped)) return false;
            if (stopped) return true;
            count += static_cast<size_t>(lines_.size());
        }
    }

    bool multipart(const Plan& plan, int depth, Stop& stop) {
        bounds_.push_back(plan.boundary);
        const int level = static_cast<int>(bounds_.size()) - 1;
        Stop at;
        if (!skip_body(at)) return false;  // the preamble
        Alternatives alt;
        const bool alternative = rules_.one_alternative && plan.subtype == "alternative";
        const Place place = plan.subtype == "digest" ? Place::kDigestPart : Place::kPart;
        while (at.level == level && !at.closing) {
            std::string block;
            HeaderEnd end = part_headers(block, at);
            if (end == HeaderEnd::kFailed) return false;
            if (end != HeaderEnd::kRead) {
                out_.status = kAttachmentSkipped;
                if (end == HeaderEnd::kRefused && !skip_body(at)) return false;
                continue;
            }
            Plan part = rules_.plan(HeaderBlock(block), place, ctx_);
            bool ok = alternative ? alternative_part(block, part, depth, at, alt)
                                  : entity(part, depth, at);
            if (!ok) return false;
        }
        bounds_.pop_back();
        if (alternative) finish_alternatives(alt, depth);
        if (at.level == level) return skip_body(stop, rules_.epilogue_capacity);  // the epilogue
        // Cut short: the data ended, or an enclosing delimiter came first.
        out_.status = kAttachmentSkipped;
        stop = at;
        return true;
    }

    // The alternatives of one multipart/alternative: the first plain text
    // one goes into the body; the first alternative is held back in case no
    // plain text comes; the others are dropped without counting as skipped.
    struct Alternatives {
        bool text_taken = false;
        bool first_seen = false;
        bool holding = false;
        bool hold_overflow = false;
        std::string held;
    };

    bool alternative_part(const std::string& block, const Plan& plan, int depth, Stop& stop,
                          Alternatives& alt) {
        bool first = !alt.first_seen;
        alt.first_seen = true;
        if (!alt.text_taken && plan.plain_text) {
            alt.text_taken = true;
            alt.holding = false;
            alt.held.clear();
            return entity(plan, depth, stop);
        }
        if (!first || alt.text_taken) return skip_body(stop);
        alt.holding = true;
        alt.held = block;
        bool stopped = false;
        std::string bytes;
        while (!stopped) {
            if (!content(stop, stopped, bytes)) return false;
            if (alt.hold_overflow) continue;
            if (alt.held.size() + bytes.size() > rules_.limits.alternative_hold) {
                alt.hold_overflow = true;
                alt.held.clear();
                continue;
            }
            alt.held += bytes;
        }
        return true;
    }

    void finish_alternatives(Alternatives& alt, int depth) {
        if (alt.text_taken || !alt.holding) return;
        if (alt.hold_overflow) {
            out_.status = kAttachmentSkipped;
            return;
        }
        // The first alternative again, read from memory as a part of its class.
        TextLineSource held(alt.held.data(), alt.held.size());
        Walker again(rules_, held, directory_, ctx_, out_);
        std::string block;
        Stop stop;
        if (again.part_headers(block, stop) != HeaderEnd::kRead) return;
        again.entity(rules_.plan(HeaderBlock(block), Place::kPart, ctx_), depth, stop);
    }

    bool text(const Plan& plan, Stop& stop) {
        // Inline text parts are shown one after the other, a blank line
        // between them.
        const char* separator = "";
        if (rules_.separate_texts && out_.body && !out_.body->empty())
            separator = out_.body->back() == '\n' ? "\r\n" : "\r\n\r\n";
        size_t have = (out_.body ? out_.body->size() : 0) + std::strlen(separator);
        HostTextSink shown(plan.charset, rules_.tolerant_text,
                           have > out_.body_limit ? 0 : out_.body_limit - have, ctx_);
        std::string collected;
        std::string bytes;
        // The modern rules decode quoted-printable as it streams, by the
        // decoder attachments use: no line is too long for it.
        const bool streamed = rules_.tolerant_text && plan.transfer != Transfer::kBase64;
        QpDecoder qp;
        std::string decoded;
        bool stopped = false;
        while (!stopped) {
            if (rules_.text_capacity != 0 &&
                collected.size() + kLineReserve > rules_.text_capacity) {
                ctx_.diag.print('E', 1, "GET_MIME_TEXT: Message too big");
                return false;
            }
            if (!content(stop, stopped, bytes)) return false;
            // Text is converted as it comes; base64 (and any text by the
            // classic rules) is decoded whole, once it has all arrived.
            if (!streamed) {
                if (collected.size() <= out_.body_limit) collected += bytes;
            } else if (plan.transfer == Transfer::kQuotedPrintable) {
                decoded.clear();
                qp.feed(bytes.data(), bytes.size(), decoded);
                shown.add(decoded);
            } else {
                shown.add(bytes);
            }
        }
        decoded.clear();
        if (streamed) {
            qp.finish(decoded);
        } else if (!decode_text(plan, collected, decoded)) {
            return false;
        }
        shown.add(decoded);
        shown.finish();
        shown.report("Text part");
        if (!plan.unknown_transfer.empty()) {
            warn_undecoded(plan, "text part shown undecoded");
            out_.status = kAttachmentSkipped;
        }
        if (shown.lossy()) out_.status = kAttachmentSkipped;
        if (shown.over()) {
            out_.body_over_limit = true;
            return true;
        }
        std::string text = shown.take();
        if (*separator != '\0') text.insert(0, separator);
        append_text(out_, std::move(text));
        return true;
    }

    // Decodes a collected text by its transfer encoding, and by the classic
    // rules brings it into the host's character set. False when the rules
    // refuse it.
    bool decode_text(const Plan& plan, std::string& collected, std::string& text) {
        int rc = 0;
        if (plan.transfer == Transfer::kBase64 && rules_.tolerant_text) {
            // Not as a terminated text: a NUL is replaced later, not an end.
            Base64Decoder base64;
            base64.feed(collected.data(), collected.size(), text);
            if (base64.finish(text) != Base64Decoder::End::kComplete) rc = -1;
        } else if (plan.transfer == Transfer::kBase64)
            rc = base64_decode_text(collected.c_str(), text);
        else if (plan.transfer == Transfer::kQuotedPrintable)
            // Soft line breaks and trailing blanks go even when no escape was found.
            rc = qp_decode_whole(QpDecoder::Form::kClassicText, collected, text) ? 0 : -1;
        else
            text = std::move(collected);
        if (rc < 0) {
            if (!rules_.tolerant_text) return false;
            out_.status = kAttachmentSkipped;
            text = std::move(collected);
        }
        if (!rules_.tolerant_text) to_host_charset(plan.charset, text, ctx_);
        return true;
    }

    bool file(const Plan& plan, Stop& stop) {
        if (plan.degraded) out_.status = kAttachmentSkipped;
        if (plan.transfer == Transfer::kUuencode) return uuencoded_file(plan, stop);
        AttachmentFiles& files = out_.attachments;
        std::string name = plan.name;
        // HTML where no text has been shown yet is what a reader sees: it is
        // rendered into the body, and kept as a file too.
        const bool shown = plan.html && (!out_.body || out_.body->empty());
        if (shown && name == "att-1.html") name = "message.html";
        std::string html;
        bool html_whole = true;
        // Past the limit nothing more is held: a rendering with a piece
        // missing would pass for the whole text.
        auto keep = [&](const char* data, size_t length) {
            if (!shown || !html_whole) return;
            if (html.size() + length <= rules_.limits.html_hold) {
                html.append(data, length);
                return;
            }
            html_whole = false;
            std::string().swap(html);
        };
        if (files.begin(directory_, name, plan.utf8_name, ctx_, out_.status) == nullptr)
            return skip_body(stop);
        QpDecoder qp;
        Base64Decoder base64;
        std::string decoded;
        auto take = [&](const char* data, size_t length) {
            switch (plan.transfer) {
                case Transfer::kIdentity:
                    files.write(data, length);
                    keep(data, length);
                    break;
                case Transfer::kBase64: {
                    size_t taken = 0;
                    char* room = files.room(Base64Decoder::max_output(length));
                    size_t added = base64.feed(data, length, room, taken);
                    keep(room, added);
                    files.added(added);
                    break;
                }
                case Transfer::kQuotedPrintable:
                    decoded.clear();
                    qp.feed(data, length, decoded);
                    files.write(decoded.data(), decoded.size());
                    keep(decoded.data(), decoded.size());
                    break;
                case Transfer::kUuencode:  // read by uuencoded_file
                    break;
            }
        };
        bool stopped = false;
        while (!stopped) {
            if (!content_to(stop, stopped, take)) {
                files.abandon();
                return false;
            }
        }
        decoded.clear();
        if (plan.transfer == Transfer::kQuotedPrintable) qp.finish(decoded);
        Base64Decoder::End end = plan.transfer == Transfer::kBase64 ? base64.finish(decoded)
                                                                    : Base64Decoder::End::kComplete;
        files.write(decoded.data(), decoded.size());
        keep(decoded.data(), decoded.size());
        if (shown) show_html(plan.charset, html, html_whole);
        // The part has been read through its delimiter, so a failed decoding
        // only marks the status.
        if (report_decode_end(end, base64.left_over(), ctx_) != 0) {
            files.abandon();
            out_.status = kAttachmentSkipped;
            return true;
        }
        if (!files.end(ctx_, out_.status)) return true;
        if (!plan.unknown_transfer.empty()) {
            warn_undecoded(plan, "part saved undecoded: " + files.path());
            out_.status = kAttachmentSkipped;
        }
        if (!plan.announce) return true;
        ctx_.diag.print('F', 0, "POP3_PARSE_MIME: Decoded and written file: %s",
                        files.path().c_str());
        return true;
    }

    bool uuencoded_file(const Plan& plan, Stop& stop) {
        UuStream block(directory_, out_.attachments, ctx_);
        block.for_mime_part(plan.name, plan.utf8_name);
        bool stopped = false;
        while (!stopped) {
            if (!content_to(stop, stopped,
                            [&](const char* data, size_t length) { block.feed(data, length); })) {
                out_.attachments.abandon();
                return false;
            }
        }
        std::string name;
        int status = kAttachmentsHandled;
        int rc = block.finish(name, status);
        if (status != kAttachmentsHandled) out_.status = status;
        if (rc != 0) {
            if (status == kAttachmentsHandled) out_.status = kAttachmentSkipped;
            return true;
        }
        ctx_.diag.print('F', 0, "POP3_PARSE_MIME: Decoded and written file: %s",
                        out_.attachments.path().c_str());
        return true;
    }

    // The encoding is named as sent, in printable characters only.
    void warn_undecoded(const Plan& plan, const std::string& what) {
        std::string encoding = plan.unknown_transfer;
        for (char& c : encoding)
            if (c < 0x21 || c > 0x7E) c = '?';
        ctx_.diag.print('W', 1, "POP3_PARSE_MIME: Unknown transfer encoding %s, %s",
                        encoding.c_str(), what.c_str());
    }

    // The text of an HTML part in the host's set, as the body.
    void show_html(const std::string& charset, std::string& html, bool whole) {
        if (!whole) {
            ctx_.diag.print('W', 1,
                            "POP3_PARSE_MIME: HTML part longer than %d bytes not shown as text, "
                            "only saved as a file",
                            static_cast<int>(rules_.limits.html_hold));
            out_.status = kAttachmentSkipped;
            return;
        }
        Context utf8 = ctx_;
        utf8.charset = kUtf8;
        HostTextStream read(charset, utf8);
        read.convert(html);
        read.finish(html);
        read.report("HTML part");
        if (read.lossy()) out_.status = kAttachmentSkipped;
        std::string text = html_to_text(html);
        std::string().swap(html);
        HostTextStream shown("utf-8", ctx_);
        shown.convert(text);
        shown.report("HTML part");
        if (shown.lossy()) out_.status = kAttachmentSkipped;
        append_text(out_, std::move(text));
    }

    const Rules& rules_;
    LineSource& lines_;
    const std::string& directory_;
    const Context& ctx_;
    DecodedBody& out_;
    std::vector<std::string> bounds_;
    std::string held_break_;
    bool replay_ = false;  // next() gives the current line again
};

}  // namespace

BodyOutcome walk_body(LineSource& lines, const std::string& header, const std::string& directory,
                      const Context& ctx, DecodedBody& out, const WalkLimits& limits) {
    const bool modern = ctx.options.mime == MimeMode::kModern;
    Rules rules = modern ? kModernRules : kClassicRules;
    rules.limits = limits;
    HeaderBlock block(header);
    char minor = 0, major = 0;
    if (mime_version(block, &minor, &major, ctx) != 0 && !(modern && block.field("Content-Type")))
        return BodyOutcome::kNotMime;
    Plan plan = rules.plan(block, Place::kMessage, ctx);
    if (plan.kind == Plan::Kind::kNotMime) {
        out.status = kAttachmentSkipped;
        return BodyOutcome::kNotMime;
    }
    out.attachments.set_next_name_rule(rules.next_name);
    Walker walker(rules, lines, directory, ctx, out);
    Stop stop;
    return walker.entity(plan, 0, stop) ? BodyOutcome::kDecoded : BodyOutcome::kFailed;
}

void split_header_block(const std::string& block, std::string& header, std::string& text) {
    size_t at = 0;
    while (at < block.size()) {
        size_t end = block.find('\n', at);
        end = end == std::string::npos ? block.size() : end + 1;
        const char* p = block.data() + at;
        size_t n = end - at;
        if (!is_empty_line(p, n, true) && !is_header_line(p, n)) break;
        at = end;
    }
    header = block.substr(0, at);
    text = block.substr(at);
}

}  // namespace brevorin
