// stat and delete: the mailbox commands of a POP3 or IMAP visit.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "api/tool_support.h"
#include "cli.h"

namespace cli {

int run_stat(const Request& request, MailSession* session) {
    brevorin::tool::MailboxStat stat;
    if (!brevorin::tool::mailbox_stat(session, stat)) {
        std::fprintf(stderr, "brevorin: stat: not logged on\n");
        return 10 - BREVORIN_E_NOT_LOGGED_ON;
    }
    if (request.json)
        std::printf("{\"messages\": %lld, \"octets\": %lld}\n", stat.messages, stat.octets);
    else
        std::printf("%lld messages, %lld octets\n", stat.messages, stat.octets);
    return kExitOk;
}

// Every number is checked against the mailbox before the first DELE: a
// typo among several numbers must not leave half of them deleted.
int run_delete(const Request& request, MailSession* session) {
    brevorin::tool::MailboxStat stat;
    brevorin::tool::mailbox_stat(session, stat);
    std::vector<int> numbers;
    for (int n : request.messages) {
        if (n > stat.messages) {
            std::fprintf(
                stderr,
                "brevorin: delete: no message %d (the mailbox holds %lld); nothing deleted\n", n,
                stat.messages);
            return 10 - BREVORIN_E_NO_MESSAGE;
        }
        if (std::find(numbers.begin(), numbers.end(), n) == numbers.end()) numbers.push_back(n);
    }
    int rc = kExitOk;
    for (int n : numbers) {
        diagnostics().begin_call();
        int status = brevorin_deletemail(n, session);
        if (status != 0)
            rc = report_failure(("delete " + std::to_string(n)).c_str(), status, Step::kMailbox,
                                request.server);
        else if (!request.quiet)
            std::printf("deleted message %d\n", n);
    }
    return rc;
}

}  // namespace cli
