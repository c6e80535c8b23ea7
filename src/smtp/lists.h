// The caller's description of a message to send: the header list (TO=, FROM=,
// ... items separated by ESC) and the attachment list (paths separated by
// ESC), parsed into the records that composition and the dialogue work from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/context.h"
#include "core/text.h"
#include "platform/files.h"

namespace brevorin {

// Limits of the attachment list: entries per message and characters per path.
constexpr int kMaxAttachments = 256;
constexpr size_t kMaxAttachmentPath = 259;

// Attachments go out as opaque bytes, whatever the file holds.
constexpr char kAttachmentContentType[] = "application/octet-stream";

// Address lists (to, from, cc, reply_to) hold mailboxes separated by
// commas: a bare address, or a display name and the address in angle
// brackets ("ACME Invoicing <invoices@example.org>", "\"Smith, John\"
// <john@example.org>"). Once parsed they are in their header form.
struct HeaderList {
    int32_t priority = -1;      // 1..5, -1 when absent or out of range
    std::string to;             // never empty once parsing succeeded
    std::string from;           // never empty once parsing succeeded
    std::string envelope_from;  // the address alone, for MAIL FROM
    OwnedText cc;
    OwnedText bcc;
    OwnedText subject;  // already encoded for the header line
    OwnedText reply_to;
};

struct Attachment {
    platform::File source;      // open from the check until it is sent
    std::string path;           // as given, trimmed
    int32_t encoded_size = 0;   // characters of its base64 form, a line feed ending each line
    bool shown_inline = false;  // an HTML sending shows it (cid:NAME): it goes beside the HTML
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

// The address an envelope command takes from a mailbox: what stands in its
// angle brackets, or the whole mailbox, trimmed, when it has none.
std::string envelope_address(const std::string& mailbox);

// The next mailbox of a comma-separated list: commas in a quoted display
// name or in angle brackets do not end it. One leading comma is skipped;
// consumed is set to the characters taken, comma included. None for an
// empty text.
std::optional<std::string> next_mailbox(std::string_view list, size_t& consumed);

// An address list as a header line shows it: each display name quoted
// where RFC 5322 needs it and RFC 2047-encoded in the host charset where it
// is not ASCII. A list without display names stays byte for byte as given.
// false when a name cannot be encoded.
bool header_mailboxes(const std::string& list, std::string& out, const Context& ctx);

// Lines of a header field ("To: "...) within which folding keeps an address
// list: the modern rules keep to the 78 that readers display, the classic
// ones fold only where a server would refuse the line (RFC 5322's 998).
constexpr size_t kFoldedLineLength = 78;
constexpr size_t kLongestHeaderLine = 998;

// An address list folded after the commas between mailboxes (CR LF before
// the blank that follows a comma, or CR LF and a space where none does) so
// that no line passes limit characters where a fold point allows it; lead
// is the characters of the line before the list ("To: " is 4). Only a
// mailbox too long for a line of its own is folded inside, at the blanks
// between its words. A list that fits is returned byte for byte.
std::string fold_address_list(const std::string& list, size_t lead, size_t limit);

// The file name written for an attachment: the last component of its path,
// without drive prefix and directory, with characters that cannot stand
// between quotation marks in a header line replaced by "_".
std::string attachment_file_name(const std::string& path);

// Finds the first item that begins with key ("TO=" ...) and copies its value,
// which ends at the next ESC or the end of the list. False when none does.
bool find_list_item(const char* list, const char* key, std::string& value);

}  // namespace brevorin
