// One message of the session's message table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace brevorin {

// An owned text that may be absent (null until set).
using OwnedText = std::optional<std::string>;

struct MessageEntry {
    int32_t present = 0;
    int32_t headers_parsed = 0;
    int32_t retrieved = 0;
    int32_t priority = -1;
    int32_t size = -1;
    OwnedText id;
    OwnedText to;
    OwnedText from;
    OwnedText subject;
    OwnedText date;
    OwnedText cc;
    OwnedText files;
    OwnedText reply_to;
    OwnedText body;
};

}  // namespace brevorin
