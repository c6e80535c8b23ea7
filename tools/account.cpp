// Settings from an account of the configuration file, under the command
// line's: the file fills only what the command line left open.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "config.h"

namespace cli {

namespace {

std::string home_directory() {
    const char* home = std::getenv("HOME");
#if defined(_WIN32)
    if (home == nullptr) home = std::getenv("USERPROFILE");
#endif
    return home != nullptr ? home : "";
}

// Where the file is looked for when --config names none.
std::string default_config_path() {
#if defined(_WIN32)
    const char* appdata = std::getenv("APPDATA");
    return appdata != nullptr && *appdata != '\0' ? std::string(appdata) + "\\brevorin\\config"
                                                  : std::string();
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/brevorin/config";
    std::string home = home_directory();
    return home.empty() ? std::string() : home + "/.config/brevorin/config";
#endif
}

// "~/" at the start of a file name, as a shell would read it.
std::string expanded(const std::string& path) {
    if (path.compare(0, 2, "~/") == 0 && !home_directory().empty())
        return home_directory() + path.substr(1);
    return path;
}

bool one_of(const std::string& value, std::initializer_list<const char*> words) {
    for (const char* w : words)
        if (value == w) return true;
    return false;
}

struct Problem {
    std::string where;
    bool raised = false;
    void operator()(const ConfigSetting& s, const std::string& why) {
        if (raised) return;
        raised = true;
        usage_error(where + ": line " + std::to_string(s.line) + ": " + s.key + ": " + why);
    }
};

}  // namespace

int apply_account(Request& r, std::string& charset, std::string& protocol) {
    const bool named = !r.config_file.empty();
    const std::string path = named ? r.config_file : default_config_path();
    std::ifstream in(path, std::ios::binary);
    if (path.empty() || !in) {
        if (named) {
            std::fprintf(stderr, "brevorin: --config %s: %s\n", path.c_str(), std::strerror(errno));
            return kExitFile;
        }
        if (r.account.empty()) return -1;
        usage_error("--account " + r.account + ": no configuration file (looked for " +
                    (path.empty() ? std::string("$HOME/.config/brevorin/config") : path) +
                    "; --config FILE names one)");
        return kExitUsage;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ConfigFile file;
    std::string error;
    if (!parse_config(text, file, error)) {
        usage_error(path + ": " + error);
        return kExitUsage;
    }
#if !defined(_WIN32)
    struct stat st {};
    if (file.holds_password && ::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        std::fprintf(stderr,
                     "brevorin: warning: %s holds a password and others may read it "
                     "(chmod 600 %s)\n",
                     path.c_str(), path.c_str());
#endif
    const std::string name = !r.account.empty() ? r.account : file.default_account;
    if (name.empty()) return -1;
    const ConfigAccount* account = nullptr;
    std::string names;
    for (const ConfigAccount& a : file.accounts) {
        if (a.name == name) account = &a;
        names += (names.empty() ? "" : ", ") + a.name;
    }
    if (account == nullptr) {
        usage_error((r.account.empty() ? "default = " : "--account ") + name +
                    ": no such account in " + path +
                    (names.empty() ? std::string() : " (accounts: " + names + ")"));
        return kExitUsage;
    }

    // send reads the "smtp-" spelling of a connection key first; the
    // mailbox commands never read it.
    const bool send = r.command == "send";
    auto find = [&](const std::string& key) -> const ConfigSetting* {
        const ConfigSetting* plain = nullptr;
        for (const ConfigSetting& s : account->settings) {
            if (send && s.key == "smtp-" + key) return &s;
            if (s.key == key) plain = &s;
        }
        return plain;
    };
    Problem problem{path};
    auto fill = [&](const char* key, std::string& field) {
        const ConfigSetting* s = find(key);
        if (s != nullptr && field.empty()) field = s->value;
    };
    auto fill_path = [&](const char* key, std::string& field) {
        const ConfigSetting* s = find(key);
        if (s != nullptr && field.empty()) field = expanded(s->value);
    };

    // A user in the command line's server URL is the command line's.
    const bool url_user = r.server.find("://") != std::string::npos &&
                          r.server.find('@', r.server.find("://")) != std::string::npos;
    fill("server", r.server);
    if (!url_user) fill("user", send ? r.smtp_user : r.user);
    fill_path("ca-file", r.ca_file);
    fill("charset", charset);

    if (!r.tls && !r.starttls) {
        for (const char* key : {"tls", "starttls"}) {
            const ConfigSetting* s = find(key);
            if (s == nullptr) continue;
            if (!one_of(s->value, {"yes", "no"}))
                problem(*s, "'" + s->value + "' is not yes or no");
            (key[0] == 't' ? r.tls : r.starttls) = s->value == "yes";
        }
        if (r.tls && r.starttls) problem(*find("starttls"), "not with tls = yes");
    }
    if (r.auth.empty()) {
        if (const ConfigSetting* s = find("auth")) {
            bool known = send ? one_of(s->value, {"plain", "login", "xoauth2", "auto", "none"})
                              : one_of(s->value, {"user", "plain", "xoauth2"});
            if (!known) problem(*s, "'" + s->value + "' is no mechanism for " + r.command);
            r.auth = s->value;
        }
    }
    if (send) {
        fill("from", r.from);
        fill("helo", r.helo);
    } else {
        fill("mailbox", r.mailbox);
        if (const ConfigSetting* s = find("protocol")) {
            if (!one_of(s->value, {"pop3", "imap"}))
                problem(*s, "'" + s->value + "' is not pop3 or imap");
            if (protocol.empty()) protocol = s->value;
        }
    }

    // A password source on the command line, or in the environment, stands
    // for all of the account's.
    const bool token = !r.token_file.empty() || r.auth == "xoauth2";
    const char* environment = std::getenv(token ? "BREVORIN_TOKEN" : "BREVORIN_PASSWORD");
    const bool given = !r.password_file.empty() || !r.token_file.empty() ||
                       !r.password_command.empty() || r.password_stdin || r.netrc ||
                       !r.netrc_file.empty() || (environment != nullptr && *environment != '\0');
    if (!given) {
        fill_path("password-file", r.password_file);
        fill("password-command", r.password_command);
        fill("password", r.password);
    }
    return problem.raised ? kExitUsage : -1;
}

}  // namespace cli
