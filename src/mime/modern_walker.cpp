#include "mime/modern_walker.h"

#include <cstring>
#include <vector>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "mime/encoded_word.h"
#include "mime/file_names.h"
#include "mime/host_text.h"
#include "mime/media_types.h"
#include "mime/mime_fields.h"
#include "mime/mime_headers.h"
#include "mime/qp_decode.h"

namespace brevorin {

namespace {

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

// Text a mail client shows is body text: a text/plain part is, whatever
// name it carries, unless its disposition files it away.
bool is_text_body(const MimeField& type, const MimeField& disposition) {
    return type.value == "text/plain" && disposition.value != "attachment";
}

MimeField field_of(const std::string& block, const char* name) {
    std::optional<std::string> value = header_field(block, name);
    return value ? parse_mime_field(*value) : MimeField{};
}

// The Content-Type of an entity. Without one it is the default of its
// context (text/plain; message/rfc822 in a digest); one that cannot be
// parsed, a type without subtype included, is text/plain; charset=us-ascii
// (RFC 2045, 5.2), so that its text is shown rather than filed away.
MimeField content_type(const std::string& block, const char* default_type) {
    std::optional<std::string> given = header_field(block, "Content-Type");
    if (!given) {
        MimeField type;
        type.value = default_type;
        return type;
    }
    MimeField type = parse_mime_field(*given);
    size_t slash = type.value.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.value.size() ||
        type.value.find('/', slash + 1) != std::string::npos) {
        type = MimeField{};
        type.value = "text/plain";
        type.params["charset"].value = "us-ascii";
    }
    return type;
}

// Whether a line may stand in a header block: a field (a name of printable
// characters without blanks, then a colon), a continuation, or an mbox
// "From " line. Any other line ends the block and is the first line of the
// text, as a mail reader recovers a message that lacks the empty line.
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

class ModernWalker {
public:
    ModernWalker(LineSource& lines, const std::string& directory, const Context& ctx,
                 DecodedBody& out)
        : lines_(lines), directory_(directory), ctx_(ctx), out_(out) {}

    // Handles one entity whose header block is read: its body runs to the
    // next delimiter of any boundary on the stack. false when a read failed.
    bool entity(const std::string& block, int depth, Stop& stop,
                const char* default_type = "text/plain") {
        MimeField type = content_type(block, default_type);
        MimeField disposition = field_of(block, "Content-Disposition");
        MimeField encoding = field_of(block, "Content-Transfer-Encoding");
        if (type.value.compare(0, 10, "multipart/") == 0) {
            if (depth >= kMaxMultipartDepth) {
                out_.status = kAttachmentSkipped;
                return skip_body(stop);
            }
            const MimeParameter* boundary = type.param("boundary");
            // Without a usable boundary its parts cannot be told apart: the
            // whole is shown as the text it is.
            if (boundary == nullptr || boundary->value.empty() ||
                boundary->value.size() > kMaxBoundaryLength)
                return text(encoding.value, "us-ascii", stop);
            return multipart(boundary->value, type.value.substr(10), depth + 1, stop);
        }
        if (is_text_body(type, disposition)) {
            const MimeParameter* charset = type.param("charset");
            return text(encoding.value, charset ? charset->value : std::string(), stop);
        }
        return attachment(block, type.value, encoding.value, stop);
    }

    // Reads a header block from the lines; false when a read failed. At a
    // delimiter or the end of data before the empty line, stopped is set.
    bool part_headers(std::string& block, Stop& stop, bool& stopped) {
        block.clear();
        stopped = false;
        while (true) {
            if (!next(stop, stopped)) return false;
            if (stopped) return true;
            const char* p = lines_.data();
            size_t n = static_cast<size_t>(lines_.size());
            if (lines_.starts_line()) {
                if ((n == 2 && p[0] == '\r' && p[1] == '\n') || (n == 1 && p[0] == '\n')) {
                    block.append(p, n);
                    return true;
                }
                if (!is_header_line(p, n)) {
                    replay_ = true;  // the text starts here
                    return true;
                }
            }
            if (block.size() < static_cast<size_t>(kHeaderBlockCapacity)) block.append(p, n);
        }
    }

private:
    // The next line of the current body: false when a read failed; stopped
    // when it was a delimiter or the data ended (stop tells which).
    bool next(Stop& stop, bool& stopped) {
        if (replay_) {
            // The line that ended a header block, given again as text.
            replay_ = false;
            stopped = false;
            return true;
        }
        LineSource::Next r = lines_.next();
        if (r == LineSource::Next::kFailed || r == LineSource::Next::kTimedOut) return false;
        stopped = false;
        if (r == LineSource::Next::kEnd) {
            stop = Stop{};
            stopped = true;
            return true;
        }
        if (!lines_.starts_line() || bounds_.empty()) return true;
        const char* p = lines_.raw();
        size_t n = static_cast<size_t>(lines_.raw_size());
        if (n < 2 || p[0] != '-' || p[1] != '-') return true;
        for (size_t i = bounds_.size(); i-- > 0;) {
            const std::string& b = bounds_[i];
            if (n < b.size() + 2 || std::memcmp(p + 2, b.data(), b.size()) != 0) continue;
            size_t after = b.size() + 2;
            bool closing = n >= after + 2 && p[after] == '-' && p[after + 1] == '-';
            size_t rest = closing ? after + 2 : after;
            if (!blank_rest(p + rest, n - rest)) continue;
            stop = Stop{static_cast<int>(i), closing};
            stopped = true;
            return true;
        }
        return true;
    }

    // The next bytes of a part's content, handed to take in one or two
    // pieces. The line break before a delimiter belongs to the delimiter
    // (RFC 2046), so each line's break is held back until the next line
    // shows it was content.
    template <typename Take>
    bool content_to(Stop& stop, bool& stopped, Take take) {
        if (!next(stop, stopped)) return false;
        if (stopped) {
            if (stop.level == -1 && !held_break_.empty()) take(held_break_.data(), held_break_.size());
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

    bool skip_body(Stop& stop) {
        bool stopped = false;
        while (!stopped)
            if (!next(stop, stopped)) return false;
        return true;
    }

    bool multipart(const std::string& boundary, const std::string& subtype, int depth, Stop& stop) {
        bounds_.push_back(boundary);
        const int level = static_cast<int>(bounds_.size()) - 1;
        Stop at;
        if (!skip_body(at)) return false;  // the preamble
        Alternatives alt;
        const bool alternative = subtype == "alternative";
        while (at.level == level && !at.closing) {
            std::string block;
            bool stopped = false;
            if (!part_headers(block, at, stopped)) return false;
            if (stopped) {
                out_.status = kAttachmentSkipped;
                continue;
            }
            bool ok = alternative ? alternative_part(block, depth, at, alt)
                                  : entity(block, depth, at, subtype == "digest" ? "message/rfc822"
                                                                              : "text/plain");
            if (!ok) return false;
        }
        bounds_.pop_back();
        if (alternative && !finish_alternatives(alt, depth)) return false;
        if (at.level == level) return skip_body(stop);  // the epilogue
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

    bool alternative_part(const std::string& block, int depth, Stop& stop, Alternatives& alt) {
        bool first = !alt.first_seen;
        alt.first_seen = true;
        MimeField type = content_type(block, "text/plain");
        if (!alt.text_taken && is_text_body(type, field_of(block, "Content-Disposition"))) {
            alt.text_taken = true;
            alt.holding = false;
            alt.held.clear();
            return entity(block, depth, stop);
        }
        if (!first || alt.text_taken) return skip_body(stop);
        alt.holding = true;
        alt.held = block;
        bool stopped = false;
        std::string bytes;
        while (!stopped) {
            if (!content(stop, stopped, bytes)) return false;
            if (alt.hold_overflow) continue;
            if (alt.held.size() + bytes.size() > kAlternativeHoldLimit) {
                alt.hold_overflow = true;
                alt.held.clear();
                continue;
            }
            alt.held += bytes;
        }
        return true;
    }

    bool finish_alternatives(Alternatives& alt, int depth) {
        if (alt.text_taken || !alt.holding) return true;
        if (alt.hold_overflow) {
            out_.status = kAttachmentSkipped;
            return true;
        }
        // The first alternative again, read from memory as a part of its class.
        TextLineSource held(alt.held.data(), alt.held.size());
        ModernWalker again(held, directory_, ctx_, out_);
        std::string block;
        Stop stop;
        bool stopped = false;
        if (!again.part_headers(block, stop, stopped)) return true;
        if (stopped) return true;
        again.entity(block, depth, stop);
        return true;
    }

    bool text(const std::string& encoding, const std::string& charset, Stop& stop) {
        std::string collected;
        std::string bytes;
        bool stopped = false;
        while (!stopped) {
            if (!content(stop, stopped, bytes)) return false;
            if (collected.size() <= out_.body_limit) collected += bytes;
        }
        std::string decoded;
        if (encoding == "base64") {
            if (base64_decode_text(collected.c_str(), decoded) < 0) {
                out_.status = kAttachmentSkipped;
                decoded = collected;
            }
        } else if (encoding == "quoted-printable") {
            if (qp_decode(collected.c_str(), decoded) < 0) {
                out_.status = kAttachmentSkipped;
                decoded = collected;
            }
        } else {
            decoded = std::move(collected);
        }
        if (to_host_charset(charset, decoded, ctx_) == HostText::kLossy)
            out_.status = kAttachmentSkipped;
        // Inline text parts are shown one after the other, a blank line
        // between them.
        if (out_.body && !out_.body->empty())
            decoded.insert(0, out_.body->back() == '\n' ? "\r\n" : "\r\n\r\n");
        append_text(out_, decoded);
        return true;
    }

    bool attachment(const std::string& block, const std::string& type, const std::string& encoding,
                    Stop& stop) {
        enum class Form { kAsReceived, kBase64, kQuotedPrintable };
        Form form = Form::kAsReceived;
        if (encoding == "base64") form = Form::kBase64;
        else if (encoding == "quoted-printable") form = Form::kQuotedPrintable;
        else if (!encoding.empty() && encoding != "7bit" && encoding != "8bit" && encoding != "binary") {
            out_.status = kAttachmentSkipped;
            return skip_body(stop);
        }
        bool lossy = false;
        std::string name = safe_attachment_name(part_file_name(block, ctx_, lossy), ctx_.charset);
        if (lossy) out_.status = kAttachmentSkipped;
        // Windows drops a name's trailing dots and blanks from the file it
        // creates: the name reported must be the file's.
        while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
        if (name.empty()) {
            // An unnamed part is still a file people open by its type.
            std::string extension = extension_for_type(type);
            name = extension.empty() ? "att-1" : "att-1." + extension;
        }
        AttachmentFiles& files = out_.attachments;
        if (files.begin(directory_, name, ctx_.charset == kUtf8, ctx_, out_.status) == nullptr)
            return skip_body(stop);
        QpDecoder qp;
        Base64Decoder base64;
        std::string decoded;
        auto take = [&](const char* data, size_t length) {
            switch (form) {
                case Form::kAsReceived:
                    files.write(data, length);
                    break;
                case Form::kBase64: {
                    size_t taken = 0;
                    char* room = files.room(Base64Decoder::max_output(length));
                    files.added(base64.feed(data, length, room, taken));
                    break;
                }
                case Form::kQuotedPrintable:
                    decoded.clear();
                    qp.feed(data, length, decoded);
                    files.write(decoded.data(), decoded.size());
                    break;
            }
        };
        bool stopped = false;
        while (!stopped)
            if (!content_to(stop, stopped, take)) return false;
        decoded.clear();
        if (form == Form::kQuotedPrintable) qp.finish(decoded);
        Base64Decoder::End end =
            form == Form::kBase64 ? base64.finish(decoded) : Base64Decoder::End::kComplete;
        files.write(decoded.data(), decoded.size());
        if (report_decode_end(end, base64.left_over(), ctx_) != 0) {
            files.abandon();
            out_.status = kAttachmentSkipped;
            return true;
        }
        if (!files.end(ctx_, out_.status)) return true;
        ctx_.diag.print('F', 0, "POP3_PARSE_MIME: Decoded and written file: %s", files.path().c_str());
        return true;
    }

    LineSource& lines_;
    const std::string& directory_;
    const Context& ctx_;
    DecodedBody& out_;
    std::vector<std::string> bounds_;
    std::string held_break_;
    bool replay_ = false;  // next() gives the current line again
};

}  // namespace

std::string part_file_name(const std::string& block, const Context& ctx, bool& lossy) {
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

BodyOutcome parse_modern_body(LineSource& lines, const std::string& header,
                              const std::string& directory, const Context& ctx, DecodedBody& out) {
    if (mime_version(header.c_str(), nullptr, nullptr, ctx) != 0 &&
        !header_field(header, "Content-Type"))
        return BodyOutcome::kNotMime;
    out.attachments.set_next_name_rule(NextName::kNoTrailingDot);
    ModernWalker walker(lines, directory, ctx, out);
    Stop stop;
    return walker.entity(header, 0, stop) ? BodyOutcome::kDecoded : BodyOutcome::kFailed;
}

void split_header_block(const std::string& block, std::string& header, std::string& text) {
    size_t at = 0;
    while (at < block.size()) {
        size_t end = block.find('\n', at);
        end = end == std::string::npos ? block.size() : end + 1;
        const char* p = block.data() + at;
        size_t n = end - at;
        bool empty = (n == 2 && p[0] == '\r' && p[1] == '\n') || (n == 1 && p[0] == '\n');
        if (!empty && !is_header_line(p, n)) break;
        at = end;
    }
    header = block.substr(0, at);
    text = block.substr(at);
}

}  // namespace brevorin
