// Header field extraction and the message list.
#pragma once

#include <optional>
#include <string>

#include "pop3/mailbox.h"

namespace brevorin {

// Extracts From, To, Cc, Subject, Date, priority, Reply-To and Message-ID
// from a header text (lines ending in CR LF) into entry. 0, or -1 (no header
// text, or no memory) with the fields handled so far kept and
// the message left for listing to try again.
int parse_header_fields(const char* header, MessageEntry& entry, const Context& ctx);

// One listing record, "NMB=..." to "SIZE=...", appended to list.
void append_record(std::string& list, int number, const MessageState& state,
                   const MessageEntry& entry, bool uidl);

// The common start of a listing: the status to return at once (not logged
// on, an empty mailbox, no memory), or nothing and the first message to list
// (option list_from) with list's room reserved.
std::optional<int> start_listing(const Mailbox& box, std::string& list_out, std::string& list,
                                 int& first);

// Lists every present message from the option list_from on; the number of
// records or a status code. list_out always receives a text.
int list_messages(Mailbox& box, std::string& list_out);

}  // namespace brevorin
