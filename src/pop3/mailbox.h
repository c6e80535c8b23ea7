// One visit of a mailbox, over POP3 or IMAP: the connection, what the logon
// learned, and what is known of each message. The message readers above
// the dialogues are the same for both protocols; what differs is reached
// through MessageFetcher.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/context.h"
#include "core/line_source.h"
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

struct Mailbox;

// How a fetch of one message ended.
enum class Fetch { kDone, kRefused, kGone, kLost, kTimedOut, kBufferFull, kOverSizeLimit };

// The protocol's side of fetching a message: its size, and its data as
// message lines for a reader that returns the fetch's outcome. fetch()
// leaves the connection in step, whatever the reader consumed.
class MessageFetcher {
  public:
    virtual ~MessageFetcher() = default;
    virtual bool size(Mailbox& box, int message, int32_t& size) = 0;
    virtual Fetch fetch(Mailbox& box, int message, const char* tag,
                        const std::function<Fetch(LineSource&)>& reader) = 0;
    // Makes the message's unique id known (uidl=yes): false when the visit
    // had to end.
    virtual bool unique_id(Mailbox& box, int message) = 0;
};

// What an IMAP visit keeps beside the common fields. Message n of the host
// is the message whose UID is uids[n]: its sequence number at logon, fixed
// for the session whatever other clients expunge.
struct ImapVisit {
    uint32_t next_tag = 0;
    uint32_t uid_validity = 0;
    std::vector<uint32_t> uids;  // [1, message_count]; [0] unused
    // Which of them the server still has, as a Fenwick tree of counts over
    // [1, message_count]: a message's sequence number now is the count up
    // to it, found in logarithmic time however many others were expunged.
    std::vector<uint32_t> alive;
    std::string capabilities;        // " CAP1 CAP2 ... ", upper case
    std::vector<uint32_t> deleted;   // UIDs flagged \Deleted by this session
    uint32_t exists = 0;             // the last EXISTS

    bool offers(const char* capability) const {
        return capabilities.find(std::string(" ") + capability + " ") != std::string::npos;
    }
};

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
    MessageFetcher* fetcher = nullptr;  // null: POP3
    ImapVisit imap;

    bool over_imap() const { return fetcher != nullptr; }

    bool is_present(int message) const {
        return message >= 1 && message <= message_count &&
               static_cast<size_t>(message) < states.size() && states[message].present;
    }
    MessageEntry& entry(int message) { return entries[message]; }
};

}  // namespace brevorin
