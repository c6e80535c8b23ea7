// The body of a MIME message read straight from the connection: text parts
// decoded into the entry's body, attachments written as files into the
// caller's directory.
#pragma once

#include <cstdio>
#include <string>

#include "api/session.h"
#include "mime/message_lines.h"
#include "pop3/message_entry.h"

namespace brevorin {

// Collection limits of the readers.
constexpr int kTextCapacity = kBodyCapacity;  // one text part (or the single text)
constexpr int kPartHeaderCapacity = 4096;     // the header block of one part
constexpr int kEpilogueCapacity = kBodyCapacity;

// Attachment status: what happened to the attachments of a message.
enum AttachmentStatus : int {
    kAttachmentsHandled = 0,
    kAttachmentSkipped = 1,    // skipped, not decodable, or the message was cut short
    kAttachmentNotOpened = 2,  // an attachment file could not be opened for writing
    kAttachmentNoName = 3,     // no free file name for an attachment
};

// Reads the rest of the message (from the first body line through the
// end-of-data line) into entry.body and entry.files. 0 when the message was
// read to its end (status tells what was skipped); -1 on failure (the rest
// of the answer may still wait on the connection); -2 when the message is not
// one handled here (nothing read; status may be 1).
int parse_mime_body(MessageLines& lines, const char* header, MessageEntry& entry,
                    const std::string& directory, int& status, const MailSession* session);

// Collects a text up to the next delimiter of boundary (or, without one, to
// the end of data). 0 or -1.
int collect_mime_text(MessageLines& lines, const std::string* boundary, bool& closing,
                  std::string& text, const MailSession* session);

// Reads a part's header block through its empty line. 0 or -1.
int read_part_headers(MessageLines& lines, std::string& block, const MailSession* session);

// Copies a part's lines into file up to the next delimiter. 0; -1 when a
// read fails; -2 when a write failed (the part was still read to its end).
int copy_part_to_file(MessageLines& lines, std::FILE* file, const std::string& boundary,
                      bool& closing, const MailSession* session);

// Reads and drops lines through the next delimiter (nothing once closing is
// set). 0 or -1.
int skip_to_delimiter(MessageLines& lines, const std::string& boundary, bool& closing,
                      const MailSession* session);

// Reads and drops the epilogue through the end-of-data line. 0 or -1.
int drain_to_end(MessageLines& lines, const MailSession* session);

// Decodes one collected text by its transfer encoding (and converts
// ISO-2022-JP for a Japanese session). 0 or -1.
int decode_text_part(const std::string& collected, int encoding, int charset,
                     const MailSession* session, std::string& text);

}  // namespace brevorin
