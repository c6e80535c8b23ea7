// A mailbox visit over IMAP (RFC 3501) behind the same workers as POP3's:
// the same statuses, records, message readers and result slots. Host
// message numbers are the sequence numbers at logon, each tied to its UID,
// and every later command names UIDs.
#pragma once

#include <string>

#include "pop3/mailbox.h"

namespace brevorin::imap {

constexpr int kImapPort = 143;
constexpr int kImapsPort = 993;

int logon(Mailbox& box, const char* server, const char* user, const char* password);
int logoff(Mailbox& box);
int delete_message(Mailbox& box, int message);
int list_messages(Mailbox& box, std::string& list_out);

// "%08x%08x" of the UID and UIDVALIDITY: the form Dovecot's POP3 gives by
// default, so a host's record of seen ids survives a move to IMAP there.
std::string unique_id(const ImapVisit& visit, int message);

}  // namespace brevorin::imap
