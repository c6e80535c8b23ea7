// The caller's description of a message to send: the header list (TO=, FROM=,
// ... items separated by ESC) and the attachment list (paths separated by
// ESC), parsed into the records that composition and the dialogue work from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/context.h"
#include "platform/files.h"
#include "core/text.h"

namespace brevorin {

// Limits of the attachment list: entries per message and characters per path.
constexpr int kMaxAttachments = 256;
constexpr size_t kMaxAttachmentPath = 259;

// Attachments go out as opaque bytes, whatever the file holds.
constexpr char kAttachmentContentType[] = "application/octet-stream";

struct HeaderList {
    int32_t priority = -1;  // 1..5, -1 when absent or out of range
    std::string to;         // never empty once parsing succeeded
    std::string from;       // never empty once parsing succeeded
    OwnedText cc;
    OwnedText bcc;
    OwnedText subject;  // already encoded for the header line
    OwnedText reply_to;
};

struct Attachment {
    platform::File source;     // open from the check until it is sent
    std::string path;          // as given, trimmed
    int32_t encoded_size = 0;  // characters of its base64 form, a line feed ending each line
};

struct AttachmentList {
    std::vector<Attachment> entries;
    int count() const { return static_cast<int>(entries.size()); }
};

// 0; kNoRecipient (-12) when TO= or FROM= is missing or empty; -1 when memory
// runs out, the subject cannot be encoded, or a value holds a line break. The
// list is left empty on every failure.
int parse_header_list(const char* header_list, HeaderList& headers, const Context& ctx);
void free_header_list(HeaderList& headers);

// 0; kAttachOpen (-13) when a file cannot be opened or examined, or the list
// has too many entries or too long a path. Entries opened before a failure
// stay in the list. Only regular files are taken (a device or FIFO could be
// read for ever); with max_size set, files that could not fit once encoded
// give kOverSizeLimit (-6) before any is opened. Nothing is encoded here:
// composition encodes each file as it sends it.
int parse_attachment_list(const char* attachment_list, AttachmentList& attachments,
                          const Context& ctx, int max_size = 0);


// The file name written for an attachment: the last component of its path,
// without drive prefix and directory, with characters that cannot stand
// between quotation marks in a header line replaced by "_".
std::string attachment_file_name(const std::string& path);

// Finds the first item that begins with key ("TO=" ...) and copies its value,
// which ends at the next ESC or the end of the list. False when none does.
bool find_list_item(const char* list, const char* key, std::string& value);

}  // namespace brevorin
