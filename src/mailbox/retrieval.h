// Message retrieval: decoded (get_message) and raw (get_raw_message).
#pragma once

#include <string>

#include "mailbox/mailbox.h"

namespace brevorin {

int get_message(Mailbox& box, int message, const char* directory, int max_size,
                std::string& header_out, std::string& body_out, std::string& files_out);
int get_raw_message(Mailbox& box, int message, int max_size, std::string& text_out);

// Makes a present message's size known through the visit's own protocol
// (asked once, then kept); false when the server cannot say.
bool known_size(Mailbox& box, int message);

}  // namespace brevorin
