// POP3 dialogue around a mailbox visit: greeting, USER/PASS, STAT, DELE, QUIT,
// and the teardown used after failures.
#pragma once

#include <string>

#include "mailbox/mailbox.h"
#include "mailbox/visit.h"

namespace brevorin {

// Whether TOP works on this connection.
enum class TopSupport { kUnknown, kWorks, kUseRetr };

// What a POP3 visit keeps beside the common fields.
struct Pop3Visit {
    TopSupport top_support = TopSupport::kUnknown;
    bool pipelining = false;  // CAPA listed PIPELINING and the session asks for it
    bool deleted = false;     // a DELE of this visit waits for QUIT to commit it
    int retr_sent = 0;        // the message whose RETR went out with its LIST
};

enum class StatusLine { kOk, kNegative, kFailed };

// Reads one status line. text (may be null) receives the status text, at
// most capacity characters.
StatusLine read_status(Connection& connection, const Context& ctx, std::string* text,
                       size_t capacity = kReplyCapacity);

// Sends a command and reads its status line.
StatusLine command(Mailbox& box, const std::string& line, std::string* text);

namespace pop3 {

// The workers of the mailbox exports over POP3: public status codes.
int logon(Mailbox& box, Pop3Visit& visit, const char* server, const char* user,
          const char* password);
// QUIT; its answer is read when await_answer, as it commits deletions.
int logoff(Mailbox& box, bool await_answer);
int delete_message(Mailbox& box, int message);

}  // namespace pop3

}  // namespace brevorin
