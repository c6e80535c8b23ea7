// One visit of a POP3 mailbox: the connection, what the logon learned, and
// what is known of each message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/context.h"
#include "core/text.h"
#include "net/connection.h"

namespace brevorin {

// What a message needs before it is listed or fetched. Kept small: the
// table has one per message the server claims.
struct MessageState {
    int32_t size = -1;  // LIST octets, -1 until asked
    bool present = false;
    bool headers_parsed = false;
    bool retrieved = false;
};

// The header fields, body and file list of a message, made when the
// message is first listed or fetched.
struct MessageEntry {
    int32_t priority = -1;
    OwnedText id;
    OwnedText to;
    OwnedText from;
    OwnedText subject;
    OwnedText date;
    OwnedText cc;
    OwnedText files;
    OwnedText reply_to;
    OwnedText body;
    OwnedText uidl;  // the server's unique id, once asked (uidl=yes)
};

// Whether TOP works on this connection.
enum class TopSupport { kUnknown, kWorks, kUseRetr };

// The most messages a mailbox may claim: the table for them stays within
// a budget of about 128 MiB.
constexpr int32_t kMaxMessages = 1 << 24;

struct Mailbox {
    explicit Mailbox(const Context& context) : ctx(context), connection(context) {}

    const Context& ctx;
    Connection connection;
    bool logged_on = false;
    TopSupport top_support = TopSupport::kUnknown;
    bool pipelining = false;  // CAPA listed PIPELINING and the session asks for it
    int32_t message_count = -1;
    int32_t mailbox_octets = -1;
    std::vector<MessageState> states;  // [1, message_count]; [0] unused
    std::unordered_map<int32_t, MessageEntry> entries;

    bool is_present(int message) const {
        return message >= 1 && message <= message_count &&
               static_cast<size_t>(message) < states.size() && states[message].present;
    }
    MessageEntry& entry(int message) { return entries[message]; }
};

}  // namespace brevorin
