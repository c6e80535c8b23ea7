// stat and delete: the mailbox commands of a POP3 visit.
#include <cstdio>
#include <string>

#include "api/tool_support.h"
#include "cli.h"

namespace cli {

int run_stat(const Request&, MailSession* session) {
    brevorin::tool::MailboxStat stat;
    if (!brevorin::tool::mailbox_stat(session, stat)) {
        std::fprintf(stderr, "brevorin: stat: not logged on\n");
        return 10 - BREVORIN_E_NOT_LOGGED_ON;
    }
    std::printf("%lld messages, %lld octets\n", stat.messages, stat.octets);
    return kExitOk;
}

int run_delete(const Request& request, MailSession* session) {
    int rc = kExitOk;
    for (int n : request.messages) {
        diagnostics().begin_call();
        int status = brevorin_deletemail(n, session);
        if (status != 0)
            rc = report_failure(("delete " + std::to_string(n)).c_str(), status, Step::kMailbox,
                                request.server);
        else
            std::printf("deleted message %d\n", n);
    }
    return rc;
}

}  // namespace cli
