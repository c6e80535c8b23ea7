// Services of the library's C++ layer for the command-line tool, which links
// the library's modules statically. Not part of the C ABI: hosts use the
// exports only.
#pragma once

#include <cstddef>
#include <functional>

#include "core/context.h"

struct MailSession;

namespace brevorin::tool {

struct MailboxStat {
    long long messages = 0;  // STAT count of the logon
    long long octets = 0;
    long long present = 0;  // not deleted in this visit
};

// The figures of the current logon; false when not logged on.
bool mailbox_stat(const MailSession* session, MailboxStat& out);

// The size of message n as the mailbox's server gives it (asked once, then
// known to the visit, so that retrieving it asks no more); false when it is
// unknown.
bool message_size(MailSession* session, int n, long long& size);
// The same only when the visit knows it already: never asks the server, so
// it may be called while a transfer is under way.
bool known_message_size(const MailSession* session, int n, long long& size);

// Message n as brevorin_getrawmail hands it out, given to write a piece (a
// line or part of one) at a time instead of held, so that a message of any
// size needs no more memory than a line. max_size 0 sets no limit at all.
// A status as brevorin_getrawmail's, never -16. A writer that returns false
// is given nothing more; the rest of the message is read and dropped, so
// the visit goes on.
using PieceWriter = std::function<bool(const char* data, size_t size)>;
int raw_message_to(MailSession* session, int n, int max_size, const PieceWriter& write);

// Called with the bytes a session has received and sent on its current
// connection, each time the connection moves data; an empty hook stops it.
using ProgressHook = brevorin::ProgressHook;
void set_progress_hook(MailSession* session, ProgressHook hook);

// Shows the session's traffic to observer (not owned, outliving its use)
// from the next connection on; null stops it.
using WireObserver = brevorin::WireObserver;
void set_wire_observer(MailSession* session, WireObserver* observer);

// Why the session's last call failed, beyond its status.
const FailureRecord& last_failure(const MailSession* session);

// The TLS implementation the library was built with ("none" without one).
const char* tls_backend();

// Asks the call in progress to stop as soon as it waits for the network:
// it fails and removes what it had written (attachment temporaries). For a
// signal handler; interrupted() tells the tool afterwards.
void interrupt();
bool interrupted();

}  // namespace brevorin::tool
