#include "pop3/listing.h"

namespace brevorin {

int POP3_PARSEHEADER(const char*, MessageEntry&, const MailSession* session) {
    DIAG_PRINT(session, 'E', 1, "POP3_PARSEHEADER: not yet built");
    return -1;
}

int LISTMAIL(std::string& list_out, int& length_out, MailSession* session) {
    list_out.clear();
    length_out = 1;
    if (session->logged_on != 1) return kNotLoggedOn;
    DIAG_PRINT(session, 'E', 1, "LISTMAIL: not yet built");
    return kCommandFailed;
}

}  // namespace brevorin
