#include "pop3/protocol.h"

#include <cstdio>
#include <deque>
#include <new>
#include <string>

#include "core/text.h"
#include "mailbox/header_record.h"
#include "mailbox/visit.h"
#include "net/data_lines.h"
#include "pop3/header_download.h"

namespace brevorin::pop3 {

namespace {

// Messages whose LIST and TOP go out together when the server pipelines:
// a mailbox of a few dozen in one write, yet few enough requests (some
// 2 KiB) that the socket buffers take them whole: the write never waits on
// a server that is waiting for its answers to be read.
constexpr size_t kPipelineBatch = 64;

// LIST and TOP for a message whose header is not yet known, then the
// extraction. 0, or the listing's status for the failure.
int fetch_header_fields(Mailbox& box, TopSupport& top, bool pipelining, int number,
                        std::string& header) {
    MessageState& state = box.states[number];
    bool ok =
        pipelining && top == TopSupport::kUnknown
            ? size_and_first_header(box, top, number, kHeaderBlockCapacity, state.size, header)
            : list_size(box, number, state.size) &&
                  fetch_header(box, top, number, kHeaderBlockCapacity, header);
    if (!ok) {
        if (is_network_error(box)) {
            tear_down(box);
            return kNetwork;
        }
        return kCommandFailed;
    }
    if (parse_header_fields(header.c_str(), box.entry(number), box.ctx) != 0) return kInvalid;
    state.headers_parsed = true;
    return 0;
}

// A message whose LIST and TOP (or RETR) went out in a batch, and which of
// their answers are still to be read.
struct Requested {
    int message;
    bool size_due;
    bool header_due;
    bool uidl_due;
};

using Batch = std::deque<Requested>;

// Sends LIST and TOP (or RETR) for up to kPipelineBatch messages from first
// on that still need their header, in one write. 0 or the status.
int send_batch(Mailbox& box, TopSupport top, int first, Batch& batch) {
    std::string requests;
    for (int n = first; n <= box.message_count && batch.size() < kPipelineBatch; ++n) {
        if (!box.states[n].present || box.states[n].headers_parsed) continue;
        bool uidl = box.ctx.options.uidl && !box.entry(n).uidl;
        if (uidl) requests += uidl_request(n);
        requests += size_request(n);
        requests += header_request(top, n);
        batch.push_back(Requested{n, true, true, uidl});
    }
    box.connection.cork();
    bool sent = box.connection.write_text(requests);
    if (box.connection.uncork() != 0 || !sent) {
        batch.clear();
        tear_down(box);
        return kNetwork;
    }
    return 0;
}

// Answers that do not belong to their requests: nothing read from here on
// can be trusted to be the message it claims, so the visit ends.
int out_of_step(Mailbox& box, Batch& batch) {
    box.ctx.diag.print('E', 1,
                       "LISTMAIL: Answers out of step with the requests, connection closed");
    batch.clear();
    tear_down(box);
    return kNetwork;
}

// Reads and drops every answer still due, so that the next command reads
// its own. 0, or kNetwork when the connection failed or the answers turned
// out to be out of step (the visit is then torn down).
int drop_batch(Mailbox& box, Batch& batch) {
    for (const Requested& r : batch) {
        std::string uid;
        SizeAnswer known = r.uidl_due ? uidl_answer(box, r.message, uid) : SizeAnswer::kOk;
        if (known == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
        if (known == SizeAnswer::kFailed) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
        SizeAnswer size = r.size_due ? drop_size_answer(box, r.message) : SizeAnswer::kOk;
        if (size == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
        if (size == SizeAnswer::kFailed || (r.header_due && !drop_answer(box))) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
    }
    batch.clear();
    return 0;
}

// Drops the rest of the batch after a failure of the listing's own: the
// listing's status, unless dropping ended the visit.
int fail_batch(Mailbox& box, Batch& batch, int status) {
    return drop_batch(box, batch) == 0 ? status : kNetwork;
}

// The answers for the batch's first message, as fetch_header_fields would
// have read them one command at a time. 0 or the listing's status.
int receive_header_fields(Mailbox& box, TopSupport top, Batch& batch, std::string& header) {
    Requested& r = batch.front();
    MessageState& state = box.states[r.message];
    if (r.uidl_due) {
        r.uidl_due = false;
        std::string uid;
        SizeAnswer known = uidl_answer(box, r.message, uid);
        if (known == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
        if (known == SizeAnswer::kFailed) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
        box.entry(r.message).uidl = std::move(uid);
    }
    box.ctx.diag.print('F', 0, "POP3_LIST: Listing : %d", r.message);
    r.size_due = false;
    SizeAnswer size = size_answer(box, r.message, state.size, true);
    if (size == SizeAnswer::kOutOfStep) return out_of_step(box, batch);
    bool ok = size == SizeAnswer::kOk;
    if (ok) {
        r.header_due = false;
        ok = header_answer(box, top, r.message, kHeaderBlockCapacity, header);
    }
    if (!ok) {
        if (size == SizeAnswer::kFailed || is_network_error(box)) {
            batch.clear();
            tear_down(box);
            return kNetwork;
        }
        return fail_batch(box, batch, kCommandFailed);
    }
    int message = r.message;
    batch.pop_front();
    if (parse_header_fields(header.c_str(), box.entry(message), box.ctx) != 0)
        return fail_batch(box, batch, kInvalid);
    state.headers_parsed = true;
    return 0;
}

// A listing's header traffic: each message's LIST and TOP alone, or, once
// TOP support is known on a server that pipelines, in batches written at
// once and read in the order of their requests.
class Pop3ListingPass final : public ListingPass {
  public:
    Pop3ListingPass(Mailbox& box, Pop3Visit& visit) : box_(box), visit_(visit) {}

    // The header buffer is reused for every message of the listing.
    bool reserve() {
        try {
            header_.reserve(kHeaderBlockCapacity);
        } catch (const std::bad_alloc&) {
            box_.ctx.diag.print('E', 1, "LISTMAIL: malloc failed");
            return false;
        }
        return true;
    }

    int ensure_headers(int n) override {
        // The first header of a connection learns whether TOP works, so
        // it is fetched alone; batches follow once that is known.
        bool batched = visit_.pipelining && visit_.top_support != TopSupport::kUnknown;
        if (!batch_.empty() && batch_.front().message != n && drop_batch(box_, batch_) != 0)
            return kNetwork;
        if (!box_.logged_on) return kNetwork;
        if (batched && batch_.empty()) {
            int status = send_batch(box_, visit_.top_support, n, batch_);
            if (status != 0) return status;
        }
        return batched
                   ? receive_header_fields(box_, visit_.top_support, batch_, header_)
                   : fetch_header_fields(box_, visit_.top_support, visit_.pipelining, n, header_);
    }

    int make_way() override {
        if (!batch_.empty() && drop_batch(box_, batch_) != 0) return kNetwork;
        return 0;
    }

    // Answers to requests past a cut are read and dropped, as if they had
    // never been asked for.
    int finish() override { return drop_batch(box_, batch_) != 0 ? kNetwork : 0; }

  private:
    Mailbox& box_;
    Pop3Visit& visit_;
    std::string header_;
    Batch batch_;
};

std::string retr_request(int message) {
    char line[kCommandBuffer];
    std::snprintf(line, sizeof line, "RETR %d\r\n", message);
    return line;
}

// Sends "RETR n", unless it went out already, and checks its status line.
bool send_retr(Mailbox& box, Pop3Visit& visit, int message, const char* tag) {
    box.ctx.diag.print('F', 1, "%s: Doing retrieve of number: %d", tag, message);
    if (visit.retr_sent == message) {
        visit.retr_sent = 0;
        return read_status(box.connection, box.ctx, nullptr) == StatusLine::kOk;
    }
    return command(box, retr_request(message), nullptr) == StatusLine::kOk;
}

}  // namespace

int Pop3Protocol::logon(Mailbox& box, const char* server, const char* user, const char* password) {
    return pop3::logon(box, visit_, server, user, password);
}

int Pop3Protocol::logoff(Mailbox& box) {
    // Without deletions, QUIT's answer cannot change the outcome: a session
    // that pipelines does not wait a round trip for it.
    return pop3::logoff(box, visit_.deleted || box.ctx.options.pipelining != Pipelining::kAuto);
}

int Pop3Protocol::remove(Mailbox& box, int message) {
    int status = pop3::delete_message(box, message);
    if (status == kOk) visit_.deleted = true;
    return status;
}

bool Pop3Protocol::size(Mailbox& box, int message, int32_t& size) {
    return list_size(box, message, size);
}

bool Pop3Protocol::size_before_fetch(Mailbox& box, int message, int32_t& size) {
    if (!visit_.pipelining) return list_size(box, message, size);
    box.ctx.diag.print('F', 0, "POP3_LIST: Listing : %d", message);
    box.connection.cork();
    bool sent = box.connection.write_text(size_request(message) + retr_request(message));
    if (box.connection.uncork() != 0 || !sent) return false;
    SizeAnswer answer = size_answer(box, message, size, false);
    if (answer == SizeAnswer::kFailed) return false;
    if (answer == SizeAnswer::kOk && size > 0) {
        visit_.retr_sent = message;
        return true;
    }
    // No fetch follows: the answer to RETR is read and dropped, so that the
    // next command reads its own.
    return drop_answer(box) && answer == SizeAnswer::kOk;
}

Fetch Pop3Protocol::fetch(Mailbox& box, int message, const char* tag,
                          const std::function<Fetch(LineSource&)>& reader) {
    if (!send_retr(box, visit_, message, tag)) return Fetch::kRefused;
    DataLineReader lines(box.connection);
    PayloadScope payload(box.connection);
    return reader(lines);
}

bool Pop3Protocol::unique_id(Mailbox& box, int message) {
    return known_uidl(box, message);
}

std::unique_ptr<ListingPass> Pop3Protocol::listing(Mailbox& box, int) {
    auto pass = std::make_unique<Pop3ListingPass>(box, visit_);
    if (!pass->reserve()) return nullptr;
    return pass;
}

std::unique_ptr<MailboxProtocol> make_protocol() {
    return std::make_unique<Pop3Protocol>();
}

}  // namespace brevorin::pop3
