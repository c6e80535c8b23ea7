// A whole received message read from a line source: its header block, then
// its body, MIME-structured or plain text with uuencoded blocks.
#pragma once

#include <string>

#include "core/context.h"
#include "core/line_source.h"
#include "mime/decoded_body.h"

namespace brevorin {

enum class HeaderRead { kRead, kBufferFull, kFailed };

// Reads the header block through its empty line into header. A message whose
// data ends inside the header keeps what was read.
HeaderRead read_header_block(LineSource& lines, std::string& header);

enum class MessageBody {
    kDecoded,   // read through the end of data; out.status tells what was skipped
    kBufferFull,  // the plain body does not fit its buffer
    kFailed,    // a read or memory failed, or the classic rules refused a part
};

// Decodes the body that follows header: MIME parts and attachment files, or
// the plain text with uuencoded blocks decoded into files.
MessageBody decode_body(LineSource& lines, const std::string& header, const std::string& directory,
                        const Context& ctx, DecodedBody& out);

}  // namespace brevorin
