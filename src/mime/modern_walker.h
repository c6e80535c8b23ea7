// The mime=modern reader of a message body: nested multiparts, the plain
// text alternative of multipart/alternative, quoted-printable attachments,
// RFC 2231 and RFC 2047 file names, and text converted to the host's
// character set.
#pragma once

#include <string>

#include "core/context.h"
#include "core/line_source.h"
#include "mime/multipart.h"

namespace brevorin {

// Deepest nesting of multiparts that is walked; the parts of deeper ones
// are skipped with status 1.
constexpr int kMaxMultipartDepth = 16;

// Most bytes of a first alternative held back while a later plain text
// alternative may still come.
constexpr size_t kAlternativeHoldLimit = 16u * 1024 * 1024;

// Reads the rest of a message as parse_mime_body does, by the modern rules.
// A message is MIME when it has a MIME-Version or a Content-Type, as mail
// readers take it.
BodyOutcome parse_modern_body(LineSource& lines, const std::string& header,
                              const std::string& directory, const Context& ctx, DecodedBody& out);

// By the modern rules a header block ends at its first line that is neither
// a field nor a continuation: header gets the block before that line, text
// the rest, which belongs to the body (a message that lacks the empty line
// after its header keeps its first line of text).
void split_header_block(const std::string& block, std::string& header, std::string& text);

// The decoded, host-charset file name a part's header block gives (before
// the file-name safety rules); empty when it names none. lossy is set when
// a character became '?'.
std::string part_file_name(const std::string& block, const Context& ctx, bool& lossy);

}  // namespace brevorin
