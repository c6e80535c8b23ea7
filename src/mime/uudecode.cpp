#include "mime/uudecode.h"

#include <climits>

#include "mime/file_names.h"
#include "mime/mime_headers.h"
#include "mime/multipart.h"
#include "platform/files.h"

namespace brevorin {

namespace {

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One line, or its first room characters: false when the input is at its end.
bool read_piece(std::FILE* in, size_t room, std::string& line) {
    line.clear();
    int c;
    while (line.size() < room && (c = std::getc(in)) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n') break;
    }
    return !line.empty();
}

int value_of(char c) {
    return (static_cast<unsigned char>(c) - 32) & 63;
}

// "begin" MODE NAME, read the way the pattern "begin %d %s" reads it: the mode
// as a decimal number, the name as the next white-space-delimited word.
bool parse_begin_line(const std::string& line, int& mode, std::string& name) {
    if (line.compare(0, 5, "begin") != 0) return false;
    size_t pos = 5;
    while (pos < line.size() && is_white(line[pos])) ++pos;
    bool negative = false;
    if (pos < line.size() && (line[pos] == '-' || line[pos] == '+')) negative = line[pos++] == '-';
    size_t digits = pos;
    long long value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
        if (value < INT_MAX) value = value * 10 + (line[pos] - '0');
        ++pos;
    }
    if (pos == digits) return false;
    if (value > INT_MAX) value = INT_MAX;
    mode = static_cast<int>(negative ? -value : value);
    while (pos < line.size() && is_white(line[pos])) ++pos;
    size_t end = pos;
    while (end < line.size() && !is_white(line[end])) ++end;
    if (end == pos) return false;
    name = line.substr(pos, end - pos);
    return true;
}

}  // namespace

int uudecode_group(const char* group, std::FILE* out, int wanted) {
    int a = value_of(group[0]), b = value_of(group[1]);
    int c = value_of(group[2]), d = value_of(group[3]);
    const int bytes[3] = {(a << 2) | (b >> 4), ((b & 0x0F) << 4) | (c >> 2), ((c & 0x03) << 6) | d};
    for (int i = 0; i < 3 && i < wanted; ++i)
        if (std::putc(bytes[i] & 0xFF, out) == EOF) return -1;
    return 0;
}

int uudecode_lines(std::FILE* in, std::FILE* out) {
    std::string line;
    std::string data;
    while (read_piece(in, kUuDataLineRoom, line)) {
        if (line[0] == '\n') return 0;
        int count = value_of(line[0]);
        if (count == 0) return 0;
        size_t needed = 4 * static_cast<size_t>((count + 2) / 3);
        // The line feed is never data: characters missing before it (blanks
        // lost in transit) count as blanks.
        size_t available = line.size() - (line.back() == '\n' ? 1 : 0);
        data.assign(needed, ' ');
        for (size_t i = 0; i < needed && i + 1 < available; ++i) data[i] = line[i + 1];
        int wanted = count;
        for (size_t g = 0; g < needed && wanted > 0; g += 4, wanted -= 3)
            if (uudecode_group(data.data() + g, out, wanted) != 0) return -1;
    }
    return -1;
}

int uudecode(const std::string& directory, std::FILE* in, AttachmentFiles& files,
             std::string& name, int& status, const Context& ctx) {
    status = kAttachmentsHandled;
    std::string line;
    if (!read_piece(in, kUuBeginLineRoom, line)) {
        ctx.diag.print('E', 1, "UUDECODE: no beginline");
        status = kAttachmentSkipped;
        return -1;
    }
    ctx.diag.print('D', 2, "UUDECODE: beginline read: %s", line.c_str());
    int mode = 0;
    std::string word;
    if (!parse_begin_line(line, mode, word)) {
        ctx.diag.print('E', 1, "UUDECODE: no valid beginline");
        status = kAttachmentSkipped;
        return -1;
    }
    // The name comes from the sender: it must not lead out of the directory.
    name = safe_attachment_name(word, ctx.charset);
    if (name.empty()) name = "att-1";
    ctx.diag.print('D', 2, "UUDECODE: decoding in mode: %d, file: %s", mode, name.c_str());

    std::FILE* out = files.begin(directory, name, false, ctx, status);
    if (out == nullptr) {
        if (status == kAttachmentNoName)
            ctx.diag.print('E', 1, "UUDECODE: can't create unique filename, last try was: %s",
                           name.c_str());
        else if (status == kAttachmentNotOpened)
            ctx.diag.print('E', 1, "UUDECODE: can't open output: %s for writing",
                           files.path().c_str());
        return -1;
    }
    ctx.diag.print('D', 2, "UUDECODE: writing file to: %s", files.path().c_str());
    if (uudecode_lines(in, out) != 0 && !std::ferror(out)) {
        files.abandon();
        ctx.diag.print('E', 1, "UUDECODE: error while decoding");
        status = kAttachmentSkipped;
        return -1;
    }
    if (!read_piece(in, kUuBeginLineRoom, line) || line.compare(0, 3, "end") != 0) {
        files.abandon();
        ctx.diag.print('E', 1, "UUDECODE: no valid endline");
        status = kAttachmentSkipped;
        return -1;
    }
    if (!files.end(ctx, status)) {
        ctx.diag.print('E', 1, "UUDECODE: error while decoding");
        return -1;
    }
    status = kAttachmentsHandled;
    return 0;
}

}  // namespace brevorin
