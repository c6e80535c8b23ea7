#include "mime/header_block.h"

#include <cstring>

#include "core/text.h"
#include "mime/mime_fields.h"

namespace brevorin {

const std::string& HeaderBlock::upper() const {
    if (!upper_) upper_ = upper_case_copy(classic_text());
    return *upper_;
}

size_t HeaderBlock::after_label(const char* label, size_t from) const {
    size_t at = upper().find(label, from);
    return at == std::string::npos ? at : at + std::strlen(label);
}

std::optional<std::string> HeaderBlock::field(const std::string& name) const {
    return header_field(text_, name);
}

}  // namespace brevorin
