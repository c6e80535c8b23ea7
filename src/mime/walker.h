// The reader of a MIME message body, straight from the line source: text
// parts decoded into the body, attachments decoded into files as their
// lines arrive. One walker serves both rule sets of the session's mime
// option; the rules decide what the walker makes of each part, how a
// delimiter and a header block are recognised, and how texts are joined.
#pragma once

#include <string>

#include "core/context.h"
#include "core/line_source.h"
#include "mime/decoded_body.h"

namespace brevorin {

// Deepest nesting of multiparts that the modern rules walk; the parts of
// deeper ones are skipped with status 1.
constexpr int kMaxMultipartDepth = 16;

// Most bytes of a first alternative (its header block and content) held
// back while a later plain text alternative may still come; a larger one is
// dropped if none comes, with status 1.
constexpr size_t kAlternativeHoldLimit = 16u * 1024 * 1024;

// Most bytes of an HTML part rendered into the body (modern rules); a
// larger one is only saved as a file, with status 1.
constexpr size_t kHtmlHoldLimit = 16u * 1024 * 1024;

// The memory one walk may hold, per walk so that sessions on other threads
// keep theirs: smaller ones let a test reach the bounds without 16 MiB
// messages.
struct WalkLimits {
    size_t alternative_hold = kAlternativeHoldLimit;
    size_t html_hold = kHtmlHoldLimit;
};

// Reads the rest of a message (from the first body line through the end of
// data) whose header block is header, by the rules of ctx.options.mime. The
// classic rules take a message with a MIME-Version; the modern ones also one
// with only a Content-Type, as mail readers do.
BodyOutcome walk_body(LineSource& lines, const std::string& header, const std::string& directory,
                      const Context& ctx, DecodedBody& out,
                      const WalkLimits& limits = WalkLimits());

// By the modern rules a header block ends at its first line that is neither
// a field nor a continuation: header gets the block before that line, text
// the rest, which belongs to the body (a message that lacks the empty line
// after its header keeps its first line of text).
void split_header_block(const std::string& block, std::string& header, std::string& text);

}  // namespace brevorin
