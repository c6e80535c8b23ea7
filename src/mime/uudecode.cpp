#include "mime/uudecode.h"

#include <climits>
#include <cstring>

#include "core/text.h"
#include "mime/classic_fields.h"
#include "mime/decoded_body.h"
#include "mime/file_names.h"
#include "platform/files.h"

namespace brevorin {

namespace {

int value_of(char c) {
    return (static_cast<unsigned char>(c) - 32) & 63;
}

// "begin" MODE NAME, read the way the pattern "begin %d %s" reads it: the mode
// as a decimal number, the name as the next white-space-delimited word.
bool parse_begin_line(const std::string& line, int& mode, std::string& name) {
    if (line.compare(0, 5, "begin") != 0) return false;
    size_t pos = 5;
    while (pos < line.size() && is_space(line[pos])) ++pos;
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
    while (pos < line.size() && is_space(line[pos])) ++pos;
    size_t end = pos;
    while (end < line.size() && !is_space(line[end])) ++end;
    if (end == pos) return false;
    name = line.substr(pos, end - pos);
    return true;
}

// Up to three bytes of one group of four characters.
void decode_group(const char* group, int wanted, std::string& out) {
    int a = value_of(group[0]), b = value_of(group[1]);
    int c = value_of(group[2]), d = value_of(group[3]);
    const int bytes[3] = {(a << 2) | (b >> 4), ((b & 0x0F) << 4) | (c >> 2), ((c & 0x03) << 6) | d};
    for (int i = 0; i < 3 && i < wanted; ++i) out += static_cast<char>(bytes[i] & 0xFF);
}

}  // namespace

void UuStream::feed(const char* data, size_t length) {
    while (length > 0 && state_ != State::kDone && state_ != State::kFailed) {
        const size_t room =
            (state_ == State::kData ? kUuDataLineRoom : kUuBeginLineRoom) - piece_.size();
        size_t take = length < room ? length : room;
        const void* lf = std::memchr(data, '\n', take);
        if (lf != nullptr) take = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
        piece_.append(data, take);
        data += take;
        length -= take;
        if (lf != nullptr ||
            piece_.size() == (state_ == State::kData ? kUuDataLineRoom : kUuBeginLineRoom))
            take_piece();
    }
}

void UuStream::take_piece() {
    switch (state_) {
        case State::kBegin:
            begin_line();
            break;
        case State::kData:
            data_line();
            break;
        case State::kEnd:
            // In a MIME part the zero-length line ends the data, whatever follows.
            if (mime_part_ || piece_.compare(0, 3, "end") == 0)
                state_ = State::kDone;
            else
                fail("UUDECODE: no valid endline", kAttachmentSkipped);
            break;
        case State::kDone:
        case State::kFailed:
            break;
    }
    piece_.clear();
}

void UuStream::begin_line() {
    ctx_.diag.print('D', 2, "UUDECODE: beginline read: %s", piece_.c_str());
    int mode = 0;
    std::string word;
    if (!parse_begin_line(piece_, mode, word)) {
        if (!mime_part_) fail("UUDECODE: no valid beginline", kAttachmentSkipped);
        return;
    }
    if (!mime_part_ || name_.empty()) {
        // The name comes from the sender: it must not lead out of the directory.
        name_ = safe_attachment_name(word, ctx_.charset);
        // Windows drops a name's trailing dots and blanks from the file it
        // creates: the name reported must be the file's.
        while (mime_part_ && !name_.empty() && (name_.back() == '.' || name_.back() == ' '))
            name_.pop_back();
        if (name_.empty()) name_ = "att-1";
    }
    ctx_.diag.print('D', 2, "UUDECODE: decoding in mode: %d, file: %s", mode, name_.c_str());
    if (files_.begin(directory_, name_, utf8_name_, ctx_, status_) == nullptr) {
        if (status_ == kAttachmentNoName)
            ctx_.diag.print('E', 1, "UUDECODE: can't create unique filename, last try was: %s",
                            name_.c_str());
        else if (status_ == kAttachmentNotOpened)
            ctx_.diag.print('E', 1, "UUDECODE: can't open output: %s for writing",
                            files_.path().c_str());
        state_ = State::kFailed;
        return;
    }
    ctx_.diag.print('D', 2, "UUDECODE: writing file to: %s", files_.path().c_str());
    state_ = State::kData;
}

// One data line: its first character counts the bytes it carries; a
// zero-length line ends the data.
void UuStream::data_line() {
    // An empty line ends the data in a MIME part, whose lines end in CR LF.
    const bool empty = piece_[0] == '\n' || (mime_part_ && piece_.compare(0, 2, "\r\n") == 0);
    int count = empty ? 0 : value_of(piece_[0]);
    if (count == 0) {
        state_ = State::kEnd;
        return;
    }
    size_t needed = 4 * static_cast<size_t>((count + 2) / 3);
    // The line feed is never data: characters missing before it (blanks
    // lost in transit) count as blanks.
    size_t available = piece_.size() - (piece_.back() == '\n' ? 1 : 0);
    std::string data(needed, ' ');
    for (size_t i = 0; i < needed && i + 1 < available; ++i) data[i] = piece_[i + 1];
    decoded_.clear();
    int wanted = count;
    for (size_t g = 0; g < needed && wanted > 0; g += 4, wanted -= 3)
        decode_group(data.data() + g, wanted, decoded_);
    files_.write(decoded_.data(), decoded_.size());
}

int UuStream::fail(const char* line, int status) {
    if (state_ == State::kData || state_ == State::kEnd) files_.abandon();
    ctx_.diag.print('E', 1, "%s", line);
    status_ = status;
    state_ = State::kFailed;
    return -1;
}

int UuStream::finish(std::string& name, int& status) {
    // A last piece without its line feed is still a piece.
    if (!piece_.empty()) take_piece();
    name = name_;
    int rc = 0;
    switch (state_) {
        case State::kBegin:
            rc = fail("UUDECODE: no beginline", kAttachmentSkipped);
            break;
        case State::kData:
        case State::kEnd:
            if (mime_part_) {
                // What arrived is kept: a part is never dropped for its end.
                // Without the zero-length line the data may be cut short.
                if (state_ == State::kData)
                    ctx_.diag.print('W', 1, "UUDECODE: data cut short, what was read kept: %s",
                                    files_.path().c_str());
                rc = files_.end(ctx_, status_) ? 0 : -1;
                if (rc == 0)
                    status_ = state_ == State::kEnd ? kAttachmentsHandled : kAttachmentSkipped;
                break;
            }
            rc = fail(state_ == State::kData ? "UUDECODE: error while decoding"
                                             : "UUDECODE: no valid endline",
                      kAttachmentSkipped);
            break;
        case State::kDone:
            if (files_.end(ctx_, status_)) {
                status_ = kAttachmentsHandled;
            } else {
                ctx_.diag.print('E', 1, "UUDECODE: error while decoding");
                rc = -1;
            }
            break;
        case State::kFailed:
            rc = -1;
            break;
    }
    status = status_;
    return rc;
}

int uudecode(const std::string& directory, std::FILE* in, AttachmentFiles& files, std::string& name,
             int& status, const Context& ctx) {
    UuStream stream(directory, files, ctx);
    char block[4096];
    for (size_t got; (got = std::fread(block, 1, sizeof block, in)) > 0;) stream.feed(block, got);
    return stream.finish(name, status);
}

}  // namespace brevorin
