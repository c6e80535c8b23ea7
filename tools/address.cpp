// Mail addresses as people type them on the command line: checked before
// connecting, so that a typo costs no visit and no half-sent envelope.
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

namespace {

// The mailboxes of a comma-separated list: a comma inside quotes, angle
// brackets or a comment belongs to the mailbox it stands in.
std::vector<std::string> mailboxes_of(const std::string& list) {
    std::vector<std::string> out;
    std::string current;
    bool quoted = false;
    int angle = 0, comment = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (quoted && c == '\\' && i + 1 < list.size()) {
            current += c;
            current += list[++i];
            continue;
        }
        if (c == '"' && comment == 0) quoted = !quoted;
        if (!quoted) {
            if (c == '(') ++comment;
            if (c == ')' && comment > 0) --comment;
            if (c == '<' && comment == 0) ++angle;
            if (c == '>' && comment == 0 && angle > 0) --angle;
        }
        if (c == ',' && !quoted && angle == 0 && comment == 0) {
            out.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    out.push_back(current);
    return out;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The address of one mailbox: what the angle brackets hold, else the whole.
std::string bare(const std::string& mailbox) {
    std::string text = trimmed(mailbox);
    size_t close = text.rfind('>');
    size_t open = close == std::string::npos ? std::string::npos : text.rfind('<', close);
    if (open != std::string::npos) return trimmed(text.substr(open + 1, close - open - 1));
    return text;
}

// local@domain, the local part a dot-atom or quoted, the domain a dotted
// name or a bracketed literal. Bytes past ASCII are let through: the
// server is asked for SMTPUTF8 when an address has them.
bool well_formed(const std::string& address) {
    size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == address.size()) return false;
    const std::string local = address.substr(0, at);
    const std::string domain = address.substr(at + 1);
    for (unsigned char c : address)
        if (c < 0x21 || c == 0x7f) {
            if (!(c == ' ' && local.size() >= 2 && local.front() == '"' && local.back() == '"'))
                return false;
        }
    if (!(local.size() >= 2 && local.front() == '"' && local.back() == '"')) {
        if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string::npos)
            return false;
        if (local.find_first_of("\"(),:;<>@[\\]") != std::string::npos) return false;
    }
    if (domain.front() == '[') return domain.back() == ']' && domain.size() > 2;
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos)
        return false;
    return domain.find_first_of("\"(),:;<>@[\\]") == std::string::npos;
}

}  // namespace

std::vector<std::string> addresses_of(const std::string& list) {
    std::vector<std::string> out;
    for (const std::string& mailbox : mailboxes_of(list)) {
        std::string address = bare(mailbox);
        if (!address.empty()) out.push_back(address);
    }
    return out;
}

std::string malformed_address(const std::string& list) {
    std::vector<std::string> mailboxes = mailboxes_of(list);
    for (const std::string& mailbox : mailboxes) {
        std::string text = trimmed(mailbox);
        // An empty item between commas names nobody; a list of nothing but
        // those names nobody at all.
        if (text.empty()) {
            if (mailboxes.size() == 1) return list;
            continue;
        }
        size_t open = text.find('<');
        if (open != std::string::npos && text.rfind('>') == std::string::npos) return text;
        if (open == std::string::npos && text.find('>') != std::string::npos) return text;
        if (!well_formed(bare(text))) return text;
    }
    return std::string();
}

}  // namespace cli
