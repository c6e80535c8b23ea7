// POP3 dialogue around a mailbox visit: greeting, USER/PASS, STAT, DELE, QUIT,
// and the teardown used after failures.
#pragma once

#include <string>

#include "net/server_address.h"
#include "pop3/mailbox.h"

namespace brevorin {

// Longest texts that fit the 516-byte command buffers with their command
// words and line end.
constexpr int kMaxUserLength = 508;
constexpr int kMaxPasswordLength = 508;

enum class StatusLine { kOk, kNegative, kFailed };

// Reads one status line. text (may be null) receives the status text, at
// most capacity characters.
StatusLine read_status(Connection& connection, const Context& ctx, std::string* text,
                       size_t capacity = kReplyCapacity);

// Sends a command and reads its status line.
StatusLine command(Mailbox& box, const std::string& line, std::string* text);

// The checks before a logon connects (texts, host length, whether the
// credentials may go) and its first diagnostics lines: kOk with the
// address, or the status.
int prepare_logon(const Context& ctx, const char* server, const char* user, const char* password,
                  int plain_port, int tls_port, ServerAddress& address);

// The workers of the mailbox exports: public status codes.
int logon(Mailbox& box, const char* server, const char* user, const char* password);
int logoff(Mailbox& box);
int delete_message(Mailbox& box, int message);

// Closes the connection and forgets the visit; the close's result.
int tear_down(Mailbox& box);
void forget_message(Mailbox& box, int number);

// Whether the last socket error means the connection is gone.
bool is_network_error(const Mailbox& box);

}  // namespace brevorin
