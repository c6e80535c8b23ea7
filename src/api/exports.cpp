// The nine exported functions: thin shells that check the session, empty
// its result slots and hand over to the workers.
#include "api/exports.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "api/session.h"
#include "brevorin.h"
#include "host/host_calls.h"
#include "imap/session.h"
#include "mailbox/listing.h"
#include "mailbox/retrieval.h"
#include "mailbox/visit.h"
#include "net/connection.h"
#include "platform/lock.h"
#include "platform/sockets.h"
#include "pop3/protocol.h"
#include "smtp/sendmail.h"

namespace brevorin {

namespace {

// 0: sockets layer not started; n > 0: started, n sessions; -1: start failed.
// Sessions are made and released on any host thread.
int32_t g_socket_users = 0;
platform::Lock g_socket_users_lock;

int sockets_startup(uint16_t* version) { return platform::socket_api().startup(0x0101, version); }
int sockets_cleanup() { return platform::socket_api().cleanup(); }

constexpr char kHostVersion[] = "7.2.05";
constexpr size_t kCharsetNameBuffer = 80;

// Copies a worker's text into a result slot and stores the slot's reference.
// False when no slot or no memory is left; nothing is stored then.
bool hand_out(MailSession* session, const std::string& text, char** out) {
    char* block = alloc_result_slot(session, text.size() + 1);
    if (block == nullptr) return false;
    std::memcpy(block, text.c_str(), text.size() + 1);
    *out = block;
    return true;
}

// The common start of the seven worker exports: 1 when the worker may run,
// otherwise the status to return through *status.
bool begin_call(MailSession* session, int* status) {
    if (session == nullptr) {
        *status = kInvalid;
        return false;
    }
    reset_result_slots(session);
    session->failure = FailureRecord{};
    if (sockets_user_count() == -1) {
        *status = kNetwork;
        return false;
    }
    return true;
}

// Runs a worker, turning an allocation failure (the only exception the
// library's own code can raise) into the "no memory" status.
template <typename Worker>
int run_worker(Worker&& worker) {
    try {
        return worker();
    } catch (const std::bad_alloc&) {
        return kInvalid;
    } catch (...) {
        return kInvalid;
    }
}

// The protocol of a visit, from the option as it is at the logon; the
// visit keeps it whatever the option says later.
std::unique_ptr<MailboxProtocol> protocol_of(const SessionOptions& options) {
    if (options.protocol == MailProtocol::kImap) return imap::make_protocol();
    return pop3::make_protocol();
}

int mailbox_logon(Mailbox& box, const char* server, const char* user, const char* password) {
    if (box.logged_on) return kLoggedOn;
    return logon(box, protocol_of(box.ctx.options), server, user, password);
}

}  // namespace

int32_t sockets_user_count() {
    platform::Hold hold(g_socket_users_lock);
    return g_socket_users;
}
void set_sockets_user_count_for_tests(int32_t count) {
    platform::Hold hold(g_socket_users_lock);
    g_socket_users = count;
}

}  // namespace brevorin

using namespace brevorin;

extern "C" BREVORIN_API int brevorin_init(MailSession** session_out) noexcept {
    std::unique_ptr<MailSession> session;
    try {
        session = std::make_unique<MailSession>();
        session->ctx.host_version = kHostVersion;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    char value[kCharsetNameBuffer] = "";
    bool trace = host_get_setting(3, value, sizeof value) >= 64;
    session->ctx.diag = Diag(trace, host_put_message);
    char name[kCharsetNameBuffer] = "";
    host_get_setting(39, name, sizeof name);
    session->ctx.charset = charset_from_host_name(name);

    platform::Hold hold(g_socket_users_lock);

    // A count of -1 means an earlier start failed: try again rather than
    // hand out sessions that cannot use the network.
    if (g_socket_users == 0 || g_socket_users == -1) {
        uint16_t version = 0;
        int rc = sockets_startup(&version);
        if (rc != 0) {
            g_socket_users = -1;
            return rc;
        }
        if ((version & 0xFF) != 1 || ((version >> 8) & 0xFF) != 1) {
            g_socket_users = -1;
            return sockets_cleanup();
        }
        g_socket_users = 0;
    }
    ++g_socket_users;
    if (session_out == nullptr) {
        // Nowhere to store the session: undo the count and hand nothing out.
        if (--g_socket_users == 0) sockets_cleanup();
        return 0;
    }
    *session_out = session.release();
    return g_socket_users;
}

extern "C" BREVORIN_API void brevorin_cleanup(MailSession* session) noexcept {
    if (session == nullptr) return;
    std::unique_ptr<MailSession> owned(session);
    if (owned->mailbox.logged_on) run_worker([&] { return logoff(owned->mailbox); });
    run_worker([&] {
        close_smtp_link(owned->smtp_link);
        return 0;
    });
    platform::Hold hold(g_socket_users_lock);
    if (g_socket_users == 1) {
        sockets_cleanup();
        g_socket_users = 0;
    } else if (g_socket_users > 1) {
        --g_socket_users;
    }
    reset_result_slots(owned.get());
}

extern "C" BREVORIN_API int brevorin_logonmail(const char* server, const char* user,
                                               const char* password, MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    return run_worker([&] { return mailbox_logon(session->mailbox, server, user, password); });
}

extern "C" BREVORIN_API int brevorin_logoffmail(MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    run_worker([&] {
        close_smtp_link(session->smtp_link);
        return 0;
    });
    return run_worker([&] { return logoff(session->mailbox); });
}

extern "C" BREVORIN_API int brevorin_deletemail(int message, MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    return run_worker([&] { return delete_message(session->mailbox, message); });
}

extern "C" BREVORIN_API int brevorin_listmail(char** list_out, MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    if (list_out == nullptr) return kInvalid;
    std::string list;
    status = run_worker([&] { return list_messages(session->mailbox, list); });
    if (!hand_out(session, list, list_out)) return kInvalid;
    return status;
}

extern "C" BREVORIN_API int brevorin_getmail(int message, const char* directory, int max_size,
                                             char** header_out, char** body_out, char** files_out,
                                             MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    if (header_out == nullptr || body_out == nullptr || files_out == nullptr) return kInvalid;
    std::string header, body, files;
    status = run_worker(
        [&] { return get_message(session->mailbox, message, directory, max_size, header, body, files); });
    if (!hand_out(session, header, header_out) || !hand_out(session, body, body_out) ||
        !hand_out(session, files, files_out))
        return kInvalid;
    return status;
}

extern "C" BREVORIN_API int brevorin_getrawmail(int message, int max_size, char** text_out,
                                                MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    if (text_out == nullptr) return kInvalid;
    TextBlock text;
    status = run_worker([&] { return get_raw_message(session->mailbox, message, max_size, text); });
    // The message is handed out in the block it was received into: no copy.
    char* block = adopt_result_slot(session, text.release());
    if (block == nullptr) return kInvalid;
    *text_out = block;
    return status;
}

extern "C" BREVORIN_API int brevorin_sendmail(const char* server, const char* header_list,
                                              const char* text, const char* attachment_list,
                                              int max_size, MailSession* session) noexcept {
    int status;
    if (!begin_call(session, &status)) return status;
    return run_worker([&] {
        return send_mail(server, header_list, text, attachment_list, max_size, session->ctx,
                         &session->smtp_link);
    });
}

extern "C" BREVORIN_API int brevorin_setoption(const char* name, const char* value,
                                               MailSession* session) noexcept {
    if (session == nullptr) return kInvalid;
    reset_result_slots(session);
    if (name == nullptr || value == nullptr) {
        diag_print(session, 'E', 1, "SETOPTION: Refused: option name or value missing");
        return kInvalid;
    }
    return run_worker([&] {
        switch (apply_option(session->ctx.options, name, value)) {
            case OptionOutcome::kSet:
                return static_cast<int>(kOk);
            case OptionOutcome::kUnknownName:
                diag_print(session, 'E', 1, "SETOPTION: Refused: unknown option %.64s", name);
                return static_cast<int>(kInvalid);
            case OptionOutcome::kBadValue:
                if (option_is_secret(name))
                    diag_print(session, 'E', 1, "SETOPTION: Refused: bad value for %s", name);
                else
                    diag_print(session, 'E', 1, "SETOPTION: Refused: bad value \"%.128s\" for %s",
                               value, name);
                return static_cast<int>(kInvalid);
        }
        return static_cast<int>(kInvalid);
    });
}
