#include "mime/multipart.h"

#include <cstring>
#include <new>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "mime/file_names.h"
#include "mime/host_text.h"
#include "mime/mime_headers.h"
#include "mime/qp_decode.h"

namespace brevorin {

namespace {

// Room that one more line may take in a collection.
constexpr int kLineReserve = kLineCapacity + 1;

enum class Delimiter { kNone, kPart, kClosing };

// Only a piece that starts a line can be a delimiter: the pieces that
// continue a long line are data whatever they hold.
Delimiter delimiter_of(const LineSource& lines, const std::string& boundary) {
    if (!lines.starts_line()) return Delimiter::kNone;
    const char* p = lines.raw();
    size_t n = static_cast<size_t>(lines.raw_size());
    size_t b = boundary.size();
    if (n < b + 2 || p[0] != '-' || p[1] != '-' || std::memcmp(p + 2, boundary.data(), b) != 0)
        return Delimiter::kNone;
    if (n >= b + 4 && p[b + 2] == '-' && p[b + 3] == '-') return Delimiter::kClosing;
    return Delimiter::kPart;
}

bool read_failed(LineSource::Next r) {
    return r == LineSource::Next::kFailed || r == LineSource::Next::kTimedOut;
}

// Hands the bytes of each line of a part to take, up to the next delimiter
// (or the end of data). False when a read failed.
template <typename Take>
bool read_part(LineSource& lines, const std::string& boundary, bool& closing, Take take) {
    while (true) {
        LineSource::Next r = lines.next();
        if (read_failed(r)) return false;
        if (r == LineSource::Next::kEnd) {
            closing = true;
            return true;
        }
        Delimiter d = delimiter_of(lines, boundary);
        if (d == Delimiter::kClosing) closing = true;
        if (d != Delimiter::kNone) return true;
        take(lines.data(), static_cast<size_t>(lines.size()));
    }
}

}  // namespace

// Text parts add up; past the body limit they are left out and the result
// says so, however many parts a message has.
void append_text(DecodedBody& out, const std::string& text) {
    size_t have = out.body ? out.body->size() : 0;
    if (text.size() > out.body_limit - have) {
        out.body_over_limit = true;
        return;
    }
    if (out.body.has_value())
        *out.body += text;
    else
        out.body = text;
}

namespace {

// Collects a text up to the next delimiter of boundary (or, without one, to
// the end of data). 0 or -1.
int collect_mime_text(LineSource& lines, const std::string* boundary, bool& closing,
                  std::string& text, const Context& ctx) {
    text.clear();
    try {
        text.reserve(kTextCapacity);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    while (true) {
        if (static_cast<int>(text.size()) + kLineReserve > kTextCapacity) {
            text.clear();
            ctx.diag.print('E', 1, "GET_MIME_TEXT: Message too big");
            return -1;
        }
        LineSource::Next r = lines.next();
        if (read_failed(r)) return -1;
        if (r == LineSource::Next::kEnd) {
            if (boundary != nullptr) closing = true;
            break;
        }
        if (boundary != nullptr) {
            Delimiter d = delimiter_of(lines, *boundary);
            if (d == Delimiter::kClosing) closing = true;
            if (d != Delimiter::kNone) break;
        }
        text.append(lines.data(), static_cast<size_t>(lines.size()));
    }
    text.shrink_to_fit();
    return 0;
}

// Reads a part's header block through its empty line. 0 or -1.
int read_part_headers(LineSource& lines, std::string& block) {
    block.clear();
    while (true) {
        if (static_cast<int>(block.size()) + kLineReserve > kPartHeaderCapacity) return -1;
        LineSource::Next r = lines.next();
        if (r != LineSource::Next::kLine) return -1;
        block.append(lines.raw(), static_cast<size_t>(lines.raw_size()));
        if (lines.starts_line() && lines.raw_size() >= 2 && lines.raw()[0] == '\r' &&
            lines.raw()[1] == '\n')
            return 0;
    }
}

// Reads and drops lines through the next delimiter (nothing once closing is
// set). 0 or -1.
int skip_to_delimiter(LineSource& lines, const std::string& boundary, bool& closing) {
    if (closing) return 0;
    while (true) {
        LineSource::Next r = lines.next();
        if (read_failed(r)) return -1;
        if (r == LineSource::Next::kEnd) {
            closing = true;
            return 0;
        }
        Delimiter d = delimiter_of(lines, boundary);
        if (d == Delimiter::kClosing) closing = true;
        if (d != Delimiter::kNone) return 0;
    }
}

// Reads and drops the epilogue through the end-of-data line. 0 or -1.
int drain_to_end(LineSource& lines) {
    int count = 0;
    while (true) {
        if (count + kLineReserve > kEpilogueCapacity) return -1;
        LineSource::Next r = lines.next();
        if (read_failed(r)) return -1;
        if (r == LineSource::Next::kEnd) return 0;
        count += lines.size();
    }
}

int decode_text_bytes(const std::string& collected, int encoding, int charset,
                      const Context& ctx, std::string& text) {
    if (encoding == kEncodingBase64)
        return base64_decode_text(collected.c_str(), text) < 0 ? -1 : 0;
    // Soft line breaks and trailing blanks go even when no escape was found.
    if (encoding == kEncodingQuotedPrintable)
        return qp_decode(collected.c_str(), text) < 0 ? -1 : 0;
    text = collected;
    if (charset == kJis && (ctx.charset == kEuc || ctx.charset == kSjis)) {
        std::string converted;
        int target = ctx.charset == kEuc ? kEuc : kSjis;
        if (kanji_convert(kJis, target, collected.c_str(), converted) == 0)
            text = std::move(converted);
    }
    return 0;
}

// Decodes one collected text by its transfer encoding (and converts
// ISO-2022-JP for a Japanese ctx). 0 or -1.
int decode_text_part(const std::string& collected, int encoding, int charset,
                     const Context& ctx, std::string& text) {
    int rc = decode_text_bytes(collected, encoding, charset, ctx, text);
    if (rc == 0 && ctx.charset == kUtf8) to_host_charset(charset, text, ctx);
    return rc;
}

class PartWalker {
  public:
    PartWalker(LineSource& lines, const std::string& boundary, DecodedBody& entry,
               const std::string& directory, int& status, const Context& ctx)
        : lines_(lines),
          boundary_(boundary),
          entry_(entry),
          directory_(directory),
          status_(status),
          ctx_(ctx) {}

    int walk() {
        if (skip_to_delimiter(lines_, boundary_, closing_) != 0) return -1;
        while (!closing_)
            if (handle_part() != 0) return -1;
        // The end-of-data line came before the closing delimiter: what was
        // read is kept, and the status tells that the message was cut short.
        bool cut_short = lines_.finished();
        if (drain_to_end(lines_) != 0) return -1;
        if (cut_short) status_ = kAttachmentSkipped;
        return 0;
    }

  private:
    int skip() { return skip_to_delimiter(lines_, boundary_, closing_) == 0 ? 0 : -1; }

    int skip_with(int status) {
        status_ = status;
        return skip();
    }

    int handle_part() {
        std::string block;
        if (read_part_headers(lines_, block) != 0) {
            if (lines_.failed()) return -1;
            return skip_with(kAttachmentSkipped);
        }
        int content_class = 0;
        int charset = kUsAscii;
        std::string inner_boundary;
        int rc =
            mime_content_type(block.c_str(), content_class, inner_boundary, charset, ctx_);
        // A text part in a charset outside the table keeps its bytes, as the
        // single text of a message does.
        if (rc != 0 && content_class == kClassTextPlain) {
            charset = kUsAscii;
            rc = 0;
        }
        if (rc != 0 || content_class == kClassMultipart) return skip_with(kAttachmentSkipped);
        int encoding = kEncoding7bit;
        content_transfer_encoding(block.c_str(), encoding, ctx_);

        switch (content_class) {
            case kClassTextPlain:
                return collect_text(encoding, charset);
            case kClassNamedText:
                return save_as_received(block);
            case kClassOctetStream:
                if (encoding == kEncoding7bit) return save_as_received(block);
                break;
            default:
                break;
        }
        if (encoding == kEncodingBase64) return save_decoded(block);
        return skip_with(kAttachmentSkipped);
    }

    int collect_text(int encoding, int charset) {
        std::string collected;
        if (collect_mime_text(lines_, &boundary_, closing_, collected, ctx_) != 0) return -1;
        std::string text;
        if (decode_text_part(collected, encoding, charset, ctx_, text) != 0) return -1;
        append_text(entry_, text);
        return 0;
    }

    // Starts the attachment's file: the stream, or null with the status set.
    std::FILE* begin_file(const std::string& block) {
        std::string name;
        file_disposition(block.c_str(), name, ctx_);
        name = safe_attachment_name(name, ctx_.charset);
        if (name.empty()) name = "att-1";
        return entry_.attachments.begin(directory_, name, false, ctx_, status_);
    }

    int save_as_received(const std::string& block) {
        if (begin_file(block) == nullptr) return skip();
        AttachmentFiles& files = entry_.attachments;
        // A failed write still reads the part through its delimiter; end()
        // reports it.
        if (!read_part(lines_, boundary_, closing_,
                       [&](const char* data, size_t length) { files.write(data, length); })) {
            files.abandon();
            return -1;  // a read failed: the walk ends
        }
        files.end(ctx_, status_);
        return 0;
    }

    int save_decoded(const std::string& block) {
        if (begin_file(block) == nullptr) return skip();
        AttachmentFiles& files = entry_.attachments;
        Base64Decoder decoder;
        std::string bytes;
        bool read = read_part(lines_, boundary_, closing_, [&](const char* data, size_t length) {
            size_t taken = 0;
            files.added(decoder.feed(data, length, files.room(Base64Decoder::max_output(length)), taken));
        });
        if (!read) {
            files.abandon();
            return -1;  // a read failed: the walk ends
        }
        bytes.clear();
        Base64Decoder::End end = decoder.finish(bytes);
        files.write(bytes.data(), bytes.size());
        // The part has been read through its delimiter, so a failed decoding
        // only marks the status; skipping now would swallow the next part.
        if (report_decode_end(end, decoder.left_over(), ctx_) != 0) {
            files.abandon();
            status_ = kAttachmentSkipped;
            return 0;
        }
        if (!files.end(ctx_, status_)) return 0;
        ctx_.diag.print('F', 0, "POP3_PARSE_MIME: Decoded and written file: %s", files.path().c_str());
        return 0;
    }

    LineSource& lines_;
    const std::string& boundary_;
    DecodedBody& entry_;
    const std::string& directory_;
    int& status_;
    const Context& ctx_;
    bool closing_ = false;
};

}  // namespace

BodyOutcome parse_mime_body(LineSource& lines, const char* header, const std::string& directory,
                            const Context& ctx, DecodedBody& out) {
    char minor = 0, major = 0;
    if (mime_version(header, &minor, &major, ctx) != 0) return BodyOutcome::kNotMime;
    int content_class = 0;
    int charset = kUsAscii;
    std::string boundary;
    if (mime_content_type(header, content_class, boundary, charset, ctx) != 0) {
        content_class = kClassTextPlain;
        charset = kUsAscii;
    }
    if (content_class == kClassTextPlain) {
        int encoding = kEncoding7bit;
        content_transfer_encoding(header, encoding, ctx);
        bool closing = false;
        std::string collected;
        if (collect_mime_text(lines, nullptr, closing, collected, ctx) != 0) return BodyOutcome::kFailed;
        std::string text;
        if (decode_text_part(collected, encoding, charset, ctx, text) != 0) return BodyOutcome::kFailed;
        append_text(out, text);
        return BodyOutcome::kDecoded;
    }
    if (content_class == kClassMultipart)
        return PartWalker(lines, boundary, out, directory, out.status, ctx).walk() == 0
                   ? BodyOutcome::kDecoded
                   : BodyOutcome::kFailed;
    out.status = kAttachmentSkipped;
    return BodyOutcome::kNotMime;
}

}  // namespace brevorin
