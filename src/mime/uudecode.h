// Decoding of a uuencoded block ("begin MODE NAME", data lines, the zero-length
// line, "end") into a file in the caller's attachment directory.
#pragma once

#include <cstdio>
#include <string>

#include "core/context.h"
#include "mime/file_names.h"

namespace brevorin {

// Room for the begin and end lines, and for one data line; longer lines are
// read in pieces.
constexpr size_t kUuBeginLineRoom = 999;
constexpr size_t kUuDataLineRoom = 1023;

// A uuencoded block decoded as its bytes arrive: the begin line, data lines
// up to the zero-length line, and the "end" line, cut into the pieces a
// reader with room for one line cuts them into (a longer line is read in
// pieces). The file is one of files, named when they are committed.
class UuStream {
  public:
    UuStream(std::string directory, AttachmentFiles& files, const Context& ctx)
        : directory_(std::move(directory)), files_(files), ctx_(ctx) {}

    // The block is the content of a MIME part, as mail readers take it:
    // lines before the begin line are passed over, the file takes name when
    // one is given (a safe one; else the begin line's, without trailing dots
    // and blanks), and the data does not need its end line, nor its
    // zero-length line, to be kept: a block cut short is kept with status 1.
    void for_mime_part(std::string name, bool utf8_name) {
        mime_part_ = true;
        name_ = std::move(name);
        utf8_name_ = utf8_name;
    }

    void feed(const char* data, size_t length);
    // The end of the block: 0 when the file was written completely, -1
    // otherwise. name receives the name the file was (or was to be) written
    // under once the begin line was read; status the attachment status.
    int finish(std::string& name, int& status);

  private:
    enum class State { kBegin, kData, kEnd, kDone, kFailed };
    void take_piece();
    void begin_line();
    void data_line();
    int fail(const char* line, int status);

    std::string directory_;
    AttachmentFiles& files_;
    const Context& ctx_;
    State state_ = State::kBegin;
    std::string piece_;
    std::string decoded_;
    std::string name_;
    int status_ = 0;  // attachment status
    bool mime_part_ = false;
    bool utf8_name_ = false;
};

// Decodes the block that starts at the current position of in, as UuStream
// does. 0 when the file was written completely, -1 otherwise.
int uudecode(const std::string& directory, std::FILE* in, AttachmentFiles& files, std::string& name,
             int& status, const Context& ctx);

}  // namespace brevorin
