#include "api/tool_support.h"

#include <utility>

#include "api/session.h"

namespace brevorin::tool {

bool mailbox_stat(const MailSession* session, MailboxStat& out) {
    if (session == nullptr || session->logged_on != 1) return false;
    out.messages = session->message_count;
    out.octets = session->mailbox_octets;
    out.present = 0;
    for (size_t n = 1; n < session->messages.size(); ++n) out.present += session->messages[n].present;
    return true;
}

void set_progress_hook(MailSession* session, ProgressHook hook) {
    if (session != nullptr) session->progress = std::move(hook);
}

const char* tls_backend() { return "none"; }

}  // namespace brevorin::tool
