#include "mime/html_text.h"

#include <algorithm>
#include <cstdint>

#include "codec/unicode_forms.h"

namespace brevorin {

namespace {

bool is_html_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == ':';
}

void append_utf8(std::string& out, uint32_t cp) {
    put_utf8(cp == 0 ? 0xFFFD : cp, out);
}

struct HtmlEntity {
    const char* name;
    uint32_t first;
    uint32_t second;
    bool bare;  // recognised without ';' too
};

#include "mime/html_entities.inc"

const HtmlEntity* find_entity(std::string_view name) {
    const HtmlEntity* end = kHtmlEntities + sizeof kHtmlEntities / sizeof kHtmlEntities[0];
    const HtmlEntity* at = std::lower_bound(
        kHtmlEntities, end, name,
        [](const HtmlEntity& e, std::string_view n) { return std::string_view(e.name) < n; });
    return at != end && name == at->name ? at : nullptr;
}

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// What a numeric reference to 0x80..0x9F stands for: pages written as
// windows-1252 refer to its characters by their byte values, and browsers
// read them so (0: the code point stays).
const uint16_t kC1Replacements[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

struct Reference {
    size_t length = 0;  // bytes taken from the input, 0: '&' starts none
    uint32_t code_points[2] = {0, 0};
};

// The character reference that text (starting with '&') begins with, read
// as a browser reads it: the longest name that matches, with or without its
// ';' where the name allows that; in an attribute a name without ';' that
// runs on into letters, digits or '=' is not one (it is a URL's query).
Reference read_reference(std::string_view text, bool in_attribute) {
    Reference ref;
    size_t i = 1;
    if (i < text.size() && text[i] == '#') {
        ++i;
        bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
        if (hex) ++i;
        size_t digits = i;
        uint32_t cp = 0;
        for (; i < text.size(); ++i) {
            char d = text[i];
            int v = d >= '0' && d <= '9'                        ? d - '0'
                    : hex && lower(d) >= 'a' && lower(d) <= 'f' ? lower(d) - 'a' + 10
                                                                : -1;
            if (v < 0) break;
            // Past the last code point the value only needs to stay there.
            if (cp <= 0x10FFFF) cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
        }
        if (i == digits) return ref;
        if (i < text.size() && text[i] == ';') ++i;
        if (cp == 0 || cp > 0x10FFFF) cp = 0xFFFD;
        if (cp >= 0x80 && cp <= 0x9F && kC1Replacements[cp - 0x80] != 0)
            cp = kC1Replacements[cp - 0x80];
        ref.length = i;
        ref.code_points[0] = cp;
        return ref;
    }
    while (i < text.size() && i <= kLongestEntityName && is_alnum(text[i])) ++i;
    std::string_view word = text.substr(1, i - 1);
    const HtmlEntity* entity = nullptr;
    if (i < text.size() && text[i] == ';') entity = find_entity(word);
    if (entity != nullptr) {
        ref.length = i + 1;
    } else {
        for (size_t n = std::min(word.size(), kLongestBareEntityName); n > 0; --n) {
            const HtmlEntity* bare = find_entity(word.substr(0, n));
            if (bare == nullptr || !bare->bare) continue;
            char next = n + 1 < text.size() ? text[n + 1] : '\0';
            if (in_attribute && (next == '=' || is_alnum(next))) return ref;
            entity = bare;
            ref.length = n + 1;
            break;
        }
        if (entity == nullptr) return ref;
    }
    ref.code_points[0] = entity->first;
    ref.code_points[1] = entity->second;
    return ref;
}

// An href as the URL it names: references decoded, and tabs and line breaks
// (which mail software folds into long attributes) gone, with the blanks
// around it, as a browser's URL parser drops them.
std::string url_of(std::string_view value) {
    std::string url;
    for (size_t i = 0; i < value.size();) {
        char c = value[i];
        if (c == '&') {
            Reference ref = read_reference(value.substr(i), true);
            if (ref.length != 0) {
                for (uint32_t cp : ref.code_points)
                    if (cp != 0) append_utf8(url, cp);
                i += ref.length;
                continue;
            }
        }
        url += c;
        ++i;
    }
    url.erase(std::remove_if(url.begin(), url.end(),
                             [](char c) { return c == '\t' || c == '\r' || c == '\n'; }),
              url.end());
    size_t first = 0, last = url.size();
    while (first < last && static_cast<unsigned char>(url[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(url[last - 1]) <= ' ') --last;
    return url.substr(first, last - first);
}

bool one_of(std::string_view name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

// Elements that stand on lines of their own.
bool is_block(std::string_view name) {
    return one_of(
        name, {"p",      "div",     "h1",      "h2",       "h3",     "h4",     "h5",  "h6",
               "table",  "tr",      "ul",      "ol",       "dl",     "dt",     "dd",  "blockquote",
               "pre",    "hr",      "section", "article",  "header", "footer", "nav", "aside",
               "center", "address", "form",    "fieldset", "figure", "main",   "li",  "tbody",
               "thead",  "tfoot",   "caption", "body",     "html"});
}

// Elements whose content is not shown.
bool is_hidden(std::string_view name) {
    return one_of(name, {"script", "style", "head", "title", "template", "noscript"});
}

class Renderer {
  public:
    explicit Renderer(std::string_view html) : in_(html) {}

    std::string run() {
        while (at_ < in_.size()) {
            char c = in_[at_];
            if (c == '<' && markup()) continue;
            if (c == '&') {
                reference();
                continue;
            }
            ++at_;
            text(c);
        }
        end_line();
        // Trailing blank lines go; the text ends with its last line's break.
        while (out_.size() >= 4 && out_.compare(out_.size() - 4, 4, "\r\n\r\n") == 0)
            out_.resize(out_.size() - 2);
        if (out_ == "\r\n") out_.clear();
        return out_;
    }

  private:
    // Text of the document: white space collapses outside <pre>.
    void text(char c) {
        if (hidden_ != 0) return;
        if (pre_ == 0 && is_html_space(c)) {
            space_ = !line_.empty();
            return;
        }
        if (c == '\r') return;
        if (c == '\n') {
            end_line();
            return;
        }
        if (space_ && line_.back() != ' ') {
            line_ += ' ';
            // A URL the text breaks over lines is not the target: the
            // target, whole, follows it.
            if (in_link_ && !link_text_.empty()) link_text_ += ' ';
        }
        space_ = false;
        line_ += c;
        if (in_link_) link_text_ += c;
    }

    void emit(const std::string& bytes) {
        for (char c : bytes) text(c);
    }

    // The current line ends (if it holds anything).
    void end_line() {
        space_ = false;
        while (!line_.empty() && line_.back() == ' ') line_.pop_back();
        if (line_.empty()) return;
        out_ += line_;
        out_ += "\r\n";
        line_.clear();
        blank_ = false;
    }

    // A block boundary: the line ends, with at most one empty line between
    // blocks that ask for one.
    void break_block(bool blank_line) {
        end_line();
        if (blank_line && !blank_ && !out_.empty()) {
            out_ += "\r\n";
            blank_ = true;
        }
    }

    void reference() {
        Reference ref = read_reference(in_.substr(at_), false);
        if (ref.length == 0) {  // not a reference: the ampersand is text
            ++at_;
            text('&');
            return;
        }
        at_ += ref.length;
        std::string bytes;
        for (uint32_t cp : ref.code_points)
            if (cp != 0) append_utf8(bytes, cp == 0xA0 ? ' ' : cp);
        emit(bytes);
    }

    // A tag, comment or declaration at at_; false when '<' starts none.
    bool markup() {
        if (in_.compare(at_, 4, "<!--") == 0) {
            size_t end = in_.find("-->", at_ + 4);
            at_ = end == std::string_view::npos ? in_.size() : end + 3;
            return true;
        }
        size_t p = at_ + 1;
        bool closing = p < in_.size() && in_[p] == '/';
        if (closing) ++p;
        if (p < in_.size() && (in_[p] == '!' || in_[p] == '?')) {
            size_t end = in_.find('>', p);
            at_ = end == std::string_view::npos ? in_.size() : end + 1;
            return true;
        }
        size_t name_start = p;
        while (p < in_.size() && name_char(in_[p])) ++p;
        if (p == name_start) return false;
        std::string name;
        for (size_t i = name_start; i < p && name.size() < 16; ++i) name += lower(in_[i]);
        std::string href;
        bool href_seen = false;
        // Attributes one after another, each read once from where the last
        // ended, so that no byte of a tag is looked at twice.
        while (true) {
            while (p < in_.size() && (is_html_space(in_[p]) || in_[p] == '/')) ++p;
            if (p >= in_.size() || in_[p] == '>') break;
            size_t attribute = p++;  // a name may begin with '='
            while (p < in_.size() && !is_html_space(in_[p]) && in_[p] != '/' && in_[p] != '>' &&
                   in_[p] != '=')
                ++p;
            std::string_view attribute_name = in_.substr(attribute, p - attribute);
            while (p < in_.size() && is_html_space(in_[p])) ++p;
            if (p >= in_.size() || in_[p] != '=') continue;
            ++p;
            while (p < in_.size() && is_html_space(in_[p])) ++p;
            std::string_view value = attribute_value(p);
            // The first of repeated attributes counts.
            if (!closing && name == "a" && !href_seen && is_href(attribute_name)) {
                href = url_of(value);
                href_seen = true;
            }
        }
        at_ = p < in_.size() ? p + 1 : in_.size();
        element(name, closing, href);
        return true;
    }

    static bool is_href(std::string_view name) {
        return name.size() == 4 && lower(name[0]) == 'h' && lower(name[1]) == 'r' &&
               lower(name[2]) == 'e' && lower(name[3]) == 'f';
    }

    // The value at p, quoted or not; p moves past it.
    std::string_view attribute_value(size_t& p) const {
        if (p < in_.size() && (in_[p] == '"' || in_[p] == '\'')) {
            size_t start = p + 1;
            size_t end = in_.find(in_[p], start);
            if (end == std::string_view::npos) end = in_.size();
            p = end < in_.size() ? end + 1 : end;
            return in_.substr(start, end - start);
        }
        size_t start = p;
        while (p < in_.size() && !is_html_space(in_[p]) && in_[p] != '>') ++p;
        return in_.substr(start, p - start);
    }

    void element(const std::string& name, bool closing, const std::string& href) {
        if (is_hidden(name)) {
            if (closing) {
                if (hidden_ > 0) --hidden_;
            } else {
                ++hidden_;
            }
            return;
        }
        if (hidden_ != 0) return;
        if (name == "br") {
            if (line_.empty()) out_ += "\r\n";
            end_line();
            return;
        }
        if (name == "pre") pre_ = closing ? (pre_ > 0 ? pre_ - 1 : 0) : pre_ + 1;
        if (name == "td" || name == "th") {
            if (!closing && !line_.empty()) space_ = true;
            return;
        }
        if (name == "a") {
            if (!closing) {
                in_link_ = !href.empty();
                link_target_ = href;
                link_text_.clear();
            } else if (in_link_) {
                close_link();
            }
            return;
        }
        if (is_block(name)) {
            bool paragraph = one_of(name, {"p", "h1", "h2", "h3", "h4", "h5", "h6", "table", "ul",
                                           "ol", "blockquote", "pre"});
            break_block(paragraph);
            if (name == "li" && !closing) line_ = "- ";
            if (name == "hr") {
                out_ += "----\r\n";
                blank_ = false;
            }
        }
    }

    void close_link() {
        std::string target = link_target_;
        in_link_ = false;
        const char* scheme = "mailto:";
        std::string shown = target.compare(0, 7, scheme) == 0 ? target.substr(7) : target;
        bool plain_url = target.compare(0, 4, "http") == 0 || target.compare(0, 7, scheme) == 0;
        if (plain_url && shown != link_text_ && target != link_text_) emit(" <" + shown + ">");
    }

    std::string_view in_;
    size_t at_ = 0;
    std::string out_;
    std::string line_;
    bool space_ = false;
    bool blank_ = true;  // no empty line at the start
    int hidden_ = 0;
    int pre_ = 0;
    bool in_link_ = false;
    std::string link_target_;
    std::string link_text_;
};

}  // namespace

std::string html_to_text(std::string_view html) {
    return Renderer(html).run();
}

}  // namespace brevorin
