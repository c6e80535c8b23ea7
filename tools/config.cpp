// The configuration file's format, kept simple enough to need no library:
//
//   # comment
//   default = work
//   [work]
//   server = imaps://ann@mail.example.org
//   smtp-server = smtp://mail.example.org:587
//
// Settings before the first [account] name only the default account. A
// value is the rest of its line, spaces at either end dropped: there is no
// quoting, so nothing in a password needs escaping.
#include "config.h"

#include <algorithm>

namespace cli {

namespace {

// The keys an account may set; each connection key may also be given with
// "smtp-" before it, for send only.
const char* const kAccountKeys[] = {
    "server",  "user", "password", "password-file", "password-command", "tls",  "starttls",
    "ca-file", "auth", "mailbox",  "protocol",      "charset",          "from", "helo"};
const char* const kSmtpKeys[] = {
    "server", "user",     "password", "password-file", "password-command",
    "tls",    "starttls", "ca-file",  "auth"};

bool known_key(const std::string& key) {
    for (const char* k : kAccountKeys)
        if (key == k) return true;
    if (key.compare(0, 5, "smtp-") != 0) return false;
    for (const char* k : kSmtpKeys)
        if (key.compare(5, std::string::npos, k) == 0) return true;
    return false;
}

std::string trimmed(const std::string& text) {
    const char* space = " \t\r";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool plain_name(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7F || c == '[' || c == ']') return false;
    return true;
}

}  // namespace

bool parse_config(const std::string& text, ConfigFile& out, std::string& error) {
    out = ConfigFile{};
    int number = 0;
    size_t at = 0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = trimmed(text.substr(at, end - at));
        at = end + 1;
        ++number;
        if (line.find('\0') != std::string::npos) return fail("holds a NUL byte");
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail("no ']' after the account name");
            std::string name = trimmed(line.substr(1, line.size() - 2));
            if (!plain_name(name)) return fail("an account name is one word: '" + line + "'");
            for (const ConfigAccount& a : out.accounts)
                if (a.name == name)
                    return fail("account '" + name + "' again (first on line " +
                                std::to_string(a.line) + ")");
            out.accounts.push_back({name, number, {}});
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) return fail("not 'key = value': '" + line + "'");
        std::string key = trimmed(line.substr(0, equals));
        std::string value = trimmed(line.substr(equals + 1));
        if (out.accounts.empty()) {
            if (key != "default") return fail("'" + key + "' outside an account ([NAME] first)");
            if (!plain_name(value)) return fail("default names no account");
            out.default_account = value;
            continue;
        }
        if (!known_key(key)) return fail("unknown key '" + key + "'");
        ConfigAccount& account = out.accounts.back();
        for (const ConfigSetting& s : account.settings)
            if (s.key == key)
                return fail("'" + key + "' again in account '" + account.name +
                            "' (first on line " + std::to_string(s.line) + ")");
        if (value.empty()) return fail("no value for '" + key + "'");
        if (key == "password" || key == "smtp-password") out.holds_password = true;
        account.settings.push_back({key, value, number});
    }
    return true;
}

}  // namespace cli
