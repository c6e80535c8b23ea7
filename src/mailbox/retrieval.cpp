#include "mailbox/retrieval.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/text.h"
#include "core/text_block.h"
#include "mailbox/header_record.h"
#include "mailbox/visit.h"
#include "mime/file_names.h"
#include "mime/message.h"
#include "platform/files.h"

namespace brevorin {

namespace {

// The data of one answer, counted as LIST counts a message (without the
// stuffing dots): past the budget the readers above see the end of data,
// and the rest is left for the caller to drain, so a server that lied in
// LIST cannot make us keep or write more than the budget.
class BudgetedLines final : public LineSource {
  public:
    BudgetedLines(LineSource& inner, uint64_t budget) : inner_(inner), budget_(budget) {}
    bool exceeded() const { return exceeded_; }
    LineSource& inner() { return inner_; }

  protected:
    Next read_piece() override {
        if (exceeded_) return Next::kEnd;
        Next r = inner_.next();
        if (r != Next::kLine) return r;
        used_ += static_cast<uint64_t>(inner_.size());
        if (used_ > budget_) {
            exceeded_ = true;
            return Next::kEnd;
        }
        set_piece(inner_.raw(), inner_.raw_size(), inner_.raw() != inner_.data());
        return Next::kLine;
    }

  private:
    LineSource& inner_;
    uint64_t budget_;
    uint64_t used_ = 0;
    bool exceeded_ = false;
};

// The limit a retrieval holds to: the caller's, else the in-memory ceiling
// (files stream to disk and are not bound by it).
uint64_t budget_for(int max_size, bool files_only_unbounded, size_t ceiling) {
    if (max_size > 0) return static_cast<uint64_t>(max_size);
    return files_only_unbounded ? UINT64_MAX : ceiling;
}

// "POP3_FETCH" and the like: the diagnostics tag of an operation of the
// visit's protocol.
std::string operation_tag(const Mailbox& box, const char* operation) {
    return std::string(box.protocol->name()) + operation;
}

// Keeps the connection in step after the readers stopped early: the rest is
// read and dropped. The result is the outcome to report.
Fetch finish_answer(LineSource& lines, Fetch result) {
    if (!lines.failed() && !lines.finished()) lines.drain();
    if (lines.failure() == LineSource::Next::kTimedOut) return Fetch::kTimedOut;
    if (lines.failed()) return Fetch::kLost;
    return result;
}

// Whether a piece that starts a header line starts a field the body's
// decoding needs: MIME-Version or Content-*.
bool starts_mime_field(const char* piece, size_t length) {
    std::string head = upper_case_copy(std::string_view(piece, std::min<size_t>(length, 13)));
    return head.compare(0, 8, "CONTENT-") == 0 || head == "MIME-VERSION:";
}

bool is_empty_line(const LineSource& lines) {
    return lines.starts_line() && lines.raw_size() >= 2 && lines.raw()[0] == '\r' &&
           lines.raw()[1] == '\n';
}

// Reads a header block of any length for modern rules. What fits in the
// header buffer is kept whole, as read_header_block keeps it; a longer block
// is cut after its last whole line that fits, as the listing cuts it, so
// that both hand out the same fields. The rest is read through the empty
// line and dropped, except the MIME fields, which get a buffer of their
// own: without its Content-Type a multipart body would be shown as raw
// text. cut tells whether anything was dropped.
HeaderRead read_header_kept(LineSource& lines, std::string& header, bool& cut) {
    // The buffer's bytes, less the end of the text.
    const size_t room = static_cast<size_t>(kHeaderBlockCapacity) - 1;
    cut = false;
    std::string field;  // a MIME field past the cut, while its lines arrive
    size_t kept = 0;    // bytes of MIME fields kept past the cut
    auto keep_field = [&]() {
        if (!field.empty() && kept + field.size() <= room) {
            header += field;
            kept += field.size();
        }
        field.clear();
    };
    while (true) {
        LineSource::Next r = lines.next();
        if (r == LineSource::Next::kEnd) break;
        if (r != LineSource::Next::kLine) return HeaderRead::kFailed;
        const char* piece = lines.raw();
        size_t length = static_cast<size_t>(lines.raw_size());
        if (!cut && header.size() + length <= room) {
            header.append(piece, length);
            if (is_empty_line(lines)) return HeaderRead::kRead;
            continue;
        }
        if (!cut) {
            cut = true;
            size_t last = header.rfind('\n');
            header.resize(last == std::string::npos ? 0 : last + 1);
            // The line in progress went with the cut: the rest of it is
            // dropped below with its field.
            field.clear();
        }
        if (lines.starts_line() && length > 0 && !is_blank(piece[0])) {
            keep_field();
            if (is_empty_line(lines)) break;
            if (starts_mime_field(piece, length)) field.assign(piece, length);
        } else if (!field.empty()) {
            if (field.size() + length > room) {
                field.clear();  // too long to keep in any case
            } else {
                field.append(piece, length);
            }
        }
    }
    if (cut) {
        keep_field();
        header += "\r\n";
    }
    return HeaderRead::kRead;
}

// The message's data, from whichever protocol fetched it, decoded into its
// entry and attachment files.
Fetch decode_answer(Mailbox& box, int message, LineSource& reader, const std::string& directory,
                    int max_size, const std::string& tag, int& status) {
    const Context& ctx = box.ctx;
    BudgetedLines lines(reader, budget_for(max_size, true, box.limits.in_memory_ceiling));
    std::string header;
    try {
        header.reserve(kHeaderBlockCapacity);
    } catch (const std::bad_alloc&) {
        ctx.diag.print('E', 1, "%s: malloc failed", tag.c_str());
        return finish_answer(reader, Fetch::kRefused);
    }
    bool modern = ctx.options.mime == MimeMode::kModern;
    bool header_cut = false;
    HeaderRead read =
        modern ? read_header_kept(lines, header, header_cut) : read_header_block(lines, header);
    switch (read) {
        case HeaderRead::kRead:
            break;
        case HeaderRead::kBufferFull:
            return finish_answer(reader, Fetch::kBufferFull);
        case HeaderRead::kFailed:
            return finish_answer(reader, Fetch::kRefused);
    }
    if (header_cut)
        ctx.diag.print('W', 1,
                       "GETMAIL: Header of message %d longer than %d bytes, fields taken from its "
                       "start",
                       message, kHeaderBlockCapacity - 1);
    MessageEntry& entry = box.entry(message);
    if (!box.states[message].headers_parsed) {
        if (parse_header_fields(header.c_str(), entry, ctx) == -1)
            return finish_answer(reader, Fetch::kRefused);
        box.states[message].headers_parsed = true;
    }
    DecodedBody decoded;
    if (max_size <= 0) decoded.body_limit = box.limits.in_memory_ceiling;
    MessageBody outcome = decode_body(lines, header, directory, ctx, decoded);
    // Past this point an early return discards the attachment files
    // written so far: only a message received whole gives files.
    if (lines.exceeded()) {
        ctx.diag.print('E', 1, "GETMAIL: Message %d larger than the size limit of %d bytes",
                       message, max_size);
        return finish_answer(reader, Fetch::kOverSizeLimit);
    }
    switch (outcome) {
        case MessageBody::kDecoded:
            break;
        case MessageBody::kBufferFull:
            return finish_answer(reader, Fetch::kBufferFull);
        case MessageBody::kFailed:
            return finish_answer(reader, Fetch::kRefused);
    }
    if (decoded.body_over_limit) {
        ctx.diag.print('E', 1, "GETMAIL: Text of message %d larger than %llu bytes", message,
                       static_cast<unsigned long long>(decoded.body_limit));
        return Fetch::kOverSizeLimit;
    }
    decoded.commit_files(ctx);
    entry.body = std::move(decoded.body);
    entry.files = std::move(decoded.files);
    // A file that could not be saved is fetched again by the next call: from
    // what it holds, that call would report the message saved, and a host
    // would delete it from the server.
    box.states[message].retrieved =
        decoded.status != kAttachmentNotOpened && decoded.status != kAttachmentNoName;
    status = decoded.status;
    // Fields were left out: the message is not all there for the host.
    if (header_cut && status == kAttachmentsHandled) status = kAttachmentSkipped;
    return Fetch::kDone;
}

Fetch fetch_decoded(Mailbox& box, int message, const std::string& directory, int max_size,
                    int& status) {
    if (box.states[message].size <= 0) return Fetch::kRefused;
    const std::string tag = operation_tag(box, "_FETCH");
    return box.protocol->fetch(box, message, tag.c_str(), [&](LineSource& reader) {
        return decode_answer(box, message, reader, directory, max_size, tag, status);
    });
}

// Hands each piece of the answer to take, as received less the stuffing,
// until the budget is spent. take returning false ends the hand-over; the
// rest is read and dropped all the same.
template <typename Take>
Fetch pass_pieces(const Context& ctx, LineSource& reader, int message, uint64_t budget,
                  Take&& take) {
    uint64_t passed = 0;
    while (true) {
        LineSource::Next r = reader.next();
        if (r == LineSource::Next::kEnd) break;
        if (r != LineSource::Next::kLine) return finish_answer(reader, Fetch::kRefused);
        size_t piece = static_cast<size_t>(reader.size());
        if (passed + piece > budget) {
            ctx.diag.print('E', 1,
                           "GETRAWMAIL: Message %d larger than the size limit of %llu bytes",
                           message, static_cast<unsigned long long>(budget));
            return finish_answer(reader, Fetch::kOverSizeLimit);
        }
        passed += piece;
        if (!take(reader.data(), piece)) return finish_answer(reader, Fetch::kDone);
    }
    return Fetch::kDone;
}

Fetch collect_answer(const Mailbox& box, LineSource& reader, int message, int max_size,
                     size_t announced, const std::string& tag, TextBlock& text) {
    const Context& ctx = box.ctx;
    uint64_t budget = budget_for(max_size, false, box.limits.in_memory_ceiling);
    TextBlock buffer;
    try {
        // The announced size is a hint, not a promise: the block grows past
        // it, and a size beyond the budget reserves no more than the budget.
        buffer.reserve(static_cast<size_t>(std::min<uint64_t>(announced, budget)));
        Fetch result = pass_pieces(ctx, reader, message, budget, [&](const char* data, size_t n) {
            buffer.append(data, n);
            return true;
        });
        if (result != Fetch::kDone) return result;
    } catch (const std::bad_alloc&) {
        buffer = TextBlock();
        ctx.diag.print('E', 1, "%s: malloc failed", tag.c_str());
        return finish_answer(reader, Fetch::kRefused);
    }
    text = std::move(buffer);
    return Fetch::kDone;
}

Fetch fetch_raw(Mailbox& box, int message, int max_size, TextBlock& text) {
    const std::string tag = operation_tag(box, "_RAWFETCH");
    const size_t announced = static_cast<size_t>(std::max<int32_t>(box.states[message].size, 0));
    return box.protocol->fetch(box, message, tag.c_str(), [&](LineSource& reader) {
        return collect_answer(box, reader, message, max_size, announced, tag, text);
    });
}

// Checks the message number and learns the size: 0 or a status code.
// fetching: the caller fetches the message next unless this refuses it.
int check_message(Mailbox& box, int message, int max_size, bool fetching) {
    if (!box.logged_on) return kNotLoggedOn;
    if (!box.is_present(message)) return kNoMessage;
    MessageState& state = box.states[message];
    // Only without a size limit is a fetch certain to follow a known size.
    const bool fetch_follows = fetching && max_size == 0;
    if (state.size == -1 &&
        !(fetch_follows ? box.protocol->size_before_fetch(box, message, state.size)
                        : box.protocol->size(box, message, state.size))) {
        if (!box.is_present(message)) return kNoMessage;  // expunged meanwhile
        if (is_network_error(box)) {
            tear_down(box);
            return kNetwork;
        }
        return kCommandFailed;
    }
    if (max_size != 0 && state.size > max_size) return kOverSizeLimit;
    return kOk;
}

// The one place where a fetch's outcome becomes the worker's status,
// tearing down or emptying the entry as the failure asks.
int fetch_status(Fetch result, Mailbox& box, int message) {
    switch (result) {
        case Fetch::kDone:
            return kOk;
        case Fetch::kLost:
            is_network_error(box);
            tear_down(box);
            return kNetwork;
        case Fetch::kTimedOut:
            tear_down(box);
            return kTimedOut;
        case Fetch::kOverSizeLimit:
            // The caller's limit refused it, not the server: the message
            // stays, for a larger limit or a raw fetch.
            return kOverSizeLimit;
        case Fetch::kBufferFull:
            forget_message(box, message);
            return kCommandFailed;
        case Fetch::kGone:
            // Expunged by another client since the logon.
            forget_message(box, message);
            return kNoMessage;
        case Fetch::kRefused:
            if (is_network_error(box)) {
                tear_down(box);
                return kNetwork;
            }
            forget_message(box, message);
            return kCommandFailed;
    }
    return kCommandFailed;
}

bool over_host_limit(size_t length_with_terminator, size_t limit) {
    return length_with_terminator > limit;
}

}  // namespace

int get_message(Mailbox& box, int message, const char* directory, int max_size,
                std::string& header_out, std::string& body_out, std::string& files_out) {
    header_out.clear();
    body_out.clear();
    files_out.clear();
    // A message decoded before is handed out again without a fetch.
    const bool fetching = box.is_present(message) && !box.states[message].retrieved;
    int status = check_message(box, message, max_size, fetching);
    if (status != kOk) return status;
    const Context& ctx = box.ctx;
    ctx.diag.print('D', 2, "GETMAIL: Size of message: %d is: %d", message,
                   box.states[message].size);
    std::string dir = attachment_directory(directory);

    if (!box.states[message].retrieved) {
        int attachments = kAttachmentsHandled;
        Fetch result = fetch_decoded(box, message, dir, max_size, attachments);
        if (result != Fetch::kDone) return fetch_status(result, box, message);
        status = attachments;
    }

    if (ctx.options.uidl && !box.protocol->unique_id(box, message)) {
        tear_down(box);
        return kNetwork;
    }
    const MessageEntry& entry = box.entry(message);
    std::string record = header_record(entry, ctx.options.uidl);
    std::string body = entry.body.value_or(std::string());
    std::string files = entry.files.value_or(std::string());
    // Sizes compared in size_t: a result of 2 GiB or more must not wrap into
    // one that fits.
    bool record_over = over_host_limit(record.size(), kHostTextLimit);
    bool body_over = over_host_limit(body.size() + 1, kHostTextLimit);
    bool files_over = over_host_limit(files.size() + 1, box.limits.host_file_list);
    if (record_over) ctx.diag.print('E', 1, "GETMAIL: TESSERA parameter size exceeded");
    if (body_over) ctx.diag.print('E', 1, "GETMAIL: TESSERA parameter size exceeded");
    if (files_over) ctx.diag.print('E', 1, "GETMAIL: TESSERA parameter size exceeded");
    if (record_over || body_over || files_over) status = kHostLimit;
    body_out = std::move(body);
    files_out = std::move(files);
    header_out = std::move(record);
    return status;
}

int get_raw_message(Mailbox& box, int message, int max_size, TextBlock& text_out) {
    text_out = TextBlock();
    int status = check_message(box, message, max_size, true);
    if (status != kOk) return status;
    box.ctx.diag.print('D', 2, "GETRAWMAIL: Size of message: %d is: %d", message,
                       box.states[message].size);
    TextBlock text;
    Fetch result = fetch_raw(box, message, max_size, text);
    if (result != Fetch::kDone) return fetch_status(result, box, message);
    text_out = std::move(text);
    return over_host_limit(text_out.size() + 1, kHostTextLimit) ? kHostLimit : kOk;
}

int stream_raw_message(Mailbox& box, int message, int max_size, const PieceWriter& write) {
    int status = check_message(box, message, max_size, true);
    if (status != kOk) return status;
    box.ctx.diag.print('D', 2, "GETRAWMAIL: Size of message: %d is: %d", message,
                       box.states[message].size);
    const std::string tag = operation_tag(box, "_RAWFETCH");
    const uint64_t budget = max_size > 0 ? static_cast<uint64_t>(max_size) : UINT64_MAX;
    Fetch result = box.protocol->fetch(box, message, tag.c_str(), [&](LineSource& reader) {
        return pass_pieces(box.ctx, reader, message, budget,
                           [&](const char* data, size_t n) { return write(data, n); });
    });
    return fetch_status(result, box, message);
}

bool known_size(Mailbox& box, int message) {
    int32_t& size = box.states[message].size;
    return size != -1 || box.protocol->size(box, message, size);
}

}  // namespace brevorin
