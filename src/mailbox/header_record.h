// A message's header fields: taken from its header text, and handed to the
// host as a listing record or a getmail header record.
#pragma once

#include <string>

#include "mailbox/mailbox.h"

namespace brevorin {

// The most of a header block a listing reads before cutting it.
constexpr size_t kHeaderWorkBuffer = 32768;

// Extracts From, To, Cc, Subject, Date, priority, Reply-To and Message-ID
// from a header text (lines ending in CR LF) into entry. 0, or -1 (no header
// text, or no memory) with the fields handled so far kept and
// the message left for listing to try again.
int parse_header_fields(const char* header, MessageEntry& entry, const Context& ctx);

// One listing record, "NMB=..." to "SIZE=...", appended to list.
void append_record(std::string& list, int number, const MessageState& state,
                   const MessageEntry& entry, bool uidl);

// The header record getmail hands out, "ID=..." to "REPLY=..." (and UIDL).
std::string header_record(const MessageEntry& entry, bool uidl);

// Cuts an over-long header (longer than its capacity, or cut already while
// it was read) at the last complete line that fits, with a warning.
void keep_head(const Context& ctx, int message, size_t capacity, bool cut, std::string& header);

}  // namespace brevorin
