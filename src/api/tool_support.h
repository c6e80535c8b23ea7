// Services of the library's C++ layer for the command-line tool, which links
// the library's modules statically. Not part of the C ABI: hosts use the
// exports only.
#pragma once

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
