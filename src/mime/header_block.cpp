#include "mime/header_block.h"

#include <cstring>

#include "core/text.h"
#include "mime/modern_fields.h"

namespace brevorin {

const std::string& HeaderBlock::upper() const {
    if (!upper_) upper_ = upper_case_copy(classic_text());
    return *upper_;
}

size_t HeaderBlock::after_label(const char* label, size_t from) const {
    size_t at = upper().find(label, from);
    return at == std::string::npos ? at : at + std::strlen(label);
}

namespace {

// A field name is printable ASCII without spaces: a line whose text before
// its colon holds a space is a sentence that lost the blank of its fold
// ("sent to: all"), not a field.
bool is_field_name(const std::string& text, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

size_t HeaderBlock::after_field_name(const char* label, NameMatch match) const {
    const std::string& text = upper();
    const size_t length = std::strlen(label);
    size_t line = 0;
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        size_t content_end = end > line && text[end - 1] == '\r' ? end - 1 : end;
        if (content_end == line) break;  // the empty line: the body follows
        if (text[line] != ' ' && text[line] != '\t') {
            const void* colon = std::memchr(text.data() + line, ':', content_end - line);
            if (colon != nullptr) {
                size_t name_end = static_cast<const char*>(colon) - text.data() + 1;
                bool fits = match == NameMatch::kWhole ? name_end - line == length
                                                       : name_end - line >= length;
                if (fits && text.compare(name_end - length, length, label) == 0 &&
                    is_field_name(text, line, name_end - 1))
                    return name_end;
            }
        }
        line = end + 1;
    }
    return std::string::npos;
}

std::optional<std::string> HeaderBlock::field(const std::string& name) const {
    return header_field(text_, name);
}

}  // namespace brevorin
