#include "mime/host_text.h"

#include "codec/kanji.h"
#include "core/text.h"
#include "platform/text_convert.h"

namespace brevorin {

namespace {

// What a converter may be handed: a token made of the characters charset
// names use, nothing that could select a converter option.
bool plausible_name(const std::string& name) {
    if (name.empty() || name.size() > 40) return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                  c == '.' || c == ':';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool converts_for_host(const Context& ctx) {
    return ctx.options.mime == MimeMode::kModern || ctx.charset == kUtf8;
}

namespace {

// The set's name upper case, without the language RFC 2231 lets an encoded
// word name after it.
std::string set_name(const std::string& charset) {
    std::string upper = upper_case_copy(charset);
    size_t star = upper.find('*');
    if (star != std::string::npos) upper.resize(star);
    return upper;
}

HostText convert_declared(const std::string& upper, std::string& text, const Context& ctx,
                          size_t* malformed) {
    // Undeclared text is US-ASCII by the rules and 8-bit by habit: its bytes
    // are passed on as they came, as the classic readers do.
    if (upper.empty() || upper == "US-ASCII" || text.empty()) return HostText::kKept;
    const CharsetInfo& host = charset_info(ctx.charset);
    if (upper == "ISO-2022-JP" && (ctx.charset == kEuc || ctx.charset == kSjis)) {
        std::string converted;
        int target = ctx.charset == kEuc ? kEuc : kSjis;
        if (kanji_convert(kJis, target, text.c_str(), converted) != 0) return HostText::kKept;
        text = std::move(converted);
        return HostText::kConverted;
    }
    platform::TextEncoding from;
    if (const MimeCharset* row = mime_charset(upper)) {
        from.name = row->encoding;
        from.code_page = row->code_page;
    } else if (plausible_name(upper)) {
        from.name = upper;
    } else {
        return HostText::kKept;
    }
    if (from.name == host.encoding) return HostText::kKept;
    platform::TextEncoding to{host.encoding, host.code_page};
    std::string converted;
    switch (platform::convert_text(from, to, text, converted, malformed)) {
        case platform::Converted::kExact:
            text = std::move(converted);
            return HostText::kConverted;
        case platform::Converted::kLossy:
            text = std::move(converted);
            return HostText::kLossy;
        case platform::Converted::kUnsupported:
            break;
    }
    return HostText::kKept;
}

}  // namespace

HostText to_host_charset(const std::string& charset, std::string& text, const Context& ctx) {
    return convert_declared(set_name(charset), text, ctx, nullptr);
}

HostText to_host_charset(int code, std::string& text, const Context& ctx) {
    const char* name = mime_name_of_code(code);
    return name != nullptr ? to_host_charset(std::string(name), text, ctx) : HostText::kKept;
}

HostTextStream::HostTextStream(const std::string& charset, const Context& ctx)
    : charset_(set_name(charset)), ctx_(ctx), wide_(wide_form_of(charset_)) {
    wide_source_ = wide_form_of(charset_).unit != 0;
    utf8_source_ = charset_ == "UTF-8" || charset_ == "UTF8";
}

void HostTextStream::convert(std::string& piece) {
    if (wide_source_) {
        std::string utf8;
        size_t had = wide_.malformed();
        wide_.feed(piece.data(), piece.size(), utf8);
        malformed_ += wide_.malformed() - had;
        piece = std::move(utf8);
        from_utf8(piece);
    } else if (utf8_source_) {
        malformed_ += repair_utf8(piece);
        from_utf8(piece);
    } else if (convert_declared(charset_, piece, ctx_, &malformed_) == HostText::kLossy) {
        lossy_ = true;
    }
    replace_nuls(piece);
}

void HostTextStream::finish(std::string& text) {
    if (!wide_source_) return;
    std::string tail;
    size_t had = wide_.malformed();
    wide_.finish(tail);
    malformed_ += wide_.malformed() - had;
    from_utf8(tail);
    text += tail;
}

// Text now in UTF-8, and well formed, to the host's set.
void HostTextStream::from_utf8(std::string& text) {
    if (ctx_.charset == kUtf8) return;
    if (convert_declared("UTF-8", text, ctx_, nullptr) == HostText::kLossy) lossy_ = true;
}

void HostTextStream::replace_nuls(std::string& text) {
    size_t at = text.find('\0');
    if (at == std::string::npos) return;
    const char* replacement = ctx_.charset == kUtf8 ? kUtf8Replacement : "?";
    std::string out(text, 0, at);
    for (; at < text.size(); ++at) {
        if (text[at] != '\0') {
            out += text[at];
            continue;
        }
        out += replacement;
        ++nuls_;
    }
    text = std::move(out);
}

void HostTextStream::report(const char* part) const {
    if (malformed_ > 0)
        ctx_.diag.print('W', 1, "POP3_PARSE_MIME: %s not valid %s, %lu sequence(s) replaced", part,
                        plausible_name(charset_) ? charset_.c_str() : "in its charset",
                        static_cast<unsigned long>(malformed_));
    if (nuls_ > 0)
        ctx_.diag.print('W', 1, "POP3_PARSE_MIME: %s holds NUL bytes, %lu replaced", part,
                        static_cast<unsigned long>(nuls_));
}

}  // namespace brevorin
