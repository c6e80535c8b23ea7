#include "api/tool_support.h"

#include <utility>

#include "api/session.h"
#include "mailbox/retrieval.h"
#include "platform/sockets.h"
#include "platform/tls.h"

namespace brevorin::tool {

bool mailbox_stat(const MailSession* session, MailboxStat& out) {
    if (session == nullptr || !session->mailbox.logged_on) return false;
    const Mailbox& box = session->mailbox;
    out.messages = box.message_count;
    out.octets = box.mailbox_octets;
    out.present = 0;
    for (size_t n = 1; n < box.states.size(); ++n) out.present += box.states[n].present ? 1 : 0;
    return true;
}

bool message_size(MailSession* session, int n, long long& size) {
    if (session == nullptr || !session->mailbox.logged_on || !session->mailbox.is_present(n))
        return false;
    if (!known_size(session->mailbox, n)) return false;
    size = session->mailbox.states[n].size;
    return size > 0;
}

bool known_message_size(const MailSession* session, int n, long long& size) {
    if (session == nullptr || !session->mailbox.logged_on || !session->mailbox.is_present(n))
        return false;
    size = session->mailbox.states[n].size;
    return size > 0;
}

int raw_message_to(MailSession* session, int n, int max_size, const PieceWriter& write) {
    if (session == nullptr) return kInvalid;
    reset_result_slots(session);
    session->failure = FailureRecord{};
    try {
        return stream_raw_message(session->mailbox, n, max_size, write);
    } catch (...) {
        return kInvalid;
    }
}

void set_progress_hook(MailSession* session, ProgressHook hook) {
    if (session != nullptr) session->ctx.progress = std::move(hook);
}

void set_wire_observer(MailSession* session, WireObserver* observer) {
    if (session != nullptr) session->ctx.wire = observer;
}

const char* tls_backend() {
    return platform::tls_backend_name();
}

void interrupt() {
    platform::request_interrupt();
}

bool interrupted() {
    return platform::interrupt_requested();
}

const FailureRecord& last_failure(const MailSession* session) {
    static const FailureRecord none;
    return session != nullptr ? session->failure : none;
}

}  // namespace brevorin::tool
