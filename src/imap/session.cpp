#include "imap/session.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "core/charset.h"
#include "core/text.h"
#include "imap/client.h"
#include "mailbox/header_record.h"
#include "mailbox/retrieval.h"
#include "mailbox/visit.h"
#include "net/sasl.h"
#include "net/secure.h"
#include "net/server_address.h"
#include "platform/text_convert.h"

namespace brevorin::imap {

namespace {

// Messages whose headers one UID FETCH asks for; two such commands are in
// flight while a listing reads, so the server never waits for us.
constexpr size_t kHeaderBatch = 48;

// A text that held a secret, overwritten however the scope is left.
struct Secret {
    std::string text;
    Secret() = default;
    explicit Secret(std::string value) : text(std::move(value)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(text); }
};

// "1:5,9,12:13" for ascending UIDs.
std::string uid_set(const std::vector<uint32_t>& uids) {
    std::string set;
    for (size_t i = 0; i < uids.size();) {
        size_t j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
        if (!set.empty()) set += ',';
        set += std::to_string(uids[i]);
        if (j > i) set += ':' + std::to_string(uids[j]);
        i = j + 1;
    }
    return set;
}

// The items of one FETCH response, "(NAME value ...)" to its line end. A
// section ("BODY[...]") goes to on_section, which must read its value
// (the first token of it given); the rest is read here.
struct FetchItems {
    uint64_t uid = 0;
    int64_t size = -1;
};

// max_items: the visit's bound on items; past it the response is a broken
// one.
template <typename OnSection>
Handled read_fetch(ResponseReader& r, int max_items, FetchItems& items, OnSection&& on_section) {
    if (r.next() != Token::kOpen) return Handled::kFailed;
    for (int item = 0;; ++item) {
        Token t = r.next();
        if (t == Token::kClose) break;
        if (item == max_items) return Handled::kFailed;
        if (t != Token::kAtom) return Handled::kFailed;
        std::string name = upper_case_copy(r.text());
        Token value = r.next();
        if (name == "UID" && value == Token::kNumber) {
            items.uid = r.number();
        } else if (name == "RFC822.SIZE" && value == Token::kNumber) {
            items.size = static_cast<int64_t>(std::min<uint64_t>(r.number(), INT32_MAX));
        } else if (name.compare(0, 5, "BODY[") == 0) {
            if (!on_section(name, value)) return Handled::kFailed;
        } else if (!r.skip_value(value)) {
            return Handled::kFailed;
        }
    }
    return r.next() == Token::kLineEnd ? Handled::kTaken : Handled::kFailed;
}

// ---------------------------------------------------------------- logon

// "* n FETCH (UID u RFC822.SIZE s)" for every message at logon: the UID
// map, the sizes and the mailbox's total. They go straight into the arrays
// the visit keeps (4 bytes of UID, one message state each), so the logon
// costs no more per message than the tables themselves.
class TableResponses final : public Responses {
  public:
    explicit TableResponses(int max_items) : max_items_(max_items) {}
    std::vector<uint32_t> uids;
    std::vector<MessageState> states;

    Handled take(ResponseReader& r, bool numbered, uint64_t, const std::string& word) override {
        if (!numbered || word != "FETCH") return Handled::kNotMine;
        FetchItems items;
        Handled h = read_fetch(r, max_items_, items, [&r](const std::string&, Token value) {
            return r.skip_value(value);
        });
        if (h != Handled::kTaken) return h;
        // A FETCH without a UID is another client's flag change.
        if (items.uid == 0) return Handled::kUnasked;
        if (items.uid > UINT32_MAX || uids.size() > kMaxMessages) return Handled::kFailed;
        try {
            uids.push_back(static_cast<uint32_t>(items.uid));
            MessageState state;
            state.size = static_cast<int32_t>(items.size);
            state.present = true;
            states.push_back(state);
        } catch (const std::bad_alloc&) {
            return Handled::kFailed;
        }
        return Handled::kTaken;
    }

    // Orders the rows by UID and drops repeated ones. Servers answer in
    // UID order, so the permutation is rarely needed; when it is, it costs
    // 4 bytes a message and is applied in place.
    bool sort() {
        const size_t count = uids.size();
        if (!std::is_sorted(uids.begin(), uids.end())) {
            std::vector<uint32_t> order;
            try {
                order.resize(count);
            } catch (const std::bad_alloc&) {
                return false;
            }
            for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
            std::stable_sort(order.begin(), order.end(),
                             [this](uint32_t a, uint32_t b) { return uids[a] < uids[b]; });
            // Walks each cycle of the permutation once; a done place is
            // marked by pointing at itself.
            for (size_t i = 0; i < count; ++i) {
                if (order[i] == i) continue;
                const uint32_t uid = uids[i];
                const MessageState state = states[i];
                size_t at = i;
                while (order[at] != i) {
                    const size_t from = order[at];
                    uids[at] = uids[from];
                    states[at] = states[from];
                    order[at] = static_cast<uint32_t>(at);
                    at = from;
                }
                uids[at] = uid;
                states[at] = state;
                order[at] = static_cast<uint32_t>(at);
            }
        }
        size_t kept = 0;
        for (size_t i = 0; i < count; ++i) {
            if (kept > 0 && uids[kept - 1] == uids[i]) continue;
            uids[kept] = uids[i];
            states[kept] = states[i];
            ++kept;
        }
        uids.resize(kept);
        states.resize(kept);
        return true;
    }

  private:
    int max_items_;
};

// The mailbox option, from the host's character set to modified UTF-7.
std::string wire_mailbox_name(const Context& ctx) {
    const std::string& name = ctx.options.mailbox;
    std::string utf8 = name;
    const CharsetInfo& host = charset_info(ctx.charset);
    if (ctx.charset != kUtf8 && ctx.charset != kUsAscii) {
        platform::convert_text(platform::TextEncoding{host.encoding, host.code_page},
                               platform::TextEncoding{"UTF-8", 65001}, name, utf8);
    }
    return quoted(modified_utf7(utf8));
}

int close_with(Client& client, int status) {
    client.box().connection.close();
    client.visit() = ImapVisit{};
    return status;
}

// A string argument of LOGIN: quoted where it can be, otherwise a literal,
// non-synchronising when the server takes those (LITERAL+).
Completion login(Client& client, bool plus, const char* user, const char* password,
                 std::string& text) {
    const std::string tag = client.new_tag();
    Secret chunk(tag + " LOGIN");
    const Secret args[] = {Secret(user), Secret(password)};
    Connection& connection = client.box().connection;
    // Where the password starts in what is still to go: a transcript hides
    // from there to the line's end.
    size_t hidden = SIZE_MAX;
    for (const Secret& arg : args) {
        Secret q(quoted(arg.text));
        chunk.text += ' ';
        if (&arg == &args[1]) hidden = chunk.text.size();
        if (!q.text.empty()) {
            chunk.text += q.text;
            continue;
        }
        chunk.text += '{' + std::to_string(arg.text.size()) + (plus ? "+}\r\n" : "}\r\n");
        if (!plus) {
            if (hidden != SIZE_MAX) connection.conceal_next(hidden);
            bool sent = client.send_more(chunk.text);
            wipe(chunk.text);
            if (hidden != SIZE_MAX) hidden = 0;
            if (!sent) return Completion::kFailed;
            Completion asked = client.finish(tag, nullptr, &text);
            if (asked != Completion::kContinue) return asked;
        }
        chunk.text += arg.text;
    }
    chunk.text += "\r\n";
    connection.conceal_next(hidden);
    if (!client.send_more(chunk.text)) return Completion::kFailed;
    return client.finish(tag, nullptr, &text);
}

// AUTHENTICATE with the response on the command line when the server takes
// it (SASL-IR), however long, otherwise after its continuation request.
class ImapSasl : public sasl::Peer {
  public:
    ImapSasl(Client& client, bool initial, std::string& text)
        : client_(client), initial_(initial), text_(text) {}
    std::string command(const char* mechanism) override {
        tag_ = client_.new_tag();
        return tag_ + " AUTHENTICATE " + mechanism;
    }
    size_t initial_response_limit() const override { return initial_ ? SIZE_MAX : 0; }
    bool send(const std::string& line) override { return client_.send_more(line); }
    void conceal_next(size_t from) override { client_.box().connection.conceal_next(from); }
    sasl::Answer read() override {
        last_ = client_.finish(tag_, nullptr, &text_);
        if (last_ == Completion::kFailed) return sasl::Answer::kLost;
        return last_ == Completion::kContinue ? sasl::Answer::kContinue : sasl::Answer::kFinal;
    }
    void challenged() override {
        client_.box().ctx.diag.print('D', 0, "IMAP: Challenge from server: %s", text_.c_str());
    }
    Completion last() const { return last_; }

  private:
    Client& client_;
    const bool initial_;
    std::string& text_;
    std::string tag_;
    Completion last_ = Completion::kFailed;
};

Completion authenticate(Client& client, bool initial, sasl::Mechanism mechanism, const char* user,
                        const char* password, std::string& text) {
    ImapSasl peer(client, initial, text);
    switch (sasl::run(peer, mechanism, user, password)) {
        case sasl::Outcome::kLost:
            return Completion::kFailed;
        case sasl::Outcome::kAnswered:
            return peer.last();
        case sasl::Outcome::kChallenged:
            break;
    }
    return peer.last() == Completion::kContinue ? Completion::kFailed : Completion::kNo;
}

int sign_in(Client& client, const char* user, const char* password) {
    Mailbox& box = client.box();
    ImapVisit& visit = client.visit();
    const Context& ctx = box.ctx;
    if (!client.learn_capabilities()) {
        ctx.diag.print('E', 1, "LOGONMAIL: Exit because of erronous server response");
        return close_with(client, kNetwork);
    }
    if (ctx.options.mail_auth == MailAuth::kPassword && visit.offers("LOGINDISABLED")) {
        // The server has said it would refuse: the password stays here.
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: the server takes no LOGIN without TLS");
        ctx.note_failure(Failure::kNoTls);
        return close_with(client, kRefused);
    }
    std::string text;
    Completion c = Completion::kFailed;
    // Sign-in changes what the server offers: the old list is dropped, and
    // a list sent with the sign-in (or asked for later) takes its place.
    const bool literal_plus = visit.offers("LITERAL+");
    const bool initial_response = visit.offers("SASL-IR");
    visit.capabilities.clear();
    switch (ctx.options.mail_auth) {
        case MailAuth::kPassword:
            c = login(client, literal_plus, user, password, text);
            break;
        case MailAuth::kPlain:
            c = authenticate(client, initial_response, sasl::Mechanism::kPlain, user, password,
                             text);
            break;
        case MailAuth::kXoauth2:
            c = authenticate(client, initial_response, sasl::Mechanism::kXoauth2, user, password,
                             text);
            break;
    }
    if (c == Completion::kOk) {
        ctx.diag.print('D', 0, "LOGONMAIL: Got authorization reply from server: %s", text.c_str());
        return kOk;
    }
    ctx.diag.print('E', 1, "LOGONMAIL: Exit because of authorization fault");
    if (c == Completion::kFailed || c == Completion::kContinue) return close_with(client, kNetwork);
    ctx.note_failure(Failure::kAuth);
    if (!text.empty()) ctx.diag.print('D', 0, "LOGONMAIL: Server response: %s", text.c_str());
    return close_with(client, kRefused);
}

// SELECT (or EXAMINE) and the UID and size of every message, in one
// write: kOk, or the status with the connection closed. An empty mailbox
// answers the FETCH with an error that means nothing.
int open_mailbox(Client& client) {
    Mailbox& box = client.box();
    ImapVisit& visit = client.visit();
    const Context& ctx = box.ctx;
    const std::string name = wire_mailbox_name(ctx);
    const bool ask_capabilities = visit.capabilities.empty();
    box.connection.cork();
    std::string capability_tag = ask_capabilities ? client.send("CAPABILITY") : std::string();
    std::string select_tag = client.send((ctx.options.read_only ? "EXAMINE " : "SELECT ") + name);
    // Sequence numbers, not UIDs: the server sends no EXPUNGE while it
    // answers a FETCH by number, so the numbers hold for the answer.
    std::string table_tag = client.send("FETCH 1:* (UID RFC822.SIZE)");
    bool sent = box.connection.uncork() == 0 && !select_tag.empty() && !table_tag.empty() &&
                (!ask_capabilities || !capability_tag.empty());
    if (!sent) return close_with(client, kNetwork);
    std::string text;
    if (ask_capabilities && client.finish(capability_tag) == Completion::kFailed)
        return close_with(client, kNetwork);
    Completion selected = client.finish(select_tag, nullptr, &text);
    if (selected == Completion::kFailed || selected == Completion::kContinue)
        return close_with(client, kNetwork);
    const uint32_t exists = visit.exists;
    TableResponses table(box.limits.fetch_items);
    if (selected == Completion::kOk && exists > kMaxMessages) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: server claims %lld messages (at most %d)",
                       static_cast<long long>(exists), static_cast<int>(kMaxMessages));
        return close_with(client, kNoTable);
    }
    try {
        // Room for message 0, the tables' unused first place, too.
        if (selected == Completion::kOk) {
            table.uids.reserve(static_cast<size_t>(exists) + 1);
            table.states.reserve(static_cast<size_t>(exists) + 1);
        }
        table.uids.push_back(0);
        table.states.push_back(MessageState{});
    } catch (const std::bad_alloc&) {
        ctx.diag.print('E', 1, "LOGONMAIL: No memory for a table of %d messages",
                       static_cast<int>(exists));
        return close_with(client, kNoTable);
    }
    std::string table_text;
    Completion listed = client.finish(table_tag, &table, &table_text);
    if (listed == Completion::kFailed || listed == Completion::kContinue)
        return close_with(client, kNetwork);
    if (selected != Completion::kOk) {
        ctx.diag.print('E', 1, "LOGONMAIL: Server refused mailbox %s: %s", name.c_str(),
                       text.c_str());
        return close_with(client, kNoTable);
    }
    if (listed != Completion::kOk && exists > 0) {
        ctx.diag.print('E', 1, "LOGONMAIL: Server refused the message list: %s",
                       table_text.c_str());
        return close_with(client, kNoTable);
    }
    // Place 0 stays first: it sorts below every UID, which is never 0.
    const size_t rows = table.uids.size() - 1;
    if (!table.sort()) {
        ctx.diag.print('E', 1, "LOGONMAIL: No memory for a table of %d messages",
                       static_cast<int>(rows));
        return close_with(client, kNoTable);
    }
    const size_t count = table.uids.size() - 1;
    try {
        visit.sequence.reserve(count);
    } catch (const std::bad_alloc&) {
        ctx.diag.print('E', 1, "LOGONMAIL: No memory for a table of %d messages",
                       static_cast<int>(count));
        return close_with(client, kNoTable);
    }
    long long octets = 0;
    for (size_t i = 1; i <= count; ++i)
        octets += table.states[i].size > 0 ? table.states[i].size : 0;
    visit.uids = std::move(table.uids);
    box.states = std::move(table.states);
    visit.sequence.reset(count);
    box.message_count = static_cast<int32_t>(count);
    box.mailbox_octets = clamp_int32(octets);
    ctx.diag.print('D', 0, "IMAP_GETRANGE: Received countp=%d, bytes=%d", box.message_count,
                   box.mailbox_octets);
    return kOk;
}

int connect_and_greet(Client& client, const ServerAddress& address, bool& preauth) {
    Mailbox& box = client.box();
    ImapVisit& visit = client.visit();
    const Context& ctx = box.ctx;
    if (!box.connection.open(address.host.c_str(), address.port)) {
        ctx.diag.print('F', 1, "LOGONMAIL: Exit because of socket error");
        return kNetwork;
    }
    ctx.diag.print('F', 1, "LOGONMAIL: Opened socket, nr: %d\n", box.connection.socket());
    if (ctx.options.security == Security::kImplicitTls &&
        !secure_connection(box.connection, ctx, address.host, "LOGONMAIL"))
        return close_with(client, kNetwork);
    std::string text;
    Greeting greeting = client.greeting(text);
    if (greeting != Greeting::kOk && greeting != Greeting::kPreauth) {
        ctx.diag.print('E', 1, "LOGONMAIL: Exit because of erronous server response");
        if (!text.empty()) ctx.diag.print('D', 0, "LOGONMAIL: Server response: %s", text.c_str());
        return close_with(client, kNetwork);
    }
    ctx.diag.print('D', 0, "LOGONMAIL: Got reply from server: %s", text.c_str());
    preauth = greeting == Greeting::kPreauth;
    if (ctx.options.security != Security::kStartTls) return kOk;
    // No downgrade: a server that cannot start TLS gets nothing more.
    std::string reason;
    Completion c = Completion::kNo;
    if (preauth) {
        reason = "signed in before TLS (PREAUTH)";
    } else if (!client.learn_capabilities()) {
        return close_with(client, kNetwork);
    } else if (!visit.offers("STARTTLS")) {
        reason = "not offered";
    } else {
        c = client.run("STARTTLS", nullptr, &reason);
    }
    if (c != Completion::kOk) {
        ctx.diag.print('E', 1, "LOGONMAIL: Server refused STARTTLS: %s",
                       c == Completion::kFailed ? "connection lost" : reason.c_str());
        if (c != Completion::kFailed) ctx.note_failure(Failure::kTls);
        return close_with(client, kNetwork);
    }
    if (!secure_connection(box.connection, ctx, address.host, "LOGONMAIL"))
        return close_with(client, kNetwork);
    visit.capabilities.clear();  // what was offered in the clear does not count
    return kOk;
}

// ---------------------------------------------------------------- fetches

// The answer to a UID FETCH of one message's data: the section's literal,
// when it belongs to the message asked for, goes to the reader.
class BodyResponses final : public Responses {
  public:
    BodyResponses(Mailbox& box, const ImapVisit& visit, int message,
                  const std::function<Fetch(LineSource&)>& reader)
        : box_(box), visit_(visit), message_(message), reader_(reader) {}

    Handled take(ResponseReader& r, bool numbered, uint64_t, const std::string& word) override {
        if (!numbered || word != "FETCH") return Handled::kNotMine;
        FetchItems items;
        const int max_items = box_.limits.fetch_items;
        Handled h = read_fetch(r, max_items, items, [&](const std::string& name, Token value) {
            if (name != "BODY[]" || value != Token::kLiteral || done_ || !ours(items))
                return r.skip_value(value);
            return hand_over(r);
        });
        if (h != Handled::kTaken) return h;
        // One answer was asked for; more of them (flag changes) are the
        // server's own news.
        if (!ours(items) || answered_) return Handled::kUnasked;
        answered_ = true;
        return Handled::kTaken;
    }

    bool done() const { return done_; }
    Fetch result() const { return result_; }

  private:
    // Only a UID names the message: data before its UID may be another
    // message's (the sequence numbers are the server's to shift), so it is
    // skipped, and the message counts as gone when nothing else came.
    bool ours(const FetchItems& items) const { return items.uid == visit_.uids[message_]; }

    bool hand_over(ResponseReader& r) {
        // The size is declared before the bytes: a literal far beyond both
        // the size the server gave and what a reader keeps in memory would
        // be read through for nothing, however long that took.
        const uint64_t declared = r.literal_left();
        const int32_t expected = box_.states[message_].size;
        if (declared > box_.limits.in_memory_ceiling &&
            declared > static_cast<uint64_t>(expected)) {
            box_.ctx.diag.print('E', 1,
                                "IMAP: Message %d sent as %llu bytes instead of %d, connection "
                                "closed",
                                message_, static_cast<unsigned long long>(declared),
                                static_cast<int>(expected));
            box_.connection.abandon();
            return false;
        }
        // The message's bytes may take longer than one reply: each wait
        // stays bounded by the timeout, and the deadline returns after them.
        box_.connection.end_reply();
        LiteralLines lines(r);
        result_ = reader_(lines);
        done_ = true;
        box_.connection.begin_reply();
        r.start_response();
        return r.literal_left() == 0 && !r.failed();
    }

    Mailbox& box_;
    const ImapVisit& visit_;
    int message_;
    const std::function<Fetch(LineSource&)>& reader_;
    bool done_ = false;
    bool answered_ = false;
    Fetch result_ = Fetch::kRefused;
};

class SizeResponses final : public Responses {
  public:
    SizeResponses(uint32_t uid, int max_items) : uid_(uid), max_items_(max_items) {}
    int64_t size = -1;

    Handled take(ResponseReader& r, bool numbered, uint64_t, const std::string& word) override {
        if (!numbered || word != "FETCH") return Handled::kNotMine;
        FetchItems items;
        Handled h = read_fetch(r, max_items_, items,
                               [&r](const std::string&, Token v) { return r.skip_value(v); });
        if (h != Handled::kTaken) return h;
        if (items.uid != uid_ || size >= 0) return Handled::kUnasked;
        size = items.size;
        return h;
    }

  private:
    uint32_t uid_;
    int max_items_;
};

Fetch lost(const Mailbox& box) {
    return box.connection.failure() == Failure::kTimedOut ? Fetch::kTimedOut : Fetch::kLost;
}

// ---------------------------------------------------------------- listing

// Header blocks of a batch, stored by UID as they come, whatever order or
// company (unsolicited FETCHes) they come in.
class HeaderResponses final : public Responses {
  public:
    HeaderResponses(Mailbox& box, const ImapVisit& visit) : box_(box), visit_(visit) {}
    bool out_of_memory = false;

    Handled take(ResponseReader& r, bool numbered, uint64_t, const std::string& word) override {
        if (!numbered || word != "FETCH") return Handled::kNotMine;
        FetchItems items;
        bool got = false;
        bool cut = false;
        const int max_items = box_.limits.fetch_items;
        Handled h = read_fetch(r, max_items, items, [&](const std::string& name, Token value) {
            if (name.compare(0, 11, "BODY[HEADER") != 0) return r.skip_value(value);
            got = true;
            cut = value == Token::kLiteral && r.literal_left() + 1 > kHeaderWorkBuffer;
            return r.string_value(value, header_, kHeaderWorkBuffer - 1);
        });
        if (h != Handled::kTaken) return h;
        if (!got) return Handled::kUnasked;
        int number = number_of_uid(visit_, items.uid);
        if (number == 0 || !box_.is_present(number)) return Handled::kUnasked;
        MessageState& state = box_.states[number];
        if (state.headers_parsed) h = Handled::kUnasked;  // a repeat
        if (items.size >= 0) state.size = static_cast<int32_t>(items.size);
        keep_head(box_.ctx, number, kHeaderBlockCapacity, cut, header_);
        if (parse_header_fields(header_.c_str(), box_.entry(number), box_.ctx) != 0) {
            out_of_memory = true;
            return h;
        }
        state.headers_parsed = true;
        return h;
    }

  private:
    Mailbox& box_;
    const ImapVisit& visit_;
    std::string header_;
};

struct Batch {
    std::string tag;
    int last;  // the highest message number it asks for
};

// A listing's header traffic: UID FETCHes of the headers not yet known, two
// batches in flight while the answers of the oldest are read.
class ImapListingPass final : public ListingPass {
  public:
    ImapListingPass(Mailbox& box, ImapVisit& visit, int first)
        : box_(box),
          visit_(visit),
          client_(box, visit),
          headers_(box, visit),
          next_unasked_(first) {}

    int ensure_headers(int n) override {
        while (in_flight_.size() < 2 && next_unasked_ <= box_.message_count) {
            if (!ask()) {
                tear_down(box_);
                return kNetwork;
            }
        }
        while (!in_flight_.empty() && in_flight_.front().last < n) {
            int status = receive();
            if (status != 0) return settle(status);
        }
        if (!in_flight_.empty()) {
            int status = receive();
            if (status != 0) return settle(status);
        }
        // No FETCH came back for it: another client expunged it.
        if (box_.is_present(n) && !box_.states[n].headers_parsed) forget_message(box_, n);
        return 0;
    }

    // The unique id is made from the UID: nothing is asked of the server.
    int make_way() override { return 0; }

    int finish() override { return settle(0) == kNetwork ? kNetwork : 0; }

    // The headers read after a cut are kept for the next listing: the
    // records before the cut are handed out whatever reading them costs.
    bool hands_out_cut_list_first() const override { return true; }

  private:
    // Asks for the next batch of headers not yet known: false when the
    // write failed.
    bool ask() {
        std::vector<uint32_t> uids;
        int last = next_unasked_;
        for (; next_unasked_ <= box_.message_count && uids.size() < kHeaderBatch; ++next_unasked_) {
            if (!box_.is_present(next_unasked_) || box_.states[next_unasked_].headers_parsed)
                continue;
            uids.push_back(visit_.uids[next_unasked_]);
            last = next_unasked_;
        }
        if (uids.empty()) return true;
        std::string tag =
            client_.send("UID FETCH " + uid_set(uids) + " (UID RFC822.SIZE BODY.PEEK[HEADER])");
        if (tag.empty()) return false;
        in_flight_.push_back(Batch{tag, last});
        return true;
    }

    // Reads the oldest batch's answer: 0 or the status.
    int receive() {
        Batch batch = in_flight_.front();
        in_flight_.pop_front();
        std::string text;
        Completion c = client_.finish(batch.tag, &headers_, &text);
        if (c == Completion::kFailed || c == Completion::kContinue) {
            in_flight_.clear();
            tear_down(box_);
            return static_cast<int>(kNetwork);
        }
        if (headers_.out_of_memory) return static_cast<int>(kInvalid);
        return c == Completion::kOk ? 0 : static_cast<int>(kCommandFailed);
    }

    // Reads every batch still in flight: status, or kNetwork when the visit
    // ended.
    int settle(int status) {
        while (!in_flight_.empty() && box_.logged_on) {
            int s = receive();
            if (s == kNetwork) return s;
        }
        return status;
    }

    Mailbox& box_;
    ImapVisit& visit_;
    Client client_;
    HeaderResponses headers_;
    std::deque<Batch> in_flight_;
    int next_unasked_;
};

}  // namespace

std::string unique_id(const ImapVisit& visit, int message) {
    char text[24];
    std::snprintf(text, sizeof text, "%08x%08x", visit.uids[message], visit.uid_validity);
    return text;
}

int ImapProtocol::logon(Mailbox& box, const char* server, const char* user, const char* password) {
    if (box.logged_on) return kLoggedOn;
    ServerAddress address;
    // IMAP's LOGIN never had the excuse of old hosts to go in the clear.
    int checked =
        prepare_logon(box.ctx, server, user, password, kImapPort, kImapsPort, false, address);
    if (checked != kOk) return checked;
    visit_ = ImapVisit{};
    Client client(box, visit_);
    bool preauth = false;
    int status = connect_and_greet(client, address, preauth);
    if (status == kOk && !preauth) status = sign_in(client, user, password);
    if (status == kOk) status = open_mailbox(client);
    if (status != kOk) {
        box.states.clear();
        box.message_count = -1;
        box.mailbox_octets = -1;
        return status;
    }
    box.entries.clear();
    box.logged_on = true;
    return kOk;
}

int ImapProtocol::logoff(Mailbox& box) {
    const Context& ctx = box.ctx;
    if (!box.logged_on) return kNotLoggedOn;
    Client client(box, visit_);
    box.connection.cork();
    std::string expunge_tag;
    if (!visit_.deleted.empty()) {
        // Without UIDPLUS, EXPUNGE also removes what other clients flagged.
        std::sort(visit_.deleted.begin(), visit_.deleted.end());
        expunge_tag =
            client.send(visit_.offers("UIDPLUS") ? "UID EXPUNGE " + uid_set(visit_.deleted)
                                                 : std::string("EXPUNGE"));
    }
    std::string logout_tag = client.send("LOGOUT");
    if (box.connection.uncork() != 0 || logout_tag.empty()) {
        tear_down(box);
        return kNetwork;
    }
    ctx.diag.print('D', 1, "LOGOFFMAIL: Sent LOGOUT to server");
    std::string text;
    Completion expunged =
        expunge_tag.empty() ? Completion::kOk : client.finish(expunge_tag, nullptr, &text);
    if (expunged != Completion::kOk)
        ctx.diag.print('E', 1, "LOGOFFMAIL: Deletions not committed: %s", text.c_str());
    // Nothing the server could still say about LOGOUT changes the
    // outcome, which the expunge's answer (if any) has settled: a session
    // that pipelines does not wait a round trip for it.
    if (ctx.options.pipelining == Pipelining::kAuto) {
        int closed = tear_down(box);
        return expunged == Completion::kOk && closed == 0 ? kOk : kNetwork;
    }
    // The BYE before LOGOUT's completion is the expected one.
    class Farewell final : public Responses {
      public:
        bool said = false;
        Handled take(ResponseReader& r, bool numbered, uint64_t, const std::string& word) override {
            if (numbered || word != "BYE") return Handled::kNotMine;
            std::string text;
            said = true;
            return r.rest_of_line(text) ? Handled::kTaken : Handled::kFailed;
        }
    } farewell;
    Completion out = expunged == Completion::kFailed ? Completion::kFailed
                                                     : client.finish(logout_tag, &farewell, &text);
    // A server that closes after its BYE without completing LOGOUT has
    // still ended the session as asked.
    if (out == Completion::kFailed && farewell.said) out = Completion::kOk;
    if (!text.empty()) ctx.diag.print('D', 0, "LOGOFFMAIL: Reply from server: %s", text.c_str());
    int closed = tear_down(box);
    return expunged == Completion::kOk && out == Completion::kOk && closed == 0 ? kOk : kNetwork;
}

int ImapProtocol::remove(Mailbox& box, int message) {
    const Context& ctx = box.ctx;
    if (!box.logged_on) return kNotLoggedOn;
    if (!box.is_present(message)) return kNoMessage;
    if (ctx.options.read_only) {
        ctx.diag.print('E', 1, "DELETEMAIL: Refused: the mailbox is open read-only");
        return kCommandFailed;
    }
    const uint32_t uid = visit_.uids[message];
    Client client(box, visit_);
    std::string text;
    Completion c = client.run("UID STORE " + std::to_string(uid) + " +FLAGS.SILENT (\\Deleted)",
                              nullptr, &text);
    ctx.diag.print('F', 2, "DELETEMAIL: Sent DELETE command to server for message: %d", message);
    if (c == Completion::kFailed || c == Completion::kContinue) {
        tear_down(box);
        return kNetwork;
    }
    if (c != Completion::kOk || !box.is_present(message)) return kNoMessage;
    if (!text.empty())
        ctx.diag.print('D', 0, "DELETEMAIL: Received response from server: %s", text.c_str());
    visit_.deleted.push_back(uid);
    forget_message(box, message);
    return kOk;
}

bool ImapProtocol::size(Mailbox& box, int message, int32_t& size) {
    SizeResponses sizes(visit_.uids[message], box.limits.fetch_items);
    Client client(box, visit_);
    Completion c = client.run(
        "UID FETCH " + std::to_string(visit_.uids[message]) + " (UID RFC822.SIZE)", &sizes);
    if (c != Completion::kOk) return false;
    if (sizes.size < 0) {
        forget_message(box, message);
        return false;
    }
    size = static_cast<int32_t>(sizes.size);
    return true;
}

Fetch ImapProtocol::fetch(Mailbox& box, int message, const char* tag,
                          const std::function<Fetch(LineSource&)>& reader) {
    const uint32_t uid = visit_.uids[message];
    box.ctx.diag.print('F', 1, "%s: Doing retrieve of number: %d", tag, message);
    Client client(box, visit_);
    // BODY.PEEK leaves \Seen as it was, as a POP3 retrieval does.
    const char* section = box.ctx.options.mark_seen ? " (UID BODY[])" : " (UID BODY.PEEK[])";
    BodyResponses answer(box, visit_, message, reader);
    Completion c = client.run("UID FETCH " + std::to_string(uid) + section, &answer);
    if (c == Completion::kFailed || c == Completion::kContinue) {
        if (c == Completion::kContinue) box.connection.abandon();
        return lost(box);
    }
    if (answer.done()) return answer.result();
    return c == Completion::kOk ? Fetch::kGone : Fetch::kRefused;
}

bool ImapProtocol::unique_id(Mailbox& box, int message) {
    box.entry(message).uidl = imap::unique_id(visit_, message);
    return true;
}

std::unique_ptr<ListingPass> ImapProtocol::listing(Mailbox& box, int first) {
    return std::make_unique<ImapListingPass>(box, visit_, first);
}

std::unique_ptr<MailboxProtocol> make_protocol() {
    return std::make_unique<ImapProtocol>();
}

}  // namespace brevorin::imap
