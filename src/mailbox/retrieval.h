// Message retrieval: decoded (get_message) and raw (get_raw_message).
#pragma once

#include <functional>
#include <string>

#include "core/text_block.h"
#include "mailbox/mailbox.h"

namespace brevorin {

int get_message(Mailbox& box, int message, const char* directory, int max_size,
                std::string& header_out, std::string& body_out, std::string& files_out);
// The whole message in one block, grown in place from the size the server
// announced: it is handed to the host as it is.
int get_raw_message(Mailbox& box, int message, int max_size, TextBlock& text_out);

// Receives the pieces of a streamed message; false stops the hand-over.
using PieceWriter = std::function<bool(const char* data, size_t size)>;
// The message as get_raw_message has it, handed to write a piece (at most a
// line) at a time, so that its size costs no memory. Only a caller's
// max_size limits it. A writer that refuses gets nothing more; the rest is
// read and dropped so that the visit goes on.
int stream_raw_message(Mailbox& box, int message, int max_size, const PieceWriter& write);

// Makes a present message's size known through the visit's own protocol
// (asked once, then kept); false when the server cannot say.
bool known_size(Mailbox& box, int message);

}  // namespace brevorin
