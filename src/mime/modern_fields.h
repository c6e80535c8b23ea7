// Header fields read by the rules of RFC 2045, 2183 and 2231, for
// mime=modern: a field is found by its name at the start of a line, folded
// lines are joined, and parameters may be quoted, split into numbered
// sections and carry a charset.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace brevorin {

struct MimeParameter {
    std::string value;    // bytes as sent (percent escapes of RFC 2231 decoded)
    std::string charset;  // the RFC 2231 charset; empty when none was given
};

struct MimeField {
    std::string value;                            // the leading token, lower case
    std::map<std::string, MimeParameter> params;  // by lower-case name
    const MimeParameter* param(const std::string& name) const {
        auto it = params.find(name);
        return it == params.end() ? nullptr : &it->second;
    }
};

// The unfolded value of the first field called name (any case) in a header
// block; nullopt when there is none.
std::optional<std::string> header_field(const std::string& block, const std::string& name);

// Splits a field value into its leading token and its parameters.
MimeField parse_mime_field(const std::string& value);

}  // namespace brevorin
