// LIST and TOP: a message's size and its header block.
#pragma once

#include "api/session.h"

namespace brevorin {

constexpr int kTopWorkBuffer = 32768;
constexpr int kRetrWorkBuffer = 96768;

// 0 with *size set, or -1.
int list_size(int sock, int message, int32_t* size, const MailSession* session);

// 0 with destination holding the terminated header text, or -1. top_support
// is the session's field (-1 unknown, 1 TOP works, 0 use RETR).
int fetch_top(int sock, int32_t* top_support, int message, int line_count, char* destination,
             int capacity, const MailSession* session);

}  // namespace brevorin
