// What a failure was about, in the user's terms: the library's status alone
// says -2 for a refused logon, sender, recipient or message alike.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "api/tool_support.h"
#include "cli.h"

namespace cli {

namespace {

std::string g_sender;
std::vector<std::string> g_recipients;

bool contains_word(const std::string& text, const char* word) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(word) != std::string::npos;
}

// The library says "Server refused mailbox NAME: TEXT" when SELECT fails.
std::string refused_mailbox(const std::string& problem) {
    static const char kSaid[] = "Server refused mailbox ";
    size_t at = problem.find(kSaid);
    if (at == std::string::npos) return std::string();
    std::string rest = problem.substr(at + sizeof kSaid - 1);
    // The name comes quoted when the command needed it so.
    size_t name_end = rest.size() > 1 && rest[0] == '"' ? rest.find('"', 1) : 0;
    size_t colon = rest.find(": ", name_end == std::string::npos ? 0 : name_end);
    std::string name = rest.substr(0, colon);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    std::string text = colon == std::string::npos ? std::string() : rest.substr(colon + 2);
    // Servers say a missing mailbox in words of their own; RFC 5530 gives
    // the code that does not depend on them.
    if (text.find("NONEXISTENT") != std::string::npos || contains_word(text, "exist") ||
        contains_word(text, "not found") || contains_word(text, "unknown"))
        return "no mailbox '" + name + "' on the server";
    return "the server would not open mailbox '" + name + "'" + (text.empty() ? "" : ": " + text);
}

}  // namespace

void name_envelope(const std::string& sender, const std::vector<std::string>& recipients) {
    g_sender = sender;
    g_recipients = recipients;
}

// The server's words follow on a line of their own ("server said:"), as
// they always have.
std::string failure_cause(int status, Step step) {
    if (brevorin::tool::interrupted()) return "interrupted";
    const Diagnostics& said = diagnostics();
    std::string mailbox = refused_mailbox(said.last_problem());
    if (!mailbox.empty()) return mailbox;
    if (said.last_problem().find("takes no LOGIN without TLS") != std::string::npos ||
        ((step == Step::kLogon || step == Step::kSend) &&
         (said.last_reply().find("PRIVACYREQUIRED") != std::string::npos ||
          contains_word(said.last_reply(), "plaintext"))))
        return "the server refuses a password over an unencrypted connection (use "
               "--starttls/--tls)";
    if (step != Step::kSend || (status != BREVORIN_E_REFUSED && status != BREVORIN_E_STORAGE))
        return std::string();
    switch (said.last_verdict()) {
        case Diagnostics::Verdict::kSender:
            return "sender " + g_sender + " refused";
        case Diagnostics::Verdict::kRecipient: {
            size_t n = static_cast<size_t>(said.recipients_answered());
            if (n == 0 || n > g_recipients.size()) return "a recipient was refused";
            const char* how = status == BREVORIN_E_STORAGE ? " not taken (no room)" : " refused";
            return "recipient " + g_recipients[n - 1] + how;
        }
        case Diagnostics::Verdict::kData:
            return "the server refused the message";
        default:
            return std::string();
    }
}

}  // namespace cli
