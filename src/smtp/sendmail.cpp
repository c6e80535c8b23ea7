#include "smtp/sendmail.h"

namespace brevorin {

int SENDMAIL(const char*, const char*, const char*, const char*, int, MailSession* session) {
    DIAG_PRINT(session, 'E', 1, "SENDMAIL: not yet built");
    return kInvalid;
}

}  // namespace brevorin
