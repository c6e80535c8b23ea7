#include "mime/modern_fields.h"

#include <cstdlib>
#include <vector>

#include "core/text.h"

namespace brevorin {

namespace {

// Folding white space: blanks and the line breaks of a folded field.
bool is_folding_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_copy(std::string text) {
    for (char& c : text) c = lower(c);
    return text;
}

bool same_name(const std::string& text, size_t at, const std::string& name) {
    if (at + name.size() > text.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lower(text[at + i]) != lower(name[i])) return false;
    return true;
}

void skip_space(const std::string& text, size_t& pos) {
    while (pos < text.size()) {
        if (is_folding_space(text[pos])) {
            ++pos;
        } else if (text[pos] == '(') {  // a comment, nested ones included
            int level = 0;
            while (pos < text.size()) {
                char c = text[pos++];
                if (c == '\\' && pos < text.size()) ++pos;
                else if (c == '(') ++level;
                else if (c == ')' && --level == 0) break;
            }
        } else {
            break;
        }
    }
}

// A token or quoted string; pos stops behind it.
std::string read_value(const std::string& text, size_t& pos) {
    std::string value;
    if (pos < text.size() && text[pos] == '"') {
        ++pos;
        while (pos < text.size() && text[pos] != '"') {
            if (text[pos] == '\\' && pos + 1 < text.size()) ++pos;
            value += text[pos++];
        }
        if (pos < text.size()) ++pos;
        return value;
    }
    while (pos < text.size() && text[pos] != ';' && !is_folding_space(text[pos])) value += text[pos++];
    return value;
}

std::string percent_decoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 &&
            hex_digit_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit_value(text[i + 1]) * 16 + hex_digit_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One section of a parameter that RFC 2231 splits: name*N or name*N*.
struct Section {
    int index;
    bool encoded;
    std::string value;
};

}  // namespace

std::optional<std::string> header_field(const std::string& block, const std::string& name) {
    size_t pos = 0;
    while (pos < block.size()) {
        size_t end = block.find('\n', pos);
        if (end == std::string::npos) end = block.size();
        if (same_name(block, pos, name) && pos + name.size() < block.size() &&
            block[pos + name.size()] == ':') {
            std::string value = block.substr(pos + name.size() + 1, end - pos - name.size() - 1);
            // Continuation lines begin with white space.
            while (end + 1 < block.size() && (block[end + 1] == ' ' || block[end + 1] == '\t')) {
                size_t next = block.find('\n', end + 1);
                if (next == std::string::npos) next = block.size();
                value += block.substr(end + 1, next - end - 1);
                end = next;
            }
            std::string flat;
            for (char c : value)
                if (c != '\r' && c != '\n') flat += c;
            size_t first = flat.find_first_not_of(" \t");
            size_t last = flat.find_last_not_of(" \t");
            return first == std::string::npos ? std::string()
                                              : flat.substr(first, last - first + 1);
        }
        pos = end + 1;
    }
    return std::nullopt;
}

MimeField parse_mime_field(const std::string& value) {
    MimeField field;
    size_t pos = 0;
    skip_space(value, pos);
    size_t start = pos;
    while (pos < value.size() && value[pos] != ';' && !is_folding_space(value[pos])) ++pos;
    field.value = lower_copy(value.substr(start, pos - start));
    std::map<std::string, std::vector<Section>> split;
    while (pos < value.size()) {
        size_t semicolon = value.find(';', pos);
        if (semicolon == std::string::npos) break;
        pos = semicolon + 1;
        skip_space(value, pos);
        size_t name_start = pos;
        while (pos < value.size() && value[pos] != '=' && value[pos] != ';' && !is_folding_space(value[pos]))
            ++pos;
        std::string name = lower_copy(value.substr(name_start, pos - name_start));
        skip_space(value, pos);
        if (name.empty() || pos >= value.size() || value[pos] != '=') continue;
        ++pos;
        skip_space(value, pos);
        std::string text = read_value(value, pos);
        size_t star = name.find('*');
        if (star == std::string::npos) {
            field.params.emplace(name, MimeParameter{text, std::string()});
            continue;
        }
        std::string base = name.substr(0, star);
        std::string rest = name.substr(star + 1);
        bool encoded = !rest.empty() && rest.back() == '*';
        if (encoded) rest.pop_back();
        if (rest.empty()) {  // name* = charset'language'value, one piece
            split[base].push_back(Section{0, true, text});
            continue;
        }
        char* end = nullptr;
        long index = std::strtol(rest.c_str(), &end, 10);
        if (end == rest.c_str() || *end != '\0' || index < 0 || index > 999) continue;
        split[base].push_back(Section{static_cast<int>(index), encoded, text});
    }
    for (auto& [name, sections] : split) {
        std::map<int, const Section*> ordered;
        for (const Section& s : sections) ordered.emplace(s.index, &s);
        MimeParameter joined;
        int expect = 0;
        for (const auto& [index, section] : ordered) {
            if (index != expect++) break;  // a gap ends the value
            std::string piece = section->value;
            if (section->encoded && index == 0) {
                size_t first = piece.find('\'');
                size_t second = first == std::string::npos ? first : piece.find('\'', first + 1);
                if (second != std::string::npos) {
                    joined.charset = piece.substr(0, first);
                    piece.erase(0, second + 1);
                }
            }
            joined.value += section->encoded ? percent_decoded(piece) : piece;
        }
        // The sections take the place of a plain value of the same name.
        field.params[name] = std::move(joined);
    }
    return field;
}

}  // namespace brevorin
