// stat and delete: the mailbox commands of a POP3 visit.
#include <cstdio>
#include <cstdlib>

#include "api/tool_support.h"
#include "cli.h"

namespace {

// The STAT figures of the logon live in the session record.
int run_stat(const cli::Args&, MailSession* session) {
    brevorin::tool::MailboxStat stat;
    brevorin::tool::mailbox_stat(session, stat);
    std::printf("%lld messages, %lld octets\n", stat.messages, stat.octets);
    return 0;
}

int run_delete(const cli::Args& args, MailSession* session) {
    if (args.positional.empty()) {
        std::fprintf(stderr, "brevorin: delete needs a message number\n");
        return 2;
    }
    int rc = 0;
    for (const auto& word : args.positional) {
        int n = std::atoi(word.c_str());
        int status = brevorin_deletemail(n, session);
        if (status != 0)
            rc = cli::report_failure(("delete " + word).c_str(), status);
        else
            std::printf("deleted message %d\n", n);
    }
    return rc;
}

cli::Registrar stat_command({"stat", "stat --server H --user U   message count and mailbox size",
                             run_stat, true});
cli::Registrar delete_command({"delete", "delete N... --server H --user U   delete messages",
                               run_delete, true});

}  // namespace
