// One visit of a mailbox, whatever protocol reaches it: the connection, what
// the logon learned, and what is known of each message. The listing, the
// message readers and the teardown are the same for every protocol; what
// differs is reached through the visit's MailboxProtocol.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// The most messages a mailbox may claim: the table for them stays within
// a budget of about 128 MiB.
constexpr int32_t kMaxMessages = 1 << 24;

struct Mailbox;

// How a fetch of one message ended.
enum class Fetch { kDone, kRefused, kGone, kLost, kTimedOut, kBufferFull, kOverSizeLimit };

// One listing's traffic with the server, made by the protocol for the
// common listing loop and dropped with it. The loop asks for the header
// fields of each message it lists in turn; a protocol that asks ahead (in
// batches, while earlier answers are read) keeps what it asked for here.
class ListingPass {
  public:
    virtual ~ListingPass() = default;
    // Makes the header fields of a present message known, or finds that it
    // is gone (no longer present). 0, or the status the listing returns.
    virtual int ensure_headers(int message) = 0;
    // Before a request of the loop's own: answers still due are dealt with,
    // so that the next answer read is that request's. 0, or kNetwork when
    // the visit had to end.
    virtual int make_way() = 0;
    // At the end of the listing, or where it is cut at the host's window:
    // every answer still due is read. 0, or kNetwork when the visit ended.
    virtual int finish() = 0;
    // Whether a listing cut at the host's window hands out its records even
    // when finishing then loses the connection: true where the answers past
    // the cut are kept for a later listing rather than dropped unread.
    virtual bool hands_out_cut_list_first() const { return false; }
};

// What one protocol does for a visit. A visit's protocol is chosen at its
// logon and kept until the next one.
class MailboxProtocol {
  public:
    virtual ~MailboxProtocol() = default;

    // Connects, signs in and learns the table of messages: a public status,
    // the visit logged on with kOk.
    virtual int logon(Mailbox& box, const char* server, const char* user, const char* password) = 0;
    // The workers of a logged-on visit: public status codes.
    virtual int logoff(Mailbox& box) = 0;
    virtual int remove(Mailbox& box, int message) = 0;

    // A message's size as the server gives it; false when it cannot say.
    virtual bool size(Mailbox& box, int message, int32_t& size) = 0;
    // The same for a message whose fetch follows at once should the size be
    // above 0: a protocol may ask for the message in the same write.
    virtual bool size_before_fetch(Mailbox& box, int message, int32_t& size) {
        return this->size(box, message, size);
    }
    // The message's data as message lines for a reader that returns the
    // fetch's outcome. Leaves the connection in step, whatever the reader
    // consumed. tag names the operation in the diagnostics lines.
    virtual Fetch fetch(Mailbox& box, int message, const char* tag,
                        const std::function<Fetch(LineSource&)>& reader) = 0;
    // Makes the message's unique id known (uidl=yes): false when the visit
    // had to end.
    virtual bool unique_id(Mailbox& box, int message) = 0;

    // The traffic of one listing from message first on; null when it
    // cannot start (no memory, said in the diagnostics).
    virtual std::unique_ptr<ListingPass> listing(Mailbox& box, int first) = 0;

    // The protocol's name in the diagnostics lines' tags ("POP3_FETCH").
    virtual const char* name() const = 0;
    // The visit ended: what the protocol kept of it goes.
    virtual void end_visit() = 0;
};

// The bounds a visit holds the server and the host to: always the named
// limits, except where a test lowers one to meet it with a few lines of
// traffic. Each visit has its own, so sessions on other threads share none.
// The protocols' own bounds are here too, since a protocol is made afresh at
// each logon and a bound may be met during one.
struct VisitLimits {
    size_t in_memory_ceiling = kInMemoryCeiling;
    size_t host_file_list = kHostFileListLimit;
    int fetch_items = kMaxFetchItems;        // items of one IMAP FETCH response
    size_t capabilities = kMaxCapabilities;  // words of an IMAP CAPABILITY list
};

struct Mailbox {
    explicit Mailbox(const Context& context) : ctx(context), connection(context) {}

    const Context& ctx;
    Connection connection;
    VisitLimits limits;
    bool logged_on = false;
    int32_t message_count = -1;
    int32_t mailbox_octets = -1;
    std::vector<MessageState> states;  // [1, message_count]; [0] unused
    std::unordered_map<int32_t, MessageEntry> entries;
    std::unique_ptr<MailboxProtocol> protocol;  // the last logon's

    bool is_present(int message) const {
        return message >= 1 && message <= message_count &&
               static_cast<size_t>(message) < states.size() && states[message].present;
    }
    MessageEntry& entry(int message) { return entries[message]; }
};

}  // namespace brevorin
