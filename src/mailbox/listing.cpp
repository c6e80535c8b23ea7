#include "mailbox/listing.h"

#include <new>
#include <optional>

#include "core/text.h"
#include "mailbox/header_record.h"
#include "mailbox/visit.h"

namespace brevorin {

namespace {

// The common start of a listing: the status to return at once (not logged
// on, an empty mailbox, no memory), or nothing and the first message to list
// (option list_from) with list's room reserved.
std::optional<int> start_listing(const Mailbox& box, std::string& list_out, std::string& list,
                                 int& first) {
    list_out.clear();
    if (!box.logged_on) return static_cast<int>(kNotLoggedOn);
    if (box.message_count <= 0) return 0;
    // The list never holds more than what the host takes, whatever the
    // mailbox size, so that is all it needs.
    try {
        list.reserve(kHostTextLimit);
    } catch (const std::bad_alloc&) {
        box.ctx.diag.print('E', 1, "LISTMAIL: malloc failed");
        return static_cast<int>(kInvalid);
    }
    // A host pages through a mailbox larger than its window by starting
    // after the last message it got; by default the listing starts at 1.
    first = box.ctx.options.list_from > box.message_count
                ? box.message_count + 1
                : static_cast<int>(box.ctx.options.list_from);
    return std::nullopt;
}

}  // namespace

int list_messages(Mailbox& box, std::string& list_out) {
    const Context& ctx = box.ctx;
    std::string list;
    int first = 1;
    if (std::optional<int> status = start_listing(box, list_out, list, first)) return *status;
    std::unique_ptr<ListingPass> pass = box.protocol->listing(box, first);
    if (!pass) return kInvalid;
    int listed = box.message_count - (first - 1);
    int records = 0;
    for (int n = first; n <= box.message_count; ++n) {
        if (box.is_present(n) && !box.states[n].headers_parsed) {
            int status = pass->ensure_headers(n);
            if (status != 0) return status;
        }
        if (!box.is_present(n)) {
            --listed;
            ctx.diag.print('F', 0, "LISTMAIL: Skipping deleted message: %d", n);
            continue;
        }
        if (ctx.options.uidl && !box.entry(n).uidl) {
            // Asked alone (a header known from before the option was set).
            if (pass->make_way() != 0) return kNetwork;
            if (!box.protocol->unique_id(box, n)) {
                tear_down(box);
                return kNetwork;
            }
        }
        size_t before = list.size();
        if (records > 0) list += kEsc;
        append_record(list, n, box.states[n], box.entry(n), ctx.options.uidl);
        if (list.size() + 1 > static_cast<size_t>(kHostTextLimit)) {
            list.resize(before);
            if (pass->hands_out_cut_list_first()) list_out = list;
            if (pass->finish() != 0) return kNetwork;
            list_out = list;
            return records;
        }
        ++records;
    }
    list_out = list;
    if (pass->finish() != 0) return kNetwork;
    ctx.diag.print('F', 0, "LISTMAIL: Returning list of %d messaged", listed);
    return listed;
}

}  // namespace brevorin
