// The message list: one loop for every protocol, which supplies the
// traffic that makes each message's header fields known.
#pragma once

#include <string>

#include "mailbox/mailbox.h"

namespace brevorin {

// Lists every present message from the option list_from on; the number of
// records or a status code. list_out always receives a text.
int list_messages(Mailbox& box, std::string& list_out);

}  // namespace brevorin
