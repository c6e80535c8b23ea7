#include "mime/message.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "mime/file_names.h"
#include "mime/walker.h"
#include "mime/uudecode.h"

namespace brevorin {

namespace {

constexpr int kLineReserve = kLineCapacity + 1;

bool begins_with(const LineSource& lines, const char* prefix) {
    size_t n = std::strlen(prefix);
    return lines.starts_line() && static_cast<size_t>(lines.size()) >= n &&
           std::memcmp(lines.data(), prefix, n) == 0;
}

// Decodes one uuencoded block (begin line already read) into a file as its
// lines arrive, through its "end" line. False when a read failed; otherwise
// the status is updated (one good block does not hide the failure of an
// earlier one). A block that the end of data cuts short is decoded as far
// as it goes.
bool read_uuencoded_block(LineSource& lines, const std::string& directory, const Context& ctx,
                          DecodedBody& out) {
    UuStream block(directory, out.attachments, ctx);
    block.feed(lines.data(), static_cast<size_t>(lines.size()));
    while (true) {
        LineSource::Next r = lines.next();
        if (r == LineSource::Next::kEnd) break;
        if (r != LineSource::Next::kLine) return false;
        block.feed(lines.data(), static_cast<size_t>(lines.size()));
        if (begins_with(lines, "end")) break;
    }
    std::string name;
    int block_status = kAttachmentsHandled;
    block.finish(name, block_status);
    if (block_status != kAttachmentsHandled) out.status = block_status;
    return true;
}

// The body of a message that is not MIME-structured: text, with uuencoded
// blocks decoded into files.
MessageBody read_plain_body(LineSource& lines, const std::string& directory, const Context& ctx,
                            DecodedBody& out) {
    std::string text;
    try {
        text.reserve(kBodyCapacity);
    } catch (const std::bad_alloc&) {
        ctx.diag.print('E', 1, "POP3_FETCH: malloc failed");
        return MessageBody::kFailed;
    }
    while (true) {
        if (static_cast<int>(text.size()) + kLineReserve > kBodyCapacity) return MessageBody::kBufferFull;
        LineSource::Next r = lines.next();
        if (r == LineSource::Next::kEnd) break;
        if (r != LineSource::Next::kLine) return MessageBody::kFailed;
        if (begins_with(lines, "begin ")) {
            if (!read_uuencoded_block(lines, directory, ctx, out)) return MessageBody::kFailed;
            continue;
        }
        text.append(lines.data(), static_cast<size_t>(lines.size()));
    }
    out.body = std::move(text);
    return MessageBody::kDecoded;
}

// The body after a header block, by the session's MIME rules.
MessageBody decode_rest(LineSource& lines, const std::string& header, const std::string& directory,
                        const Context& ctx, DecodedBody& out) {
    switch (walk_body(lines, header, directory, ctx, out)) {
        case BodyOutcome::kDecoded:
            return MessageBody::kDecoded;
        case BodyOutcome::kFailed:
            return MessageBody::kFailed;
        case BodyOutcome::kNotMime:
            break;
    }
    ctx.diag.print('F', 0, "POP3_FETCH: Not a MIME encoded message");
    return read_plain_body(lines, directory, ctx, out);
}

}  // namespace

HeaderRead read_header_block(LineSource& lines, std::string& header) {
    while (true) {
        if (static_cast<int>(header.size()) + kLineReserve > kHeaderBlockCapacity)
            return HeaderRead::kBufferFull;
        LineSource::Next r = lines.next();
        if (r == LineSource::Next::kEnd) return HeaderRead::kRead;
        if (r != LineSource::Next::kLine) return HeaderRead::kFailed;
        header.append(lines.raw(), static_cast<size_t>(lines.raw_size()));
        if (lines.starts_line() && lines.raw_size() >= 2 && lines.raw()[0] == '\r' &&
            lines.raw()[1] == '\n')
            return HeaderRead::kRead;
    }
}

MessageBody decode_body(LineSource& lines, const std::string& header, const std::string& directory,
                        const Context& ctx, DecodedBody& out) {
    if (ctx.options.mime != MimeMode::kModern) return decode_rest(lines, header, directory, ctx, out);
    std::string fields, text;
    split_header_block(header, fields, text);
    PrefixedLineSource body(text, lines);
    return decode_rest(body, fields, directory, ctx, out);
}

}  // namespace brevorin
