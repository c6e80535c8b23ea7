// Command-line parsing. With the help layout, the only code that sees CLI11:
// it is a heavy header, and the commands need only the checked Request.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <langinfo.h>
#endif

#include "api/tool_support.h"
#include "cli.h"
#include "cli_help.h"
#include "config.h"
#include "core/charset.h"

#ifndef BREVORIN_VERSION
#define BREVORIN_VERSION "unknown"
#endif

namespace cli {

namespace {

const char kExitTable[] =
    "Exit status:\n"
    "  0    success\n"
    "  2    usage error (unknown option, missing or bad value, NUL byte in the text,\n"
    "       an empty password)\n"
    "  3    the server's host name could not be resolved\n"
    "  4    the connection was refused or the host could not be reached\n"
    "  5    the server refused the logon or AUTH (user, password or token)\n"
    "  6    the server refused a command, sender, recipient or the message\n"
    "  7    the server did not answer in time\n"
    "  8    a local file could not be read or written (attachment, text, password,\n"
    "       or a retrieved attachment that could not be saved)\n"
    "  9    any other network failure (connection lost, unusable greeting or reply)\n"
    "  10   TLS could not be set up (untrusted or misnamed certificate, no TLS on\n"
    "       that port, STARTTLS refused)\n"
    "  10+N any other library status -N (17: no such message)\n"
    "  130  interrupted (Ctrl-C)\n";

// A whole token of decimal digits within [min, max]: "1abc", "+1", " 1",
// "0x10" and anything past max are refused, never read as some other number.
bool parse_number(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    long long value = std::stoll(text);
    if (value < min || value > max) return false;
    out = value;
    return true;
}

[[noreturn]] void refuse(const std::string& option, const std::string& why) {
    throw CLI::ValidationError(option, why);
}

int number_option(const std::string& option, const std::string& text, long long min,
                  long long max) {
    long long value = 0;
    if (!parse_number(text, min, max, value))
        refuse(option, "'" + text + "' is not a whole number from " + std::to_string(min) + " to " +
                           std::to_string(max));
    return static_cast<int>(value);
}

// A name the library maps to a character set (host setting 39).
std::string checked_charset(const std::string& name) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string known = brevorin::host_charset_names();
    if (!upper.empty() && (" " + known + " ").find(" " + upper + " ") != std::string::npos)
        return upper;
    refuse("--charset", "unknown character set '" + name + "' (known: " + known + ")");
}

// The host character set the user's locale names (LC_CTYPE), where the
// library knows it; empty (US-ASCII) otherwise. The C and POSIX locales are
// read as UTF-8, as Python reads them: they are what cron, ssh and
// containers start with, not a choice of ASCII, and ASCII would turn every
// received letter past it into '?'.
std::string charset_of_locale() {
#if defined(_WIN32)
    return ::GetConsoleOutputCP() == 65001 ? "UTF8" : "";
#else
    const char* locale = std::setlocale(LC_CTYPE, "");
    const std::string locale_name = locale != nullptr ? locale : "";
    const char* set = locale != nullptr ? nl_langinfo(CODESET) : "";
    std::string name = set != nullptr ? set : "";
    if (locale_name == "C" || locale_name == "POSIX") name = "UTF-8";
    std::setlocale(LC_CTYPE, "C");
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "UTF-8" || name == "UTF8") return "UTF8";
    if (name == "ISO-8859-1" || name == "ISO8859-1") return "LATIN1";
    if (name == "ISO-8859-2" || name == "ISO8859-2") return "LATIN2";
    if (name == "EUC-JP") return "EUC";
    if (name == "SHIFT_JIS" || name == "SJIS") return "SJIS";
    return "";
#endif
}

// The library counts priority upwards: it writes "X-Priority: 5 (Highest)".
std::string checked_priority(const std::string& word) {
    if (word == "high") return "5";
    if (word == "normal") return "3";
    if (word == "low") return "1";
    long long value = 0;
    if (!parse_number(word, 1, 5, value))
        refuse("--priority", "'" + word + "' is not 1 to 5, high, normal or low");
    return std::to_string(value);
}

// Items of the ESC-separated lists the library takes; an ESC inside a value
// would add items of its own.
void check_no_esc(const std::string& option, const std::string& value) {
    if (value.find('\x1b') != std::string::npos)
        refuse(option, "must not contain an ESC character");
}

// The port of a server string: digits only, 1 to 65535.
int checked_port(const std::string& server, const std::string& text) {
    long long port = 0;
    if (!parse_number(text, 1, 65535, port))
        refuse("--server", "bad port '" + text + "' in '" + server + "' (1 to 65535)");
    return static_cast<int>(port);
}

// The server as the library takes it ("host+port", "[v6]+port"), from any
// form a user writes: HOST, HOST:PORT, HOST+PORT, [V6]:PORT, or a URL
// pop3://[user@]host[:port] (pop3s, imap, imaps, smtp and smtps alike). A
// URL's scheme sets the protocol, TLS and the default port, its user the
// logon name.
void normalize_server(Request& r) {
    const bool smtp = r.command == "send";
    std::string text = r.server;
    size_t scheme_end = text.find("://");
    if (scheme_end != std::string::npos) {
        std::string scheme = text.substr(0, scheme_end);
        for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool secure = scheme == "pop3s" || scheme == "smtps" || scheme == "imaps";
        bool imap = scheme == "imap" || scheme == "imaps";
        bool ours = smtp ? (scheme == "smtp" || scheme == "smtps")
                         : (scheme == "pop3" || scheme == "pop3s" || imap);
        if (!ours)
            refuse("--server",
                   "'" + scheme + "://' is no scheme for " + r.command + " (use " +
                       (smtp ? "smtp:// or smtps://)" : "pop3://, pop3s://, imap:// or imaps://)"));
        if (!r.protocol.empty() && !smtp && r.protocol != (imap ? "imap" : "pop3"))
            refuse("--protocol", "'" + r.protocol + "' conflicts with the server '" + r.server +
                                     "'; give one of them");
        r.protocol = imap ? "imap" : "pop3";
        text = text.substr(scheme_end + 3);
        while (!text.empty() && text.back() == '/') text.pop_back();
        // The URL's path names the mailbox to open, as in imap://host/Archive.
        size_t slash = text.find('/');
        if (slash != std::string::npos) {
            std::string path = text.substr(slash + 1);
            text = text.substr(0, slash);
            if (!imap)
                refuse("--server", "'" + r.server + "' names a mailbox, but " +
                                       (smtp ? "an SMTP server has none"
                                             : "POP3 has no mailboxes (use an imap:// server)"));
            if (!r.mailbox.empty() && r.mailbox != path)
                refuse("--mailbox", "'" + r.mailbox + "' conflicts with the mailbox '" + path +
                                        "' of the server '" + r.server + "'");
            r.mailbox = path;
        }
        size_t at = text.rfind('@');
        if (at != std::string::npos) {
            std::string user = text.substr(0, at);
            text = text.substr(at + 1);
            if (user.empty()) refuse("--server", "empty user name in '" + r.server + "'");
            std::string& target = smtp ? r.smtp_user : r.user;
            if (target.empty()) target = user;
        }
        if (secure && !r.starttls) r.tls = true;
        if (text.find_first_of(":+]") == std::string::npos || text.back() == ']')
            text += std::string(":") + (smtp   ? (secure ? "465" : "25")
                                        : imap ? (secure ? "993" : "143")
                                               : (secure ? "995" : "110"));
    }
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos)
            refuse("--server", "no ']' after the IPv6 address in '" + r.server + "'");
        host = text.substr(0, close + 1);
        std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':' && rest[0] != '+')
                refuse("--server",
                       "unexpected '" + rest + "' after the address in '" + r.server + "'");
            port = rest.substr(1);
            if (port.empty()) refuse("--server", "no port after '" + host + rest + "'");
        }
    } else {
        size_t split = text.find_first_of(":+");
        host = text.substr(0, split);
        if (split != std::string::npos) {
            port = text.substr(split + 1);
            if (port.empty()) refuse("--server", "no port after '" + text + "'");
            if (port.find_first_of(":+") != std::string::npos)
                refuse(
                    "--server",
                    "'" + r.server + "' has more than one port (an IPv6 address goes in brackets)");
        }
    }
    if (host.empty() || host == "[]") refuse("--server", "no host name in '" + r.server + "'");
    r.server = port.empty() ? host : host + "+" + std::to_string(checked_port(r.server, port));
}

struct Raw {
    std::vector<std::string> messages;
    std::string max_size, connect_timeout, timeout, priority, charset, password, logon_pause;
    std::string protocol;  // empty: not on the command line
    bool modern = false;
};

void add_connection(CLI::App* cmd, Request& r, Raw& raw, bool smtp) {
    const char* group = "Connection";
    cmd->add_option(
           "--server", r.server,
           smtp ? "SMTP server: HOST, HOST:PORT, [IPV6]:PORT, HOST+PORT, or "
                  "smtp://[USER@]HOST[:PORT] and smtps:// (default port 25, 465 for smtps)"
                : "mail server: HOST, HOST:PORT, [IPV6]:PORT, HOST+PORT, or "
                  "pop3://[USER@]HOST[:PORT], pop3s://, imap:// and imaps:// (default port 110, "
                  "995 for pop3s, 143 for imap, 993 for imaps)")
        ->type_name("SERVER")
        ->group(group);
    if (!smtp)
        cmd->add_option("--user", r.user, "user name (or the user of a pop3:// or imap:// URL)")
            ->type_name("NAME")
            ->group(group);
    if (!smtp) {
        cmd->add_option("--protocol", raw.protocol,
                        "pop3 (default) or imap; an imap:// or imaps:// server sets imap")
            ->type_name("NAME")
            ->check(CLI::IsMember({"pop3", "imap"}))
            ->group(group);
        cmd->add_option("--mailbox", r.mailbox, "IMAP mailbox (default INBOX; or imap://HOST/NAME)")
            ->type_name("NAME")
            ->group(group);
    }
    if (!smtp)
        cmd->add_option("--logon-pause", raw.logon_pause,
                        "pause MS milliseconds after a USER/PASS logon, as some servers want "
                        "(default 0; the library's own default is 3000)")
            ->type_name("MS")
            ->group(group);
    cmd->add_option("--password-file", r.password_file,
                    "read the password from the first line of FILE")
        ->type_name("FILE")
        ->group(group);
    cmd->add_option("--password-command", r.password_command,
                    "take the password from the first line CMD prints (a password manager)")
        ->type_name("CMD")
        ->group(group);
    if (smtp)
        cmd->add_option("--helo", r.helo, "EHLO as NAME (default: this machine's name)")
            ->type_name("NAME")
            ->group(group);
    cmd->add_flag("--netrc", r.netrc,
                  "take the user name and password from ~/.netrc (or $NETRC), as curl does")
        ->group(group);
    cmd->add_option("--netrc-file", r.netrc_file, "the same from FILE")
        ->type_name("FILE")
        ->group(group);
    cmd->add_option("--token-file", r.token_file,
                    "read an XOAUTH2 access token from FILE instead of a password (sets --auth "
                    "xoauth2 unless --auth is given)")
        ->type_name("FILE")
        ->group(group);
    if (smtp)
        cmd->add_option("--smtp-user", r.smtp_user,
                        "log on to the SMTP server as this user; its password comes like the POP3 "
                        "one")
            ->type_name("NAME")
            ->group(group);
    auto* tls = cmd->add_flag("--tls", r.tls, "TLS from the first byte")->group(group);
    cmd->add_flag("--starttls", r.starttls, "upgrade to TLS with STARTTLS/STLS")
        ->excludes(tls)
        ->group(group);
    cmd->add_option("--ca-file", r.ca_file, "trust the CA certificates in FILE")
        ->type_name("FILE")
        ->group(group);
    cmd->add_flag("--insecure", r.insecure, "do not verify the server's certificate")->group(group);
    cmd->add_option("--connect-timeout", raw.connect_timeout,
                    "give up connecting after SECONDS (default " +
                        std::to_string(kDefaultConnectTimeout) + ", 0: the system's limit)")
        ->type_name("SECONDS")
        ->group(group);
    cmd->add_option("--timeout", raw.timeout,
                    "give up waiting for the server after SECONDS (default " +
                        std::to_string(kDefaultTimeout) + ", 0: no limit)")
        ->type_name("SECONDS")
        ->group(group);
    if (smtp)
        cmd->add_option("--auth", r.auth,
                        "SMTP AUTH mechanism: plain, login, xoauth2, auto (what the server "
                        "offers) or none; --smtp-user alone means auto")
            ->type_name("MECH")
            ->check(CLI::IsMember({"plain", "login", "xoauth2", "auto", "none"}))
            ->group(group);
    else
        cmd->add_option(
               "--auth", r.auth,
               "mailbox logon: user (USER/PASS or IMAP LOGIN, the default), plain or xoauth2")
            ->type_name("MECH")
            ->check(CLI::IsMember({"user", "plain", "xoauth2"}))
            ->group(group);
    cmd->add_flag("--allow-plaintext-auth", r.allow_plaintext_auth,
                  "allow a password over a connection without TLS")
        ->group(group);
    auto* modern = cmd->add_flag("--modern", raw.modern,
                                 "current MIME and pipelining where the server offers it "
                                 "(default)")
                       ->group("Message");
    cmd->add_flag("--classic-mime", r.classic_mime, "the library's original MIME, no pipelining")
        ->excludes(modern)
        ->group("Message");
}

void add_selection(CLI::App* cmd, Request& r, Raw& raw) {
    cmd->add_option("N", raw.messages, "message numbers and ranges (1-5 9)")
        ->type_name("")
        ->expected(0, -1);
    cmd->add_flag("--all", r.all, "every message in the mailbox")->group("Selection");
    cmd->add_option("--uidl", r.uidls, "the message with this unique id (repeatable)")
        ->type_name("ID")
        ->allow_extra_args(false)
        ->group("Selection");
}

void add_max_size(CLI::App* cmd, Raw& raw) {
    cmd->add_option("--max-size", raw.max_size, "refuse messages larger than BYTES (0: no limit)")
        ->type_name("BYTES")
        ->group("Message");
}

// "7" or "3-9"; a range that runs backwards is a typo, not an empty set.
Request::Range message_range(const std::string& word) {
    size_t dash = word.find('-');
    if (dash == std::string::npos || dash == 0) {
        int n = number_option("message number", word, 1, INT_MAX);
        return {n, n};
    }
    Request::Range range{number_option("message range", word.substr(0, dash), 1, INT_MAX),
                         number_option("message range", word.substr(dash + 1), 1, INT_MAX)};
    if (range.first > range.last)
        refuse("message range", "'" + word + "' runs backwards (write " +
                                    std::to_string(range.last) + "-" + std::to_string(range.first) +
                                    ")");
    return range;
}

// get, raw and delete act on one kind of selection; the options that only
// make sense with another are refused rather than ignored.
void check_selection(Request& r) {
    if (r.command != "get" && r.command != "raw" && r.command != "delete") return;
    int kinds = !r.messages.empty() + r.all + !r.uidls.empty() + r.only_new;
    if (kinds != 1)
        refuse("N", std::string(kinds == 0 ? "which messages? " : "one selection at a time: ") +
                        "give message numbers, --all" +
                        (r.command == "get" ? ", --uidl ID or --new" : " or --uidl ID"));
    if (r.only_new != !r.state_file.empty())
        refuse(r.only_new ? "--new" : "--state",
               "--new and --state FILE go together (the file keeps the ids fetched)");
    if (r.delete_fetched && !r.only_new)
        refuse("--delete",
               "deletes what --new fetched; to delete by number or id use the "
               "delete command");
    for (const std::string& id : r.uidls)
        if (id.empty() || id.find_first_of(" \t\r\n\x1b") != std::string::npos)
            refuse("--uidl", "'" + id + "' is no unique id (no spaces or control characters)");
    if (!r.uidls.empty() || r.only_new) r.uidl = true;
}

void finish(const Request& r, Raw& raw, Request& out) {
    // A batch names the recipients in its lines; otherwise --to is as
    // required as the parser made it before anything else is checked.
    if (r.command == "send" && r.to.empty() && r.batch_file.empty())
        throw CLI::RequiredError("--to");
    out = r;
    out.protocol = raw.protocol;
    if (out.server.empty())
        refuse("--server", "a server is required (--server SERVER, or an account's server)");
    if (out.command == "send" && out.from.empty() && out.batch_file.empty())
        refuse("--from", "a sender is required (--from ADDRESS, or an account's from)");
    if (out.password_stdin &&
        (!out.password_file.empty() || !out.token_file.empty() || !out.password_command.empty()))
        refuse("--password-stdin",
               "give one of --password-stdin, --password-file, --token-file "
               "and --password-command");
    normalize_server(out);
    if (out.protocol.empty()) out.protocol = "pop3";
    if (!out.netrc_file.empty()) out.netrc = true;
    // As curl does, a netrc entry for the SMTP server logs on to it.
    std::string& netrc_user = out.command == "send" ? out.smtp_user : out.user;
    if (out.netrc && netrc_user.empty()) {
        NetrcEntry entry;
        if (netrc_lookup(netrc_path(out), host_name(out.server), "", entry))
            netrc_user = entry.login;
    }
    if (out.command != "send" && out.user.empty())
        refuse("--user",
               "a user name is required (--user NAME, pop3://NAME@HOST, imap://NAME@HOST, or a "
               "netrc entry)");
    if (!out.mailbox.empty() && out.protocol != "imap")
        refuse("--mailbox", "names an IMAP mailbox: add --protocol imap or use an imap:// server");
    if (!raw.logon_pause.empty())
        out.logon_pause = number_option("--logon-pause", raw.logon_pause, 0, 60000);
    // JSON is UTF-8 whatever the terminal takes.
    out.charset = !raw.charset.empty() ? checked_charset(raw.charset)
                  : out.json           ? std::string("UTF8")
                                       : charset_of_locale();
    if (!raw.password.empty())
        refuse("--password",
               "passwords are not taken on the command line; use --password-file "
               "or --password-stdin");
    for (const auto& word : raw.messages) out.messages.push_back(message_range(word));
    check_selection(out);
    if (!raw.max_size.empty()) out.max_size = number_option("--max-size", raw.max_size, 0, INT_MAX);
    constexpr long long kMaxSeconds = 24 * 3600;
    if (!raw.connect_timeout.empty())
        out.connect_timeout =
            number_option("--connect-timeout", raw.connect_timeout, 0, kMaxSeconds);
    if (!raw.timeout.empty()) out.timeout = number_option("--timeout", raw.timeout, 0, kMaxSeconds);
    if (!raw.priority.empty()) out.priority = checked_priority(raw.priority);
    if (!out.password_file.empty() && !out.token_file.empty())
        refuse("--token-file", "give either --password-file or --token-file");
    if (out.command == "send" && !out.token_file.empty() && out.smtp_user.empty())
        refuse("--token-file", "a token for the SMTP server needs --smtp-user");
    for (const auto* list : {&out.to, &out.cc, &out.bcc, &out.attachments})
        for (const auto& v : *list) check_no_esc("a header or attachment", v);
    for (const auto* v : {&out.from, &out.subject, &out.reply}) check_no_esc("a header", *v);
    if (out.command == "send") {
        const std::pair<const char*, const std::vector<std::string>*> lists[] = {
            {"--to", &out.to}, {"--cc", &out.cc}, {"--bcc", &out.bcc}};
        for (const auto& list : lists)
            for (const std::string& value : *list.second) {
                std::string bad = malformed_address(value);
                if (!bad.empty()) refuse(list.first, "'" + bad + "' is no mail address");
            }
        for (const auto& single :
             {std::make_pair("--from", &out.from), std::make_pair("--reply", &out.reply)}) {
            if (single.second->empty()) continue;
            std::string bad = malformed_address(*single.second);
            if (!bad.empty()) refuse(single.first, "'" + bad + "' is no mail address");
        }
    }
}

// Letters to change, add or drop to turn a into b.
size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known word nearest to word, when it is near enough to be a typo.
std::string nearest(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t best_distance = word.size() / 3 + 1;
    for (const std::string& k : known) {
        size_t d = edit_distance(word, k);
        if (d <= best_distance && (best.empty() || d < best_distance)) {
            best = k;
            best_distance = d;
        }
    }
    return best;
}

// CLI11's messages, said for people: an unknown command lists the
// commands, a mistyped option names the one meant.
std::string explained(CLI::App& app, int argc, char** argv, const CLI::ParseError& e) {
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
    std::string joined;
    for (const std::string& c : commands) joined += (joined.empty() ? "" : ", ") + c;
    CLI::App* chosen = nullptr;
    for (CLI::App* sub : app.get_subcommands({}))
        if (sub->parsed()) chosen = sub;
    if (chosen == nullptr) {
        for (int i = 1; i < argc; ++i) {
            std::string word = argv[i];
            if (word.empty() || word[0] == '-') continue;
            std::string meant = nearest(word, commands);
            return "unknown command '" + word + "'" +
                   (meant.empty() ? "" : " (did you mean '" + meant + "'?)") +
                   " (commands: " + joined + ")";
        }
        return "a command is required (commands: " + joined + ")";
    }
    std::vector<std::string> options;
    for (const CLI::Option* o : chosen->get_options())
        for (const std::string& name : o->get_lnames()) options.push_back("--" + name);
    for (const CLI::Option* o : app.get_options())
        for (const std::string& name : o->get_lnames()) options.push_back("--" + name);
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        word = word.substr(0, word.find('='));
        if (word.compare(0, 2, "--") != 0 || word.size() < 3) continue;
        if (std::find(options.begin(), options.end(), word) != options.end()) continue;
        std::string meant = nearest(word, options);
        return "unknown option '" + word + "' for " + chosen->get_name() +
               (meant.empty() ? "" : " (did you mean " + meant + "?)");
    }
    return e.what();
}

}  // namespace

int parse_command_line(int argc, char** argv, Request& out) {
    Request r;
    Raw raw;
    CLI::App app{"brevorin: receive mail over POP3 or IMAP and send it over SMTP.", "brevorin"};
    // The man page has sections of its own for the exit status, and names
    // no TLS backend: it describes every build.
    const bool for_man = std::getenv("BREVORIN_HELP_FOR_MAN") != nullptr;
    app.set_version_flag("--version", std::string("brevorin ") + BREVORIN_VERSION +
                                          (for_man ? std::string()
                                                   : std::string("\nTLS backend: ") +
                                                         brevorin::tool::tls_backend()));
    app.require_subcommand(1);
    app.fallthrough();
    // Set before the commands are added: they take their parent's.
    app.formatter(std::make_shared<HelpFormatter>());
    app.add_flag("--trace", r.trace, "show the library's diagnostics lines on standard error");
    app.add_flag("-v,--verbose", r.verbose,
                 "show the dialogue with the server on standard error, passwords as ****");
    app.add_flag("-q,--quiet", r.quiet, "print errors only: no progress, no remarks")
        ->excludes("--verbose");
    app.add_flag("--json", r.json, "print one JSON document (UTF-8)");
    app.add_option(
           "--charset", raw.charset,
           "host character set of texts: " + brevorin::host_charset_names() +
               " (default: the locale's, UTF8 in a UTF-8, C or POSIX locale; US-ASCII when the "
               "library does not know it)")
        ->type_name("NAME");
    app.add_option("--password", raw.password)->group("");
    app.add_flag("--password-stdin", r.password_stdin,
                 "password: first line of stdin (send: text after)");
    app.add_option("--config", r.config_file, "read accounts from FILE, not the usual one")
        ->type_name("FILE");
    app.add_option("--account", r.account, "settings the command line leaves open, from NAME")
        ->type_name("NAME");

    auto* stat = app.add_subcommand("stat", "number of messages and size of the mailbox");
    add_connection(stat, r, raw, false);

    auto* list =
        app.add_subcommand("list", "number, size, date, sender and subject of every message");
    add_connection(list, r, raw, false);
    list->add_flag("--raw", r.raw_list, "the field list exactly as the library hands it out");
    list->add_flag("--uidl", r.uidl,
                   "add the server's unique id of each message (UIDL), to tell new mail from old");

    auto* get = app.add_subcommand("get", "messages decoded; attachments written to files");
    add_selection(get, r, raw);
    add_connection(get, r, raw, false);
    get->add_flag("--new", r.only_new, "fetch the ids not yet in the --state file")
        ->group("Selection");
    get->add_option("--state", r.state_file, "with --new: the ids fetched so far")
        ->type_name("FILE")
        ->group("Selection");
    auto* keep = get->add_flag("--keep", "with --new: leave mail on the server (default)")
                     ->group("Selection");
    get->add_flag("--delete", r.delete_fetched, "with --new: delete what this visit saved")
        ->excludes(keep)
        ->group("Selection");
    get->add_option("--dir", r.directory, "write attachments into DIR (default: current directory)")
        ->type_name("DIR")
        ->group("Message");
    add_max_size(get, raw);

    auto* rawcmd = app.add_subcommand("raw", "messages as they were sent");
    add_selection(rawcmd, r, raw);
    add_connection(rawcmd, r, raw, false);
    add_max_size(rawcmd, raw);
    rawcmd->add_option("--output", r.output_file, "write to FILE, replaced only once complete")
        ->type_name("FILE")
        ->group("Message");

    auto* del = app.add_subcommand("delete", "delete messages (committed when the visit ends)");
    add_selection(del, r, raw);
    add_connection(del, r, raw, false);
    del->add_flag("--dry-run", r.dry_run, "show what would be deleted; delete nothing")
        ->group("Selection");

    auto* send = app.add_subcommand(
        "send", "send a message; the text comes from --text-file or standard input");
    add_connection(send, r, raw, true);
    send->add_option("--from", r.from, "sender address")->type_name("ADDRESS")->group("Message");
    send->add_option("--to", r.to, "recipients: one or more after --to, or --to repeated")
        ->type_name("ADDRESS")
        ->allow_extra_args(true)
        ->group("Message");
    send->add_option("--cc", r.cc, "copy recipients, as --to")
        ->type_name("ADDRESS")
        ->allow_extra_args(true)
        ->group("Message");
    send->add_option("--bcc", r.bcc, "blind copy recipients, as --to")
        ->type_name("ADDRESS")
        ->allow_extra_args(true)
        ->group("Message");
    send->add_option("--subject", r.subject, "subject line")->type_name("TEXT")->group("Message");
    send->add_option("--priority", raw.priority, "1 (lowest) to 5 (highest), or low, normal, high")
        ->type_name("LEVEL")
        ->group("Message");
    send->add_option("--reply", r.reply, "Reply-To address")
        ->type_name("ADDRESS")
        ->group("Message");
    send->add_option("--attach", r.attachments, "attach FILE (repeat for more)")
        ->type_name("FILE")
        ->allow_extra_args(false)
        ->group("Message");
    send->add_option("--text-file", r.text_file,
                     "the message text (default: standard input, after the password line when "
                     "the password comes from there)")
        ->type_name("FILE")
        ->group("Message");
    send->add_option("--html", r.html_file,
                     "the message text is the HTML in FILE: it goes out with a plain-text "
                     "rendering, and attachments it shows by cid:NAME go inline")
        ->type_name("FILE")
        ->excludes("--text-file")
        ->group("Message");
    send->add_flag("!--no-message-id", r.message_id,
                   "leave out the Message-ID header (one is added by default)")
        ->group("Message");
    send->add_flag("--message-id", r.message_id, "add a Message-ID header (the default)")
        ->group("");
    send->add_option("--batch", r.batch_file,
                     "send each line of FILE, a JSON object (to, cc, bcc, subject, text or "
                     "text_file, html_file, attach, from), over one connection")
        ->type_name("FILE")
        ->excludes("--to")
        ->excludes("--text-file")
        ->excludes("--html")
        ->group("Message");
    add_max_size(send, raw);

    app.footer(std::string("\nPasswords are never taken on the command line.\n"
                           "Run 'brevorin COMMAND --help' for the options of a command.\n") +
               (for_man ? "" : std::string("\n") + kExitTable));
    try {
        app.parse(argc, argv);
        for (auto* sub : app.get_subcommands()) r.command = sub->get_name();
        int rc = apply_account(r, raw.charset, raw.protocol);
        if (rc >= 0) return rc;
        finish(r, raw, out);
    } catch (const CLI::CallForHelp& e) {
        if (for_man && std::string(std::getenv("BREVORIN_HELP_FOR_MAN")) == "sections") {
            std::fputs(man_sections(app).c_str(), stdout);
            return kExitOk;
        }
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        usage_error(explained(app, argc, argv, e));
        return kExitUsage;
    }
    return -1;
}

}  // namespace cli
