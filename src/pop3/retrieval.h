// Message retrieval: decoded (get_message) and raw (get_raw_message).
#pragma once

#include <string>

#include "api/session.h"

namespace brevorin {

// The host takes a file list of at most this many bytes, terminator included.
constexpr int kHostFileListLimit = 2048;

// fetch_decoded and fetch_raw result for a read that failed in the middle of
// the answer: the connection is out of step and the POP3 state must go.
constexpr int kConnectionLost = kNetwork;

int get_message(int message, const char* directory, int max_size, std::string& header_out,
            std::string& body_out, std::string& files_out, MailSession* session);
int get_raw_message(int message, int max_size, std::string& text_out, MailSession* session);

// Sends RETR and decodes the message into entry; attachments go to the
// directory text (empty or ending with the path separator). The attachment
// status (0 to 3); -1 on failure; -4 on a read time-out; -10 when the header
// or the plain body does not fit its buffer; kConnectionLost. Whatever the
// result, the answer has been read through its end unless the connection
// failed.
int fetch_decoded(int sock, int message, MessageEntry& entry, const std::string& directory,
               const MailSession* session);

// Sends RETR and returns the message undecoded through text: 0; -1 on
// failure; -4 on a read time-out; kConnectionLost.
int fetch_raw(int sock, int message, std::string& text, const MailSession* session);

}  // namespace brevorin
