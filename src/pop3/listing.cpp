#include "pop3/listing.h"

#include <cstring>
#include <deque>
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
#include "net/connection.h"
#include "pop3/header_download.h"
#include "pop3/session.h"

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

// Messages whose LIST and TOP go out together when the server pipelines.
constexpr size_t kPipelineBatch = 32;

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

// LIST and TOP for a message whose header is not yet known, then the
// extraction. 0, or the listing's status for the failure.
int fetch_header_fields(Mailbox& box, int number, std::string& header) {
    MessageState& state = box.states[number];
    if (!list_size(box, number, state.size) ||
        !fetch_header(box, number, kHeaderBlockCapacity, header)) {
        if (is_network_error(box)) {
            tear_down(box);
            return kNetwork;
        }
        return kCommandFailed;
    }
    if (parse_header_fields(header.c_str(), box.entry(number), box.ctx) != 0) return kInvalid;
    state.headers_parsed = true;
    return 0;
}

// A message whose LIST and TOP (or RETR) went out in a batch, and which of
// their answers are still to be read.
struct Requested {
    int message;
    bool size_due;
    bool header_due;
    bool uidl_due;
};

using Batch = std::deque<Requested>;

// Sends LIST and TOP (or RETR) for up to kPipelineBatch messages from first
// on that still need their header, in one write. 0 or the status.
int send_batch(Mailbox& box, int first, Batch& batch) {
    std::string requests;
    for (int n = first; n <= box.message_count && batch.size() < kPipelineBatch; ++n) {
        if (!box.states[n].present || box.states[n].headers_parsed) continue;
        bool uidl = box.ctx.options.uidl && !box.entry(n).uidl;
        if (uidl) requests += uidl_request(n);
        requests += size_request(n);
        requests += header_request(box, n);
        batch.push_back(Requested{n, true, true, uidl});
    }
    box.connection.cork();
    bool sent = box.connection.write_text(requests);
    if (box.connection.uncork() != 0 || !sent) {
        batch.clear();
        tear_down(box);
        return kNetwork;
    }
    return 0;
}

// Answers that do not belong to their requests: nothing read from here on
// can be trusted to be the message it claims, so the visit ends.
int out_of_step(Mailbox& box, Batch& batch) {
    box.ctx.diag.print('E', 1,
                       "LISTMAIL: Answers out of step with the requests, connection closed");
    batch.clear();
    tear_down(box);
    return kNetwork;
}

// Reads and drops every answer still due, so that the next command reads
// its own. 0, or kNetwork when the connection failed or the answers turned
// out to be out of step (the visit is then torn down).
int drop_batch(Mailbox& box, Batch& batch) {
    for (const Requested& r : batch) {
        std::string uid;
        SizeAnswer known = r.uidl_due ? uidl_answer(box, r.message, uid) : SizeAnswer::kOk;
        if (known == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
        if (known == SizeAnswer::kFailed) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
        SizeAnswer size = r.size_due ? drop_size_answer(box, r.message) : SizeAnswer::kOk;
        if (size == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
        if (size == SizeAnswer::kFailed || (r.header_due && !drop_answer(box))) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
    }
    batch.clear();
    return 0;
}

// Drops the rest of the batch after a failure of the listing's own: the
// listing's status, unless dropping ended the visit.
int fail_batch(Mailbox& box, Batch& batch, int status) {
    return drop_batch(box, batch) == 0 ? status : kNetwork;
}

// The answers for the batch's first message, as fetch_header_fields would
// have read them one command at a time. 0 or the listing's status.
int receive_header_fields(Mailbox& box, Batch& batch, std::string& header) {
    Requested& r = batch.front();
    MessageState& state = box.states[r.message];
    if (r.uidl_due) {
        r.uidl_due = false;
        std::string uid;
        SizeAnswer known = uidl_answer(box, r.message, uid);
        if (known == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
        if (known == SizeAnswer::kFailed) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
        box.entry(r.message).uidl = std::move(uid);
    }
    box.ctx.diag.print('F', 0, "POP3_LIST: Listing : %d", r.message);
    r.size_due = false;
    SizeAnswer size = size_answer(box, r.message, state.size, true);
    if (size == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
    bool ok = size == SizeAnswer::kOk;
    if (ok) {
        r.header_due = false;
        ok = header_answer(box, r.message, kHeaderBlockCapacity, header);
    }
    if (!ok) {
        if (size == SizeAnswer::kFailed || is_network_error(box)) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
        return fail_batch(box, batch, kCommandFailed);
    }
    int message = r.message;
    batch.pop_front();
    if (parse_header_fields(header.c_str(), box.entry(message), box.ctx) != 0)
        return fail_batch(box, batch, kInvalid);
    state.headers_parsed = true;
    return 0;
}

void append_value(std::string& list, const OwnedText& value) {
    if (value) append_without_esc(list, *value);
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

std::optional<int> start_listing(const Mailbox& box, std::string& list_out, std::string& list,
                                 int& first) {
    list_out.clear();
    if (!box.logged_on) return static_cast<int>(kNotLoggedOn);
    if (box.message_count <= 0) return 0;
    // The list never holds more than what the host takes, whatever the
    // mailbox size, so that is all it needs.
    try {
        list.reserve(kHostTextLimit);
    } catch (const std::bad_alloc&) {
        box.ctx.diag.print('E', 1, "LISTMAIL: malloc failed");
        return static_cast<int>(kInvalid);
    }
    // A host pages through a mailbox larger than its window by starting
    // after the last message it got; by default the listing starts at 1.
    first = box.ctx.options.list_from > box.message_count
                ? box.message_count + 1
                : static_cast<int>(box.ctx.options.list_from);
    return std::nullopt;
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

int list_messages(Mailbox& box, std::string& list_out) {
    const Context& ctx = box.ctx;
    std::string list;
    int first = 1;
    if (std::optional<int> status = start_listing(box, list_out, list, first)) return *status;
    std::string header;
    try {
        header.reserve(kHeaderBlockCapacity);
    } catch (const std::bad_alloc&) {
        ctx.diag.print('E', 1, "LISTMAIL: malloc failed");
        return kInvalid;
    }
    int listed = box.message_count - (first - 1);
    int records = 0;
    Batch batch;
    for (int n = first; n <= box.message_count; ++n) {
        if (!box.states[n].present) {
            --listed;
            ctx.diag.print('F', 0, "LISTMAIL: Skipping deleted message: %d", n);
            continue;
        }
        if (!box.states[n].headers_parsed) {
            // The first header of a connection learns whether TOP works, so
            // it is fetched alone; batches follow once that is known.
            bool batched = box.pipelining && box.top_support != TopSupport::kUnknown;
            if (!batch.empty() && batch.front().message != n && drop_batch(box, batch) != 0)
                return kNetwork;
            if (!box.logged_on) return kNetwork;
            if (batched && batch.empty()) {
                int status = send_batch(box, n, batch);
                if (status != 0) return status;
            }
            int status = batched ? receive_header_fields(box, batch, header)
                                 : fetch_header_fields(box, n, header);
            if (status != 0) return status;
        }
        if (ctx.options.uidl && !box.entry(n).uidl) {
            // Asked alone (a header known from before the option was set):
            // the answers of a batch in flight are read first.
            if (!batch.empty() && drop_batch(box, batch) != 0) return kNetwork;
            if (!known_uidl(box, n)) {
                tear_down(box);
                return kNetwork;
            }
        }
        size_t before = list.size();
        if (records > 0) list += kEsc;
        append_record(list, n, box.states[n], box.entry(n), ctx.options.uidl);
        if (list.size() + 1 > static_cast<size_t>(kHostTextLimit)) {
            // Answers to requests past the cut are read and dropped, as if
            // they had never been asked for.
            if (drop_batch(box, batch) != 0) return kNetwork;
            list.resize(before);
            list_out = list;
            return records;
        }
        ++records;
    }
    list_out = list;
    ctx.diag.print('F', 0, "LISTMAIL: Returning list of %d messaged", listed);
    return listed;
}

}  // namespace brevorin
