// What reading a message body yields: the text shown as its body and the
// attachment files written into the caller's directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/context.h"
#include "core/text.h"
#include "mime/file_names.h"

namespace brevorin {

// What decoding a message body gives: the text parts (or the single text)
// for the body, the names of the attachment files written, and the
// attachment status.
struct DecodedBody {
    OwnedText body;
    OwnedText files;              // ESC-separated bare file names, once committed
    AttachmentFiles attachments;  // written, not yet under their names
    int status = kAttachmentsHandled;
    size_t body_limit = SIZE_MAX;  // bytes the body may hold
    bool body_over_limit = false;  // a text part was left out for it

    // The message arrived whole: its attachment files take their names.
    void commit_files(const Context& ctx) { attachments.commit(files, status, ctx); }
};

enum class BodyOutcome {
    kDecoded,  // read to the end of data; status tells what was skipped
    kNotMime,  // not a message handled here; nothing read (status may be 1)
    kFailed,   // a read failed or a text did not fit; the rest may still wait
};

// Adds a decoded text to the body, or marks the body over its limit.
void append_text(DecodedBody& out, std::string text);

}  // namespace brevorin
