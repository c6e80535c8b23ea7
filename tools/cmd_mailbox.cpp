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

namespace {

std::string json_numbers(const std::vector<int>& numbers) {
    std::string out = "[";
    for (size_t i = 0; i < numbers.size(); ++i)
        out += (i == 0 ? "" : ", ") + std::to_string(numbers[i]);
    return out + "]";
}

std::string listed(const std::vector<int>& numbers) {
    std::string out;
    for (int n : numbers) out += (out.empty() ? "" : ", ") + std::to_string(n);
    return out;
}

}  // namespace

// Every number or id is checked against the mailbox before the first DELE:
// a typo among several must not leave half of them deleted.
// DELE only marks: the server deletes when the visit ends in good order, so
// "deleted" is said only after the logoff succeeded, and the visit is ended
// here rather than by the caller.
int run_delete(const Request& request, MailSession* session) {
    std::vector<Target> targets;
    int selected = select_messages(request, session, "delete", targets);
    if (selected != kExitOk) {
        brevorin_logoffmail(session);
        return selected;
    }
    std::vector<int> numbers;
    for (const Target& target : targets) {
        if (request.dry_run)
            std::printf("would delete message %d%s\n", target.number,
                        target.uidl.empty() ? "" : (" (id " + escaped(target.uidl) + ")").c_str());
        numbers.push_back(target.number);
    }
    if (request.dry_run) {
        brevorin_logoffmail(session);
        return kExitOk;
    }
    int rc = kExitOk;
    std::vector<int> marked, deleted;
    for (int n : numbers) {
        diagnostics().begin_call();
        int status = brevorin_deletemail(n, session);
        if (status != 0)
            rc = report_failure(("delete " + std::to_string(n)).c_str(), status, Step::kMailbox,
                                request.server);
        else
            marked.push_back(n);
    }
    diagnostics().begin_call();
    int status = brevorin_logoffmail(session);
    if (status != 0) {
        int failed = report_failure("logoff", status, Step::kMailbox, request.server);
        if (rc == kExitOk) rc = failed;
        if (!marked.empty())
            std::fprintf(stderr,
                         "brevorin: delete: marked %s, but the server did not confirm the end of "
                         "the visit; nothing deleted\n",
                         listed(marked).c_str());
    } else {
        deleted = marked;
    }
    if (request.json)
        std::printf("{\"marked\": %s, \"deleted\": %s}\n", json_numbers(marked).c_str(),
                    json_numbers(deleted).c_str());
    else if (!request.quiet)
        for (int n : deleted) std::printf("deleted message %d\n", n);
    return rc;
}

}  // namespace cli
