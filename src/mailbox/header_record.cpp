#include "mailbox/header_record.h"

#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "codec/unicode_forms.h"
#include "core/charset.h"
#include "core/text.h"
#include "mime/encoded_word.h"
#include "mime/header_block.h"

namespace brevorin {

namespace {

// A header value is held in a 512-byte buffer: 511 characters and the end.
constexpr size_t kMaxValueLength = 511;

// Longest texts whose "Put ... in X field" line still fits a diagnostics line.
constexpr size_t kFromLineLimit = 988;
constexpr size_t kToLineLimit = 990;
constexpr size_t kCcLineLimit = 990;
constexpr size_t kSubjectLineLimit = 985;
constexpr size_t kReplyLineLimit = 987;
constexpr size_t kDateLineLimit = 988;

constexpr int kDefaultPriority = 3;

bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

// Where the line holding pos ends: its CR or LF, or the end of the text.
size_t line_end(const std::string& text, size_t pos) {
    while (pos < text.size() && !is_line_break(text[pos])) ++pos;
    return pos;
}

size_t next_line_start(const std::string& text, size_t end) {
    if (end < text.size() && text[end] == '\r') ++end;
    if (end < text.size() && text[end] == '\n') ++end;
    return end;
}

// The end of a field that may be folded: the key's own line, then every
// following line that continues it. A line continues the field when it
// begins with a blank, or when it holds no colon (a fold that lost its
// blank); any other line is the next header field. An empty line ends the
// header and so the field. Colons on the key's line or in continuation
// lines are part of the value ("Subject: Re: ...").
size_t folded_value_end(const std::string& text, size_t start) {
    size_t end = line_end(text, start);
    while (true) {
        size_t next = next_line_start(text, end);
        if (next >= text.size()) break;
        size_t stop = line_end(text, next);
        if (stop == next) break;
        bool continues =
            is_blank(text[next]) || std::memchr(text.data() + next, ':', stop - next) == nullptr;
        if (!continues) break;
        end = stop;
    }
    return end;
}

// The end of a single-line value: the first CR, or a bare LF. An apostrophe
// has always ended Date and Message-ID values too, and hosts see them so.
size_t single_value_end(const std::string& text, size_t start) {
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\'' && text[end] != '\n') ++end;
    return end;
}

// Cuts a trimmed value to the value buffer's 511 characters. An encoded
// word that the cut would break is left out whole, so the part kept still
// decodes.
void limit_value(std::string& value) {
    if (value.size() <= kMaxValueLength) return;
    value.resize(kMaxValueLength);
    size_t word = value.rfind("=?");
    if (word != std::string::npos) {
        size_t charset_end = value.find('?', word + 2);
        size_t encoding_end =
            charset_end == std::string::npos ? charset_end : value.find('?', charset_end + 1);
        size_t word_end =
            encoding_end == std::string::npos ? encoding_end : value.find("?=", encoding_end + 1);
        if (word_end == std::string::npos) value.resize(word);
    }
    trim_spaces(value);
}

std::string without_line_breaks_and_tabs(const std::string& value) {
    std::string flat;
    flat.reserve(value.size());
    for (char c : value)
        if (c != '\r' && c != '\n' && c != '\t') flat.push_back(c);
    return flat;
}

struct FoldedField {
    const char* key;
    OwnedText MessageEntry::*slot;
    const char* name;  // as the diagnostics lines call it
    size_t line_limit;
};

constexpr FoldedField kFromField{"FROM:", &MessageEntry::from, "from", kFromLineLimit};
constexpr FoldedField kToField{"TO:", &MessageEntry::to, "to", kToLineLimit};
constexpr FoldedField kCcField{"CC:", &MessageEntry::cc, "cc", kCcLineLimit};
constexpr FoldedField kSubjectField{"SUBJECT:", &MessageEntry::subject, "subject",
                                    kSubjectLineLimit};
constexpr FoldedField kReplyToField{"REPLY-TO:", &MessageEntry::reply_to, "reply", kReplyLineLimit};

// Which field names a label finds. Classic rules keep the tail matches the
// listing has always made (Delivered-To for To, Bcc for Cc, Resent-Date
// for Date); modern rules take the field of that very name, so that
// X-Envelope-From on a bounce is not its From.
HeaderBlock::NameMatch name_match(const Context& ctx) {
    return ctx.options.mime == MimeMode::kModern ? HeaderBlock::NameMatch::kWhole
                                                 : HeaderBlock::NameMatch::kTail;
}

// A UTF-8 host under the modern rules gets UTF-8 it can take: raw 8-bit
// bytes that some senders put in a header without encoding them are no
// UTF-8, and each bad sequence becomes U+FFFD, as mail readers show it.
void keep_host_text_valid(std::string& value, const Context& ctx) {
    if (ctx.options.mime == MimeMode::kModern && ctx.charset == kUtf8) repair_utf8(value);
}

// From, To, Cc, Subject and Reply-To: folded values with encoded words.
void extract_folded(const HeaderBlock& block, const FoldedField& field, MessageEntry& entry,
                    const Context& ctx) {
    const std::string& header = block.classic_text();
    OwnedText& slot = entry.*field.slot;
    size_t start = block.after_field_name(field.key, name_match(ctx));
    if (start == std::string::npos) {
        slot = std::string();
        return;
    }
    std::string value = header.substr(start, folded_value_end(header, start) - start);
    trim_spaces(value);
    limit_value(value);
    std::string decoded;
    if (decode_encoded_words(value.c_str(), decoded, ctx) < 0) {
        // One badly encoded value (or a plain "=?" in a subject) must not
        // make the whole mailbox unlistable: keep the value as it came.
        ctx.diag.print('E', 1, "POP3_PARSEHEADER: Could not decode %s field, kept as received",
                       field.name);
        decoded = without_line_breaks_and_tabs(value);
    }
    keep_host_text_valid(decoded, ctx);
    slot = std::move(decoded);
    if (slot->size() < field.line_limit)
        ctx.diag.print('D', 2, "POP3_PARSEHEADER: Put %s in %s field", slot->c_str(), field.name);
}

// The trimmed text of a single-line field; nullopt when the key is absent.
// An empty value comes back as an empty text.
OwnedText single_line_value(const HeaderBlock& block, const char* key,
                            HeaderBlock::NameMatch match) {
    const std::string& header = block.classic_text();
    size_t start = block.after_field_name(key, match);
    if (start == std::string::npos) return std::nullopt;
    std::string value = header.substr(start, single_value_end(header, start) - start);
    trim_spaces(value);
    limit_value(value);
    return value;
}

void extract_date(const HeaderBlock& block, MessageEntry& entry, const Context& ctx) {
    OwnedText value = single_line_value(block, "DATE:", name_match(ctx));
    if (value) keep_host_text_valid(*value, ctx);
    entry.date = value ? std::move(*value) : std::string();
    if (value && entry.date->size() < kDateLineLimit)
        ctx.diag.print('D', 2, "POP3_PARSEHEADER: Put %s in date field", entry.date->c_str());
}

// The host's priority (5 highest) from a message by mail clients' rules,
// each field by its own name: X-Priority counts the other way round (1
// highest), Priority says urgent, normal or non-urgent, Importance high,
// normal or low. The first of them that says something counts; nullopt
// when none does.
std::optional<int> host_priority(const HeaderBlock& block) {
    constexpr HeaderBlock::NameMatch kWhole = HeaderBlock::NameMatch::kWhole;
    if (OwnedText x = single_line_value(block, "X-PRIORITY:", kWhole)) {
        int number = parse_int_like_atoi(x->c_str());
        if (number >= 1 && number <= 5) return 6 - number;
    }
    struct Word {
        const char* text;
        int priority;
    };
    auto read_words = [&block](const char* key,
                               std::initializer_list<Word> words) -> std::optional<int> {
        OwnedText value = single_line_value(block, key, kWhole);
        if (!value) return std::nullopt;
        std::string word = upper_case_copy(*value);
        for (const Word& w : words)
            if (word == w.text) return w.priority;
        return std::nullopt;
    };
    if (std::optional<int> p =
            read_words("PRIORITY:", {{"URGENT", 5}, {"NORMAL", 3}, {"NON-URGENT", 1}}))
        return p;
    return read_words("IMPORTANCE:", {{"HIGH", 5}, {"NORMAL", 3}, {"LOW", 1}});
}

// Classic rules read the number of the first field whose name ends in
// Priority (X-Priority too) the way atoi reads it, so "1 (Highest)" gives
// 1 and a word gives 0.
void extract_priority(const HeaderBlock& block, MessageEntry& entry, const Context& ctx) {
    bool modern = ctx.options.mime == MimeMode::kModern;
    std::optional<int> found;
    if (modern) {
        found = host_priority(block);
    } else if (OwnedText value = single_line_value(block, "PRIORITY:", name_match(ctx))) {
        found = value->empty() ? kDefaultPriority : parse_int_like_atoi(value->c_str());
    }
    if (!found) {
        ctx.diag.print('F', 0, "POP3_PARSEHEADER: Priority not available, trying X-Priority");
        ctx.diag.print('F', 0,
                       "POP3_PARSEHEADER: X-Priority not available, using default priority");
        entry.priority = kDefaultPriority;
        return;
    }
    entry.priority = *found;
    ctx.diag.print('D', 2, "POP3_PARSEHEADER: Put %d in priority field", entry.priority);
}

void extract_message_id(const HeaderBlock& block, MessageEntry& entry, const Context& ctx) {
    OwnedText value = single_line_value(block, "MESSAGE-ID:", name_match(ctx));
    if (value) keep_host_text_valid(*value, ctx);
    entry.id = value ? std::move(*value) : std::string();
    if (value) ctx.diag.print('D', 2, "POP3_PARSEHEADER: Put %s in id field", entry.id->c_str());
}

void append_value(std::string& list, const OwnedText& value) {
    if (value) append_without_esc(list, *value);
}

void append_item(std::string& record, const char* key, const OwnedText& value) {
    if (!record.empty()) record += kEsc;
    record += key;
    if (value) append_without_esc(record, *value);
}

}  // namespace

// "NMB=%d\eID=%s\eFROM=%s\eSUBJECT=%s\eDATE=%s\ePRIORITY=%d\eSIZE=%d", with
// "UIDL=%s" after NMB when the session asks for it.
void append_record(std::string& list, int number, const MessageState& state,
                   const MessageEntry& entry, bool uidl) {
    auto item = [&list](const char* key, const OwnedText& value) {
        list += kEsc;
        list += key;
        append_value(list, value);
    };
    list += "NMB=";
    list += std::to_string(number);
    if (uidl) item("UIDL=", entry.uidl);
    item("ID=", entry.id);
    item("FROM=", entry.from);
    item("SUBJECT=", entry.subject);
    item("DATE=", entry.date);
    item("PRIORITY=", std::to_string(entry.priority));
    item("SIZE=", std::to_string(state.size));
}

int parse_header_fields(const char* header, MessageEntry& entry, const Context& ctx) {
    if (header == nullptr) return -1;
    try {
        const HeaderBlock block(header);
        extract_folded(block, kFromField, entry, ctx);
        extract_folded(block, kToField, entry, ctx);
        extract_folded(block, kCcField, entry, ctx);
        extract_folded(block, kSubjectField, entry, ctx);
        extract_date(block, entry, ctx);
        extract_priority(block, entry, ctx);
        extract_folded(block, kReplyToField, entry, ctx);
        extract_message_id(block, entry, ctx);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

std::string header_record(const MessageEntry& entry, bool uidl) {
    std::string record;
    append_item(record, "ID=", entry.id);
    append_item(record, "TO=", entry.to);
    append_item(record, "FROM=", entry.from);
    append_item(record, "SUBJECT=", entry.subject);
    append_item(record, "DATE=", entry.date);
    append_item(record, "PRIORITY=", std::to_string(entry.priority));
    append_item(record, "CC=", entry.cc);
    append_item(record, "REPLY=", entry.reply_to);
    if (uidl) append_item(record, "UIDL=", entry.uidl);
    return record;
}

// Cuts an over-long header (longer than its capacity, or cut already while it
// was read) at the last complete line that fits.
void keep_head(const Context& ctx, int message, size_t capacity, bool cut, std::string& header) {
    if (!cut && header.size() + 1 <= capacity) return;
    if (header.size() + 1 > capacity) header.resize(capacity - 1);
    size_t last = header.rfind('\n');
    if (last != std::string::npos) header.resize(last + 1);
    ctx.diag.print('W', 1,
                   "POP3_TOP: Header of message %d longer than %d bytes, listed from its start",
                   message, static_cast<int>(capacity - 1));
}

}  // namespace brevorin
