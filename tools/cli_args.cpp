// Command-line parsing. The only translation unit that sees CLI11: it is a
// heavy header, and the commands need only the checked Request.
#include <CLI/CLI.hpp>
#include <cctype>
#include <climits>
#include <cstdio>
#include <string>

#include "api/tool_support.h"
#include "cli.h"
#include "core/charset.h"

#ifndef BREVORIN_VERSION
#define BREVORIN_VERSION "unknown"
#endif

namespace cli {

namespace {

const char kExitTable[] =
    "Exit status:\n"
    "  0    success\n"
    "  2    usage error (unknown option, missing or bad value, NUL byte in the text)\n"
    "  3    the server's host name could not be resolved\n"
    "  4    the connection was refused or the host could not be reached\n"
    "  5    the POP3 server refused the logon (user, password or token)\n"
    "  6    the server refused a command, sender, recipient or the message\n"
    "  7    the server did not answer in time\n"
    "  8    a local file could not be read or written (attachment, text, password,\n"
    "       or a retrieved attachment that could not be saved)\n"
    "  9    any other network failure (connection lost, unusable greeting)\n"
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

struct Raw {
    std::vector<std::string> messages;
    std::string max_size, connect_timeout, timeout, priority, charset, password;
    bool modern = false;
};

void add_connection(CLI::App* cmd, Request& r, Raw& raw, bool smtp) {
    const char* group = "Connection";
    cmd->add_option("--server", r.server,
                    smtp ? "SMTP server HOST[+PORT] (default port 25)"
                         : "POP3 server HOST[+PORT] (default port 110)")
        ->type_name("HOST[+PORT]")
        ->required()
        ->group(group);
    if (!smtp)
        cmd->add_option("--user", r.user, "POP3 user name")
            ->type_name("NAME")
            ->required()
            ->group(group);
    cmd->add_option("--password-file", r.password_file,
                    "read the password from the first line of FILE (default: standard input, "
                    "prompted without echo on a terminal)")
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
    cmd->add_option("--auth", r.auth,
                    "authentication mechanism: user, plain, login, xoauth2, "
                    "auto or none")
        ->type_name("MECH")
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

void add_max_size(CLI::App* cmd, Raw& raw) {
    cmd->add_option("--max-size", raw.max_size, "refuse messages larger than BYTES (0: no limit)")
        ->type_name("BYTES")
        ->group("Message");
}

void finish(const Request& r, Raw& raw, Request& out) {
    out = r;
    if (!raw.password.empty())
        refuse("--password",
               "passwords are not taken on the command line; use --password-file "
               "or standard input");
    const int kMaxMessage = INT_MAX;
    for (const auto& word : raw.messages)
        out.messages.push_back(number_option("message number", word, 1, kMaxMessage));
    if (!raw.max_size.empty()) out.max_size = number_option("--max-size", raw.max_size, 0, INT_MAX);
    constexpr long long kMaxSeconds = 24 * 3600;
    if (!raw.connect_timeout.empty())
        out.connect_timeout =
            number_option("--connect-timeout", raw.connect_timeout, 0, kMaxSeconds);
    if (!raw.timeout.empty()) out.timeout = number_option("--timeout", raw.timeout, 0, kMaxSeconds);
    if (!raw.charset.empty()) out.charset = checked_charset(raw.charset);
    if (!raw.priority.empty()) out.priority = checked_priority(raw.priority);
    if (!out.password_file.empty() && !out.token_file.empty())
        refuse("--token-file", "give either --password-file or --token-file");
    if (out.command == "send" && !out.token_file.empty() && out.smtp_user.empty())
        refuse("--token-file", "a token for the SMTP server needs --smtp-user");
    for (const auto* list : {&out.to, &out.cc, &out.bcc, &out.attachments})
        for (const auto& v : *list) check_no_esc("a header or attachment", v);
    for (const auto* v : {&out.from, &out.subject, &out.reply}) check_no_esc("a header", *v);
}

}  // namespace

int parse_command_line(int argc, char** argv, Request& out) {
    Request r;
    Raw raw;
    CLI::App app{"brevorin: receive mail over POP3 and send it over SMTP.", "brevorin"};
    app.set_version_flag("--version", std::string("brevorin ") + BREVORIN_VERSION +
                                          "\nTLS backend: " + brevorin::tool::tls_backend());
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--trace", r.trace, "show the library's diagnostics lines on standard error");
    app.add_option("--charset", raw.charset,
                   "host character set of texts: " + brevorin::host_charset_names() +
                       " (default: US-ASCII)")
        ->type_name("NAME");
    app.add_option("--password", raw.password)->group("");

    auto* stat = app.add_subcommand("stat", "number of messages and size of the mailbox");
    add_connection(stat, r, raw, false);

    auto* list =
        app.add_subcommand("list", "number, size, date, sender and subject of every message");
    add_connection(list, r, raw, false);
    list->add_flag("--raw", r.raw_list, "the field list exactly as the library hands it out");
    list->add_flag("--uidl", r.uidl,
                   "add the server's unique id of each message (UIDL), to tell new mail from old");

    auto* get = app.add_subcommand("get", "one message decoded; attachments written to files");
    get->add_option("N", raw.messages, "message number")->type_name("N")->required()->expected(1);
    add_connection(get, r, raw, false);
    get->add_option("--dir", r.directory, "write attachments into DIR (default: current directory)")
        ->type_name("DIR")
        ->group("Message");
    add_max_size(get, raw);

    auto* rawcmd = app.add_subcommand("raw", "one message as it was sent");
    rawcmd->add_option("N", raw.messages, "message number")
        ->type_name("N")
        ->required()
        ->expected(1);
    add_connection(rawcmd, r, raw, false);
    add_max_size(rawcmd, raw);

    auto* del = app.add_subcommand("delete", "delete messages (committed when the visit ends)");
    del->add_option("N", raw.messages, "message numbers")
        ->type_name("N...")
        ->required()
        ->expected(-1);
    add_connection(del, r, raw, false);

    auto* send = app.add_subcommand(
        "send", "send a message; the text comes from --text-file or standard input");
    add_connection(send, r, raw, true);
    send->add_option("--from", r.from, "sender address")
        ->type_name("ADDRESS")
        ->required()
        ->group("Message");
    send->add_option("--to", r.to, "recipient (repeat for more)")
        ->type_name("ADDRESS")
        ->required()
        ->allow_extra_args(false)
        ->group("Message");
    send->add_option("--cc", r.cc, "copy recipient (repeat for more)")
        ->type_name("ADDRESS")
        ->allow_extra_args(false)
        ->group("Message");
    send->add_option("--bcc", r.bcc, "blind copy recipient (repeat for more)")
        ->type_name("ADDRESS")
        ->allow_extra_args(false)
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
    send->add_flag("--message-id", r.message_id, "add a Message-ID header")->group("Message");
    add_max_size(send, raw);

    app.footer(std::string("\nPasswords are never taken on the command line.\n"
                           "Run 'brevorin COMMAND --help' for the options of a command.\n\n") +
               kExitTable);
    try {
        app.parse(argc, argv);
        for (auto* sub : app.get_subcommands()) r.command = sub->get_name();
        finish(r, raw, out);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        usage_error(e.what());
        return kExitUsage;
    }
    return -1;
}

}  // namespace cli
