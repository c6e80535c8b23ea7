#include "smtp/lists.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/base64.h"
#include "core/text.h"
#include "smtp/header_encoding.h"

namespace brevorin {

namespace {

bool holds_line_break(const std::string& value) {
    return value.find_first_of("\r\n") != std::string::npos;
}

// A caller's value with a line break would end its header line early and let
// the rest become header lines or SMTP commands of the caller's choosing.
bool refuse_line_break(const std::string& value, const char* element, const Context& ctx) {
    if (!holds_line_break(value)) return false;
    ctx.diag.print('E', 1, "PARSE_HEADERLIST: Refused: element '%s' holds a line break", element);
    return true;
}

// An optional element: a non-empty value is kept, an absent or empty one is
// none. False when the value must be refused.
bool take_optional(const char* list, const char* key, const char* element, OwnedText& field,
                   const Context& ctx) {
    std::string value;
    if (!find_list_item(list, key, value) || value.empty()) return true;
    if (refuse_line_break(value, element, ctx)) return false;
    field = std::move(value);
    return true;
}

// Where a mailbox's angle brackets open, outside a quoted display name; npos
// for a bare address.
size_t angle_open(std::string_view mailbox) {
    bool quoted = false;
    for (size_t i = 0; i < mailbox.size(); ++i) {
        char c = mailbox[i];
        if (quoted && c == '\\')
            ++i;
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '<')
            return i;
    }
    return std::string_view::npos;
}

// A display name as a phrase of a header line (RFC 5322): as it is when it
// is atoms or already quoted, quoted when it holds specials, encoded words
// when it is not ASCII. false when it cannot be encoded.
bool display_phrase(const std::string& name, std::string& phrase, const Context& ctx) {
    if (has_8bit(name)) return encode_phrase_words(name.c_str(), phrase, ctx) >= 0;
    bool quoted = name.size() >= 2 && name.front() == '"' && name.back() == '"';
    if (quoted || name.find_first_of("()<>[]:;@\\,.\"") == std::string::npos) {
        phrase = name;
        return true;
    }
    phrase = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') phrase += '\\';
        phrase += c;
    }
    phrase += '"';
    return true;
}

int parse_header_items(const char* list, HeaderList& headers, const Context& ctx) {
    if (!find_list_item(list, "TO=", headers.to) || headers.to.empty()) {
        ctx.diag.print('E', 1, "PARSE_HEADERLIST: missing mandatory element 'to' in header_list");
        return kNoRecipient;
    }
    if (refuse_line_break(headers.to, "to", ctx)) return -1;
    if (!find_list_item(list, "FROM=", headers.from) || headers.from.empty()) {
        ctx.diag.print('E', 1, "PARSE_HEADERLIST: missing mandatory element 'from' in header_list");
        return kNoRecipient;
    }
    if (refuse_line_break(headers.from, "from", ctx)) return -1;
    if (!take_optional(list, "CC=", "cc", headers.cc, ctx)) return -1;
    if (!take_optional(list, "BCC=", "bcc", headers.bcc, ctx)) return -1;
    headers.envelope_from = envelope_address(headers.from);
    if (!header_mailboxes(headers.from, headers.from, ctx) ||
        !header_mailboxes(headers.to, headers.to, ctx) ||
        (headers.cc && !header_mailboxes(*headers.cc, *headers.cc, ctx)))
        return -1;

    std::string subject;
    if (find_list_item(list, "SUBJECT=", subject) && !subject.empty()) {
        if (refuse_line_break(subject, "subject", ctx)) return -1;
        std::string word;
        if (encode_words(subject.c_str(), word, ctx, sizeof "Subject: " - 1) < 0) return -1;
        headers.subject = std::move(word);
    }

    std::string priority;
    if (find_list_item(list, "PRIORITY=", priority)) {
        int value = parse_int_like_atoi(priority.c_str());
        if (value >= 1 && value <= 5) headers.priority = value;
    }
    if (!take_optional(list, "REPLY=", "reply", headers.reply_to, ctx)) return -1;
    if (headers.reply_to && !header_mailboxes(*headers.reply_to, *headers.reply_to, ctx)) return -1;
    return 0;
}

int open_attachment(const std::string& path, AttachmentList& attachments, const Context& ctx) {
    if (path.size() > kMaxAttachmentPath) {
        ctx.diag.print('E', 1, "PARSE_ATT_LIST: Refused: path longer than %d characters",
                       static_cast<int>(kMaxAttachmentPath));
        return kAttachOpen;
    }
    Attachment entry;
    entry.source = platform::open_binary_read(path);
    if (!entry.source) {
        ctx.note_failure(Failure::kFile, errno != 0 ? errno : ENOENT, path);
        return kAttachOpen;
    }
    if (!platform::file_status_ok(entry.source.get())) {
        ctx.diag.print('E', 1, "PARSE_ATT_LIST: Couldn't open attachment file");
        return kAttachOpen;
    }
    uint64_t size = 0;
    platform::file_size(entry.source.get(), size);
    const uint64_t encoded = Base64Encoder::encoded_size(size);
    entry.path = path;
    entry.encoded_size = encoded > INT32_MAX ? INT32_MAX : static_cast<int32_t>(encoded);
    ctx.diag.print('F', 0, "PARSE_ATT_LIST: Done encoding file: %s, size: %d", entry.path.c_str(),
                   entry.encoded_size);
    attachments.entries.push_back(std::move(entry));
    return 0;
}

}  // namespace

std::string envelope_address(const std::string& mailbox) {
    size_t open = angle_open(mailbox);
    std::string address = mailbox;
    if (open != std::string::npos) {
        size_t close = mailbox.find('>', open);
        address = mailbox.substr(open + 1,
                                 close == std::string::npos ? std::string::npos : close - open - 1);
    }
    trim_spaces(address);
    return address;
}

std::optional<std::string> next_mailbox(std::string_view list, size_t& consumed) {
    consumed = 0;
    if (list.empty()) return std::nullopt;
    size_t start = list[0] == ',' ? 1 : 0;
    bool quoted = false;
    bool angled = false;
    size_t end = start;
    for (; end < list.size(); ++end) {
        char c = list[end];
        if (quoted && c == '\\')
            ++end;
        else if (c == '"' && !angled)
            quoted = !quoted;
        else if (!quoted && c == '<')
            angled = true;
        else if (!quoted && c == '>')
            angled = false;
        else if (!quoted && !angled && c == ',')
            break;
    }
    if (end > list.size()) end = list.size();
    consumed = end;
    return std::string(list.substr(start, end - start));
}

bool header_mailboxes(const std::string& list, std::string& out, const Context& ctx) {
    if (list.find('<') == std::string::npos) {
        out = list;  // bare addresses: as given
        return true;
    }
    std::string result;
    std::string_view rest = list;
    size_t consumed = 0;
    bool first = true;
    while (auto mailbox = next_mailbox(rest, consumed)) {
        rest.remove_prefix(consumed);
        if (!first) result += ',';
        first = false;
        size_t open = angle_open(*mailbox);
        std::string name = open == std::string::npos ? std::string() : mailbox->substr(0, open);
        trim_spaces(name);
        if (name.empty()) {
            result += *mailbox;
            continue;
        }
        std::string phrase;
        if (!display_phrase(name, phrase, ctx)) return false;
        size_t lead = mailbox->find_first_not_of(" \t");
        result += mailbox->substr(0, lead == std::string::npos ? 0 : lead);
        result += phrase + " <" + envelope_address(*mailbox) + ">";
    }
    out = std::move(result);
    return true;
}

namespace {

// Characters of a text up to its first line break.
size_t first_line_width(std::string_view text) {
    size_t crlf = text.find("\r\n");
    return crlf == std::string_view::npos ? text.size() : crlf;
}

// Appends text and moves the column past it (to the end of its last line
// where it holds line breaks).
void append_text(std::string& out, std::string_view text, size_t& column) {
    out.append(text);
    size_t crlf = text.rfind("\r\n");
    column = crlf == std::string_view::npos ? column + text.size() : text.size() - crlf - 2;
}

// A mailbox too long for any line of its own is folded inside, before the
// blanks that part its words and the address (outside quotation marks and
// angle brackets, so unfolding gives the same mailbox back).
void append_folded_mailbox(std::string& out, std::string_view mailbox, size_t& column,
                           size_t limit) {
    bool quoted = false;
    bool angled = false;
    size_t start = 0;
    for (size_t i = 0; i <= mailbox.size(); ++i) {
        const bool at_end = i == mailbox.size();
        if (!at_end) {
            const char c = mailbox[i];
            if (quoted && c == '\\' && i + 1 < mailbox.size()) {
                ++i;
                continue;
            }
            if (c == '"' && !angled) quoted = !quoted;
            if (!quoted && c == '<') angled = true;
            if (!quoted && c == '>') angled = false;
        }
        const bool fold_point = !at_end && i > start && !quoted && !angled &&
                                is_blank(mailbox[i]) && !is_blank(mailbox[i - 1]) &&
                                mailbox[i - 1] != '\n';
        if (!fold_point && !at_end) continue;
        std::string_view word = mailbox.substr(start, i - start);
        // A line of blanks alone would be no line to a reader.
        const bool blanks_only = word.find_first_not_of(" \t") == std::string_view::npos;
        if (start > 0 && !blanks_only && column + first_line_width(word) > limit) {
            out += "\r\n";
            column = 0;
        }
        append_text(out, word, column);
        start = i;
    }
}

}  // namespace

std::string fold_address_list(const std::string& list, size_t lead, size_t limit) {
    if (lead + list.size() <= limit) return list;
    // The commas that end mailboxes, as the envelope splits the list.
    std::vector<size_t> ends;
    std::string_view rest = list;
    size_t consumed = 0;
    size_t at = 0;
    while (next_mailbox(rest, consumed)) {
        at += consumed;
        ends.push_back(at);
        rest.remove_prefix(consumed);
    }
    std::string out;
    out.reserve(list.size() + ends.size() * 3);
    size_t column = lead;
    size_t start = 0;
    for (size_t n = 0; n < ends.size(); ++n) {
        // The mailbox and the comma after it (none after the last).
        size_t end = std::min(ends[n] + 1, list.size());
        std::string_view piece = std::string_view(list).substr(start, end - start);
        start = end;
        if (n > 0 && column + first_line_width(piece) > limit) {
            out += "\r\n";
            column = 0;
            if (piece.empty() || !is_blank(piece[0])) {
                out += ' ';
                column = 1;
            }
        }
        if (column + first_line_width(piece) > limit)
            append_folded_mailbox(out, piece, column, limit);
        else
            append_text(out, piece, column);
    }
    out.append(list, start, std::string::npos);
    return out;
}

bool find_list_item(const char* list, const char* key, std::string& value) {
    if (list == nullptr) return false;
    size_t key_length = std::strlen(key);
    const char* item = list;
    while (true) {
        const char* end = std::strchr(item, kEsc);
        size_t length = end != nullptr ? static_cast<size_t>(end - item) : std::strlen(item);
        if (length >= key_length && std::strncmp(item, key, key_length) == 0) {
            value.assign(item + key_length, length - key_length);
            return true;
        }
        if (end == nullptr) return false;
        item = end + 1;
    }
}

int parse_header_list(const char* header_list, HeaderList& headers, const Context& ctx) {
    free_header_list(headers);
    int result;
    try {
        result = parse_header_items(header_list != nullptr ? header_list : "", headers, ctx);
    } catch (const std::bad_alloc&) {
        result = -1;
    }
    if (result != 0) free_header_list(headers);
    return result;
}

void free_header_list(HeaderList& headers) {
    headers = HeaderList();
}

// Every path is looked at before anything is encoded: what is not a regular
// file is refused, and the sizes are held against the caller's limit while
// refusing is still cheap.
static int check_attachment_files(std::vector<std::string>& paths, int max_size,
                                  const Context& ctx) {
    uint64_t encoded = 0;
    for (std::string& path : paths) {
        trim_spaces(path);
        uint64_t size = 0;
        switch (platform::path_kind(path, size)) {
            case platform::PathKind::kRegular:
                break;
            case platform::PathKind::kMissing:
                continue;  // opening it reports the failure as it always has
            case platform::PathKind::kOther:
                ctx.diag.print('E', 1, "PARSE_ATT_LIST: Refused: not a regular file: %.300s",
                               path.c_str());
                ctx.note_failure(Failure::kFile, EINVAL, path);
                return kAttachOpen;
        }
        encoded += (size + 2) / 3 * 4;  // the least its base64 form takes
    }
    if (max_size > 0 && encoded > static_cast<uint64_t>(max_size)) {
        ctx.diag.print('E', 1, "PARSE_ATT_LIST: Attachments larger than the size limit of %d bytes",
                       max_size);
        return kOverSizeLimit;
    }
    return 0;
}

int parse_attachment_list(const char* attachment_list, AttachmentList& attachments,
                          const Context& ctx, int max_size) {
    attachments.entries.clear();
    if (attachment_list == nullptr) return 0;
    std::vector<std::string> paths = split_field_list(attachment_list);
    // Refused before any file is encoded: there is no room for the rest.
    if (paths.size() > static_cast<size_t>(kMaxAttachments)) {
        ctx.diag.print('E', 1, "PARSE_ATT_LIST: Refused: more than %d attachments",
                       kMaxAttachments);
        return kAttachOpen;
    }
    if (int refused = check_attachment_files(paths, max_size, ctx)) return refused;
    for (std::string& path : paths) {
        int result = open_attachment(path, attachments, ctx);
        if (result != 0) return result;
    }
    return 0;
}

std::string attachment_file_name(const std::string& path) {
    std::string name = last_path_component(path);
    // The name goes between quotation marks in a header line: a quotation
    // mark or a control character (a line break above all) would end it.
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == 0x7f) c = '_';
    return name;
}

}  // namespace brevorin
