#include "mime/html_text.h"

#include <cstdint>
#include <cstring>

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
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The Latin-1 entities of HTML 4 name U+00A0 to U+00FF in order.
const char* const kLatin1Entities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

struct NamedEntity {
    const char* name;
    uint32_t code_point;
};

const NamedEntity kOtherEntities[] = {
    {"amp", '&'},      {"lt", '<'},        {"gt", '>'},        {"quot", '"'},
    {"apos", '\''},    {"euro", 0x20AC},   {"hellip", 0x2026}, {"mdash", 0x2014},
    {"ndash", 0x2013}, {"lsquo", 0x2018},  {"rsquo", 0x2019},  {"sbquo", 0x201A},
    {"ldquo", 0x201C}, {"rdquo", 0x201D},  {"bdquo", 0x201E},  {"bull", 0x2022},
    {"trade", 0x2122}, {"dagger", 0x2020}, {"larr", 0x2190},   {"rarr", 0x2192},
    {"zwnj", 0x200C},  {"zwj", 0x200D},    {"thinsp", 0x2009}, {"ensp", 0x2002},
    {"emsp", 0x2003},  {"OElig", 0x152},   {"oelig", 0x153},   {"Scaron", 0x160},
    {"scaron", 0x161}, {"Yuml", 0x178},    {"fnof", 0x192},    {"circ", 0x2C6},
    {"tilde", 0x2DC},  {"permil", 0x2030}, {"lsaquo", 0x2039}, {"rsaquo", 0x203A},
};

// The code point a reference names; 0 when it names none.
uint32_t entity_value(std::string_view name) {
    for (size_t i = 0; i < 96; ++i)
        if (name == kLatin1Entities[i]) return static_cast<uint32_t>(0xA0 + i);
    for (const NamedEntity& e : kOtherEntities)
        if (name == e.name) return e.code_point;
    return 0;
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
        if (space_ && line_.back() != ' ') line_ += ' ';
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
        size_t end = at_ + 1;
        while (end < in_.size() && end - at_ < 12 && in_[end] != ';' && !is_html_space(in_[end]) &&
               in_[end] != '<' && in_[end] != '&')
            ++end;
        uint32_t cp = 0;
        std::string_view body = in_.substr(at_ + 1, end - at_ - 1);
        if (!body.empty() && body[0] == '#') {
            bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
            size_t i = hex ? 2 : 1;
            bool any = false;
            for (; i < body.size(); ++i) {
                char d = body[i];
                int v = d >= '0' && d <= '9'                        ? d - '0'
                        : hex && lower(d) >= 'a' && lower(d) <= 'f' ? lower(d) - 'a' + 10
                                                                    : -1;
                if (v < 0) break;
                // Past the last code point the value only needs to stay there.
                if (cp <= 0x10FFFF) cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
                any = true;
            }
            if (!any || i != body.size())
                cp = 0;
            else if (cp == 0 || cp > 0x10FFFF)
                cp = 0xFFFD;
        } else {
            cp = entity_value(body);
        }
        if (cp == 0) {  // not a reference: the ampersand is text
            ++at_;
            text('&');
            return;
        }
        at_ = end < in_.size() && in_[end] == ';' ? end + 1 : end;
        std::string bytes;
        append_utf8(bytes, cp == 0xA0 ? ' ' : cp);
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
        // Attributes, with quoted values that may hold '>'.
        std::string href;
        while (p < in_.size() && in_[p] != '>') {
            if (in_[p] == '"' || in_[p] == '\'') {
                size_t end = in_.find(in_[p], p + 1);
                p = end == std::string_view::npos ? in_.size() : end + 1;
                continue;
            }
            if (!closing && name == "a" && lower(in_[p]) == 'h' && in_.compare(p, 5, "href=") == 0)
                href = attribute_value(p + 5);
            ++p;
        }
        at_ = p < in_.size() ? p + 1 : in_.size();
        element(name, closing, href);
        return true;
    }

    std::string attribute_value(size_t p) const {
        if (p >= in_.size()) return std::string();
        char quote = in_[p];
        size_t start = p, end;
        if (quote == '"' || quote == '\'') {
            start = p + 1;
            end = in_.find(quote, start);
        } else {
            end = start;
            while (end < in_.size() && !is_html_space(in_[end]) && in_[end] != '>') ++end;
        }
        if (end == std::string_view::npos) end = in_.size();
        return std::string(in_.substr(start, end - start));
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
