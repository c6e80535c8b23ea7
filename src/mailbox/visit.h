// The protocol-neutral course of a visit: the checks before a logon
// connects, the workers that hand over to the visit's protocol, and the
// teardown after failures.
#pragma once

#include "mailbox/mailbox.h"
#include "net/server_address.h"

namespace brevorin {

// Longest texts that fit the 516-byte command buffers with their command
// words and line end.
constexpr int kMaxUserLength = 508;
constexpr int kMaxPasswordLength = 508;

// The checks before a logon connects (texts, host length, whether the
// credentials may go) and its first diagnostics lines: kOk with the
// address, or the status. legacy_logon: the classic logon that has always
// been let go in the clear.
int prepare_logon(const Context& ctx, const char* server, const char* user, const char* password,
                  int plain_port, int tls_port, bool legacy_logon, ServerAddress& address);

// The mailbox workers: public status codes. A logon keeps the protocol
// given for the visit it begins.
int logon(Mailbox& box, std::unique_ptr<MailboxProtocol> protocol, const char* server,
          const char* user, const char* password);
int logoff(Mailbox& box);
int delete_message(Mailbox& box, int message);

// Closes the connection and forgets the visit; the close's result.
int tear_down(Mailbox& box);
void forget_message(Mailbox& box, int number);

// Whether the connection has broken (a read or write failed, or it was
// abandoned), so that the visit cannot go on.
bool is_network_error(const Mailbox& box);

}  // namespace brevorin
