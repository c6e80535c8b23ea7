// get and raw over a selection of messages in one visit (one logon): numbers
// and ranges, --all, unique ids, and get --new with its state file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "api/tool_support.h"
#include "cli.h"

namespace cli {

namespace {

constexpr int kExitNoMessage = 10 - BREVORIN_E_NO_MESSAGE;

bool logged_on(MailSession* session) {
    brevorin::tool::MailboxStat stat;
    return brevorin::tool::mailbox_stat(session, stat);
}

// A failed message leaves the others to fetch, unless the visit itself is
// over (connection lost, Ctrl-C).
bool visit_goes_on(MailSession* session) {
    return !brevorin::tool::interrupted() && logged_on(session);
}

// Ids become numbers through the listing, which gives every present
// message's id in the same visit.
int select_by_id(const Request& request, MailSession* session, const char* what,
                 const char* consequence, std::vector<Target>& out) {
    std::vector<ListRecord> records;
    std::string raw;
    bool complete = true;
    int rc = list_records(request, session, records, raw, complete);
    if (rc != kExitOk) return rc;
    std::map<std::string, int> numbers;
    for (const ListRecord& record : records) {
        auto id = record.find("UIDL");
        auto number = record.find("NMB");
        if (id != record.end() && number != record.end() && !id->second.empty())
            numbers.emplace(id->second, std::atoi(number->second.c_str()));
    }
    std::set<std::string> seen;
    for (const std::string& id : request.uidls) {
        if (!seen.insert(id).second) continue;
        auto found = numbers.find(id);
        if (found != numbers.end()) {
            out.push_back({found->second, id});
            continue;
        }
        std::fprintf(stderr, "brevorin: %s: no message with id '%s'%s%s\n", what,
                     escaped(id).c_str(), complete ? "" : " among those listed", consequence);
        rc = kExitNoMessage;
    }
    return rc;
}

void report_missing(const char* what, int first, int last, long long held,
                    const char* consequence) {
    if (first == last)
        std::fprintf(stderr, "brevorin: %s: no message %d (the mailbox holds %lld)%s\n", what,
                     first, held, consequence);
    else
        std::fprintf(stderr, "brevorin: %s: no messages %d-%d (the mailbox holds %lld)%s\n", what,
                     first, last, held, consequence);
}

// Prints what was fetched and what went, unless -q.
void summary(const Request& request, size_t fetched, size_t marked, size_t listed) {
    if (request.quiet) return;
    if (fetched == 0 && marked == 0) {
        std::fprintf(stderr, "brevorin: get: no new messages (%zu in the mailbox)\n", listed);
        return;
    }
    std::fprintf(stderr, "brevorin: get: %zu new message%s fetched", fetched,
                 fetched == 1 ? "" : "s");
    if (request.delete_fetched)
        std::fprintf(stderr, ", %zu marked for deletion when the visit ends", marked);
    std::fprintf(stderr, "\n");
}

// A message counts as fetched once its text is out of the tool too: a
// pipe's buffer would be lost with the process.
bool output_flushed() {
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

// The ids not in the state file, fetched in mailbox order; each is recorded
// as soon as its files and text are out, so an interruption at any point
// leaves every message either recorded or still to fetch.
int get_new(const Request& request, MailSession* session) {
    StateFile state;
    int rc = state.open(request);
    if (rc != kExitOk) return rc;
    std::vector<ListRecord> records;
    std::string raw;
    bool complete = true;
    rc = list_records(request, session, records, raw, complete);
    if (rc != kExitOk) return rc;
    std::set<std::string> present;
    std::vector<Target> targets;
    for (const ListRecord& record : records) {
        auto id = record.find("UIDL");
        auto number = record.find("NMB");
        int n = number != record.end() ? std::atoi(number->second.c_str()) : 0;
        if (id == record.end() || id->second.empty()) {
            std::fprintf(stderr,
                         "brevorin: get: the server gives message %d no unique id; --new "
                         "needs them\n",
                         n);
            return kExitServer;
        }
        present.insert(id->second);
        if (!state.has(id->second)) targets.push_back({n, id->second});
    }
    // Only a whole listing tells which ids are gone for good.
    if (complete && state.keep_only(present) && !state.save()) return kExitFile;
    if (!complete && !request.quiet)
        std::fprintf(stderr,
                     "brevorin: get: the listing stopped after %zu messages; the rest come "
                     "next time\n",
                     records.size());

    size_t fetched = 0, marked = 0;
    bool first = true;
    if (request.json) std::printf("[");
    for (const Target& target : targets) {
        if (brevorin::tool::interrupted()) break;
        bool saved = false;
        int one = get_one(request, session, target, first, saved);
        if (saved && !output_flushed()) {
            std::fprintf(stderr, "brevorin: get: standard output could not be written\n");
            one = kExitFile;
            saved = false;
        }
        if (!saved) {
            if (rc == kExitOk) rc = one;
            // A disk that took no attachment will take no state file either.
            if (!visit_goes_on(session) || one == kExitFile) break;
            continue;
        }
        state.add(target.uidl);
        if (!state.save()) {
            rc = kExitFile;
            break;
        }
        ++fetched;
        if (!request.delete_fetched) continue;
        diagnostics().begin_call();
        int status = brevorin_deletemail(target.number, session);
        if (status == 0) {
            ++marked;
        } else {
            int code = report_failure(("delete " + std::to_string(target.number)).c_str(), status,
                                      Step::kMailbox, request.server);
            if (rc == kExitOk) rc = code;
            if (!visit_goes_on(session)) break;
        }
    }
    if (request.json) std::printf("]\n");
    summary(request, fetched, marked, present.size());
    return rc;
}

// get and raw alike: each message in turn, every failure reported, the
// first one's exit code returned.
template <typename One>
int retrieve(const Request& request, MailSession* session, const char* what, One one) {
    std::vector<Target> targets;
    int rc = select_messages(request, session, what, targets);
    bool array = request.json && several(request) && std::string(what) == "get";
    bool first = true;
    if (array) std::printf("[");
    for (const Target& target : targets) {
        if (brevorin::tool::interrupted()) break;
        int code = one(target, first);
        if (code == kExitOk) continue;
        if (rc == kExitOk) rc = code;
        if (!visit_goes_on(session)) break;
    }
    if (array) std::printf("]\n");
    return rc;
}

}  // namespace

bool several(const Request& request) {
    return request.all || request.only_new || !request.uidls.empty() ||
           request.messages.size() > 1 ||
           (request.messages.size() == 1 && request.messages[0].first != request.messages[0].last);
}

int select_messages(const Request& request, MailSession* session, const char* what,
                    std::vector<Target>& out) {
    const bool deleting = request.command == "delete";
    // A delete deletes all it was asked for or nothing: a typo among several
    // numbers must not leave half of them deleted.
    const char* consequence = deleting ? "; nothing deleted" : "";
    if (!request.uidls.empty()) return select_by_id(request, session, what, consequence, out);
    brevorin::tool::MailboxStat stat;
    brevorin::tool::mailbox_stat(session, stat);
    const long long held = stat.messages;
    if (request.all) {
        for (long long n = 1; n <= held; ++n) out.push_back({static_cast<int>(n), ""});
        return kExitOk;
    }
    // A lone number for get or raw is the library's to judge, as it always
    // was; ranges stop at the end of the mailbox, and what lies beyond is
    // one error, not one per number.
    const bool lone = !deleting && !several(request);
    std::set<int> seen;
    int rc = kExitOk;
    for (const Request::Range& range : request.messages) {
        int last = range.last;
        if (!lone && last > held) {
            int missing = std::max(range.first, static_cast<int>(held) + 1);
            report_missing(what, missing, range.last, held, consequence);
            rc = kExitNoMessage;
            last = missing - 1;
        }
        for (int n = range.first; n <= last; ++n)
            if (seen.insert(n).second) out.push_back({n, ""});
    }
    return rc;
}

int run_get(const Request& request, MailSession* session) {
    if (request.only_new) return get_new(request, session);
    return retrieve(request, session, "get", [&](const Target& target, bool& first) {
        bool saved = false;
        return get_one(request, session, target, first, saved);
    });
}

int run_raw(const Request& request, MailSession* session) {
    RawOutput out;
    int rc = out.open(request);
    if (rc != kExitOk) return rc;
    rc = retrieve(request, session, "raw", [&](const Target& target, bool& first) {
        return raw_one(request, session, target, first, out);
    });
    return out.finish(rc);
}

}  // namespace cli
