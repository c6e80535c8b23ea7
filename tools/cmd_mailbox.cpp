// stat and delete: the mailbox commands of a POP3 or IMAP visit.
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

// Every number or id is checked against the mailbox before the first DELE:
// a typo among several must not leave half of them deleted.
int run_delete(const Request& request, MailSession* session) {
    std::vector<Target> targets;
    int selected = select_messages(request, session, "delete", targets);
    if (selected != kExitOk) return selected;
    std::vector<int> numbers;
    for (const Target& target : targets) {
        if (request.dry_run)
            std::printf("would delete message %d%s\n", target.number,
                        target.uidl.empty() ? "" : (" (id " + escaped(target.uidl) + ")").c_str());
        numbers.push_back(target.number);
    }
    if (request.dry_run) return kExitOk;
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
