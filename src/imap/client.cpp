#include "imap/client.h"

#include <algorithm>
#include <cstdio>

#include "core/text.h"
#include "mailbox/visit.h"
#include "net/reply.h"

namespace brevorin::imap {

namespace {

// Untagged responses a command did not ask for that one command may meet,
// beyond one per message (flag changes and expunges of other clients): a
// server streaming them without end ends the visit.
constexpr size_t kMaxUnsolicited = 1000;

// " A B C " from the words of a capability list.
void add_capability(std::string& list, const std::string& word) {
    if (list.empty()) list = " ";
    list += upper_case_copy(word);
    list += ' ';
}

// The response code at the start of a status text: "[CODE args]".
std::string response_code(const std::string& text, std::string& args) {
    args.clear();
    if (text.empty() || text[0] != '[') return std::string();
    size_t end = text.find(']');
    std::string code = text.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    size_t space = code.find(' ');
    if (space != std::string::npos) {
        args = code.substr(space + 1);
        code.resize(space);
    }
    return upper_case_copy(code);
}

}  // namespace

int number_of_uid(const ImapVisit& visit, uint64_t uid) {
    if (visit.uids.size() < 2) return 0;
    auto first = visit.uids.begin() + 1;
    auto at = std::lower_bound(first, visit.uids.end(), uid);
    if (at == visit.uids.end() || *at != uid) return 0;
    return static_cast<int>(at - visit.uids.begin());
}

std::string Client::new_tag() {
    char tag[16];
    std::snprintf(tag, sizeof tag, "B%u", ++visit_.next_tag);
    return tag;
}

std::string Client::send(const std::string& command) {
    std::string tag = new_tag();
    std::string line = tag;
    line += ' ';
    line += command;
    line += "\r\n";
    if (!box_.connection.write_text(line)) return std::string();
    return tag;
}

bool Client::send_more(const std::string& data) {
    return box_.connection.write_text(data);
}

Completion Client::run(const std::string& command, Responses* responses, std::string* text) {
    std::string tag = send(command);
    if (tag.empty()) return Completion::kFailed;
    return finish(tag, responses, text);
}

bool Client::status_text(const std::string& text) {
    std::string args;
    std::string code = response_code(text, args);
    if (code == "CAPABILITY") {
        visit_.capabilities.clear();
        size_t start = 0;
        while (start < args.size()) {
            size_t end = args.find(' ', start);
            if (end == std::string::npos) end = args.size();
            if (end > start) add_capability(visit_.capabilities, args.substr(start, end - start));
            start = end + 1;
        }
    } else if (code == "UIDVALIDITY") {
        long long value = 0;
        const char* cursor = args.c_str();
        if (read_decimal(cursor, value) && value > 0 && value <= UINT32_MAX) {
            // The logon's UIDs name other messages now: a deletion sent
            // with them could remove messages nobody asked to delete.
            if (box_.logged_on && visit_.uid_validity != 0 &&
                static_cast<uint32_t>(value) != visit_.uid_validity) {
                box_.ctx.diag.print('E', 1,
                                    "IMAP: Mailbox UIDVALIDITY changed from %u to %u, connection "
                                    "closed",
                                    static_cast<unsigned>(visit_.uid_validity),
                                    static_cast<unsigned>(value));
                box_.connection.abandon();
                return false;
            }
            visit_.uid_validity = static_cast<uint32_t>(value);
        }
    } else if (code == "ALERT") {
        box_.ctx.diag.print('W', 1, "IMAP: Server alert: %s", text.c_str());
    }
    return true;
}

void Client::expunged(uint64_t sequence_number) {
    ImapVisit& visit = visit_;
    if (visit.exists > 0) --visit.exists;
    // A number past the logon's messages is one that came after it.
    int number = visit.sequence.expunge(sequence_number);
    if (number > 0 && box_.is_present(number)) {
        box_.ctx.diag.print('F', 1, "IMAP: Message %d expunged by another client", number);
        forget_message(box_, number);
    }
}

Handled Client::untagged(Responses* responses, bool& asked_for) {
    asked_for = false;
    ResponseReader& r = reader_;
    Token t = r.next();
    bool numbered = t == Token::kNumber;
    uint64_t number = numbered ? r.number() : 0;
    if (numbered) t = r.next();
    if (t != Token::kAtom) return Handled::kFailed;
    std::string word = upper_case_copy(r.text());
    if (responses != nullptr) {
        Handled h = responses->take(r, numbered, number, word);
        asked_for = h == Handled::kTaken;
        if (h != Handled::kNotMine) return h;
    }
    if (numbered) {
        if (word == "EXISTS")
            visit_.exists = static_cast<uint32_t>(std::min<uint64_t>(number, UINT32_MAX));
        if (word == "EXPUNGE") expunged(number);
        return r.skip_response() ? Handled::kTaken : Handled::kFailed;
    }
    if (word == "CAPABILITY") {
        visit_.capabilities.clear();
        // As many words as the bound, then the line's end.
        for (size_t words = 0; words <= box_.limits.capabilities; ++words) {
            Token c = r.next();
            if (c == Token::kLineEnd) return Handled::kTaken;
            if (c == Token::kFailed) return Handled::kFailed;
            if (c == Token::kAtom || c == Token::kNumber)
                add_capability(visit_.capabilities, r.text());
            else if (!r.skip_value(c))
                return Handled::kFailed;
        }
        return Handled::kFailed;
    }
    if (word == "OK" || word == "NO" || word == "BAD" || word == "BYE" || word == "PREAUTH") {
        std::string text;
        if (!r.rest_of_line(text) || !status_text(text)) return Handled::kFailed;
        if (word == "BYE") {
            bye_ = true;
            box_.ctx.diag.print('E', 1, "IMAP: Server closes the connection: %s", text.c_str());
        } else if (word != "OK") {
            box_.ctx.diag.print('D', 0, "IMAP: Server says: %s %s", word.c_str(), text.c_str());
        }
        return Handled::kTaken;
    }
    return r.skip_response() ? Handled::kTaken : Handled::kFailed;
}

Completion Client::finish(const std::string& tag, Responses* responses, std::string* text) {
    const Context& ctx = box_.ctx;
    const std::vector<uint32_t>& uids = visit_.uids;
    size_t unsolicited_left = kMaxUnsolicited + (uids.empty() ? 0 : uids.size() - 1);
    std::string line;
    while (true) {
        // Each response must end within the reply deadline from its first
        // byte, its response word included; only the literal of a message
        // asked for lifts it while its bytes flow (BodyResponses).
        ReplyBound bound(box_.connection);
        reader_.start_response();
        Token t = reader_.next();
        if (t != Token::kAtom) {
            if (reader_.overrun()) {
                ctx.diag.print('E', 1, "IMAP: Response too long, connection closed");
                box_.connection.abandon();
                return Completion::kFailed;
            }
            if (t != Token::kFailed) {
                ctx.diag.print('E', 1, "IMAP: Response not parsable, connection closed");
                box_.connection.abandon();
            }
            return Completion::kFailed;
        }
        if (reader_.text() == "*") {
            bool asked_for = false;
            Handled h = untagged(responses, asked_for);
            if (h == Handled::kFailed || bye_) {
                // A failed read has noted its own failure (a timeout stays
                // one); an abandoned connection has been reported already.
                const bool reported = box_.connection.failure() == Failure::kLost;
                if (reader_.overrun() && !reported)
                    ctx.diag.print('E', 1, "IMAP: Response too long, connection closed");
                else if (h == Handled::kFailed && !reader_.failed() && !reported)
                    ctx.diag.print('E', 1, "IMAP: Response not parsable, connection closed");
                if (!reader_.failed() || reader_.overrun()) box_.connection.abandon();
                return Completion::kFailed;
            }
            if (!asked_for && unsolicited_left-- == 0) {
                ctx.diag.print('E', 1, "IMAP: Too many untagged responses, connection closed");
                box_.connection.abandon();
                return Completion::kFailed;
            }
            continue;
        }
        if (reader_.text() == "+") {
            if (!reader_.rest_of_line(line)) return Completion::kFailed;
            if (text != nullptr) *text = line;
            return Completion::kContinue;
        }
        if (reader_.text() != tag) {
            ctx.diag.print('E', 1, "IMAP: Answer to another command (%s), connection closed",
                           reader_.text().c_str());
            box_.connection.abandon();
            return Completion::kFailed;
        }
        Token status = reader_.next();
        std::string word = status == Token::kAtom ? upper_case_copy(reader_.text()) : std::string();
        if (!reader_.rest_of_line(line) || !status_text(line)) return Completion::kFailed;
        if (text != nullptr) *text = line;
        if (word == "OK") return Completion::kOk;
        ctx.diag.print('D', 0, "IMAP: %s %s", word.c_str(), line.c_str());
        if (word == "NO") return Completion::kNo;
        if (word == "BAD") return Completion::kBad;
        ctx.diag.print('E', 1, "IMAP: Response not parsable, connection closed");
        box_.connection.abandon();
        return Completion::kFailed;
    }
}

Greeting Client::greeting(std::string& text) {
    ReplyBound bound(box_.connection);
    Token t = reader_.next();
    if (t != Token::kAtom || reader_.text() != "*") return Greeting::kFailed;
    if (reader_.next() != Token::kAtom) return Greeting::kFailed;
    std::string word = upper_case_copy(reader_.text());
    if (!reader_.rest_of_line(text)) return Greeting::kFailed;
    status_text(text);
    if (word == "OK") return Greeting::kOk;
    if (word == "PREAUTH") return Greeting::kPreauth;
    if (word == "BYE") return Greeting::kBye;
    return Greeting::kFailed;
}

bool Client::learn_capabilities() {
    if (!visit_.capabilities.empty()) return true;
    return run("CAPABILITY") == Completion::kOk;
}

}  // namespace brevorin::imap
