// LIST and TOP: a message's size and its header block.
#pragma once

#include <string>

#include "pop3/mailbox.h"

namespace brevorin {

constexpr size_t kTopWorkBuffer = 32768;
constexpr size_t kRetrWorkBuffer = 96768;

// LIST n: true with size set.
bool list_size(Mailbox& box, int message, int32_t& size);

// The header block of a message (TOP n 0, or RETR where TOP does not work),
// at most capacity - 1 bytes: a longer block is cut there with a warning,
// so that one message with a huge header does not stop the listing. False
// when a command failed.
bool fetch_header(Mailbox& box, int message, size_t capacity, std::string& header);

}  // namespace brevorin
