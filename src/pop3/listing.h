// Header field extraction and the message list.
#pragma once

#include <string>

#include "api/session.h"

namespace brevorin {

// Extracts From, To, Cc, Subject, Date, priority, Reply-To and Message-ID
// from a header text (lines ending in CR LF) into entry. 0, or -1 (no header
// text, or no memory) with the fields handled so far kept and
// headers_parsed left at 0.
int parse_header_fields(const char* header, MessageEntry& entry, const MailSession* session);

// Lists every present message; the number of records or a status code.
// list_out always receives a text; length_out the list's length plus one.
int list_messages(std::string& list_out, int& length_out, MailSession* session);

}  // namespace brevorin
