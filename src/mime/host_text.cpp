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

HostText to_host_charset(const std::string& charset, std::string& text, const Context& ctx) {
    std::string upper = upper_case_copy(charset);
    // RFC 2231 lets an encoded word name a language after the set.
    size_t star = upper.find('*');
    if (star != std::string::npos) upper.resize(star);
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
    switch (platform::convert_text(from, to, text, converted)) {
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

HostText to_host_charset(int code, std::string& text, const Context& ctx) {
    const char* name = mime_name_of_code(code);
    return name != nullptr ? to_host_charset(std::string(name), text, ctx) : HostText::kKept;
}

}  // namespace brevorin
