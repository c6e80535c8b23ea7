#include "pop3/retrieval.h"

namespace brevorin {

int GETMAIL(int, const char*, int, std::string& header_out, std::string& body_out,
            std::string& files_out, MailSession* session) {
    header_out.clear();
    body_out.clear();
    files_out.clear();
    if (session->logged_on != 1) return kNotLoggedOn;
    DIAG_PRINT(session, 'E', 1, "GETMAIL: not yet built");
    return kCommandFailed;
}

int GETRAWMAIL(int, int, std::string& text_out, MailSession* session) {
    text_out.clear();
    if (session->logged_on != 1) return kNotLoggedOn;
    DIAG_PRINT(session, 'E', 1, "GETRAWMAIL: not yet built");
    return kCommandFailed;
}

}  // namespace brevorin
